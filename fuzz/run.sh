#!/bin/sh
# Builds the libFuzzer targets with clang++ in build-fuzz/ ($FUZZ_BUILD_DIR) and runs each
# for the given seconds (default 60): fuzz/run.sh 600, or fuzz/run.sh 60 smtp pop3.
# The grown corpus and any crashing input stay in <build>/fuzz-out/<target>/; an input worth
# keeping goes to fuzz/regressions/<target>/ with a unit test.
set -eu
cd "$(dirname "$0")/.."
secs=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-smtp pop3 relay table dns dkim milter mime imap}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
command -v clang++ >/dev/null || { echo "needs clang: apt-get install -y --no-install-recommends clang libclang-rt-14-dev" >&2; exit 2; }
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DTANDRIVEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j 2 --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)
# Message and table files are written on every input: keep them in memory, in a folder of
# this run (libFuzzer ends without removing the targets' temporary folders).
base=/tmp
[ -w /dev/shm ] && base=/dev/shm
TMPDIR=$(mktemp -d "$base/tandrivel-fuzz-XXXXXX")
export TMPDIR UBSAN_OPTIONS=print_stacktrace=1
trap 'rm -rf "$TMPDIR"' EXIT
found=0
for t in $targets; do
    out="$dir/fuzz-out/$t"
    mkdir -p "$out/corpus"
    echo "== $t: $secs s"
    dict=""   # libFuzzer refuses to start on a missing dictionary
    [ -f "fuzz/$t.dict" ] && dict="-dict=fuzz/$t.dict"
    "$dir/fuzz/fuzz_$t" "$out/corpus" "fuzz/corpus/$t" $dict -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$out/" >"$out/log" 2>&1 || true
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE|ERROR:|SUMMARY:" "$out/log" || true
    for f in "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*; do
        [ -e "$f" ] || continue
        echo "FOUND: $f"
        found=1
    done
done
exit $found
