#!/bin/sh
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/ (or
# $ASAN_BUILD_DIR) and runs every test there: the unit tests, the fuzz corpus replays and
# the end-to-end tests, whose servers are then sanitized too and checked for leaks when
# they stop. Any sanitizer report from any process fails the run.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
dir=${ASAN_BUILD_DIR:-build-asan}
BUILD_DIR=$dir scripts/build.sh -DTANDRIVEL_SANITIZE=ON
reports=$(pwd)/$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
status=0
(cd "$dir" && ctest --output-on-failure -j 2 --timeout 900) || status=$?
for f in "$reports"/*; do
    [ -e "$f" ] || continue
    echo "== sanitizer report $f"
    cat "$f"
    status=1
done
exit $status
