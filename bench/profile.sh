#!/bin/sh
# Profiles the server under the SMTP 1 KB and POP3 workloads and prints where the time goes:
#   callgrind: instructions by function (inclusive), counted only while the workload runs;
#   perf:      CPU samples of every server thread, kernel included (fsync, file creation).
# Output stays in $OUT (default /tmp/tandrivel-profile). Release code with debug information
# is built into build-bench-prof/, so build-bench/ stays a plain Release build.
set -eu
cd "$(dirname "$0")/.."
out=${OUT:-/tmp/tandrivel-profile}
rm -rf "$out"
BUILD_DIR=build-bench-prof BUILD_TYPE=Release scripts/build.sh -DCMAKE_CXX_FLAGS=-g >&2 \
    || cmake --build build-bench-prof -j 2 --target Tandrivel >&2
exe=build-bench-prof/Tandrivel
work="smtp 1KB x10,pop3 RETR 2000x1KB,pop3 login+RETR+QUIT, mailbox 200,pop3 10 clients x200"
py=/usr/bin/python3
# Under callgrind the server is some 50 times slower: a tenth of the messages.
$py bench/bench.py --exe $exe --runs 1 --scale 0.1 --only "$work" --callgrind "$out/callgrind" >/dev/null
$py bench/bench.py --exe $exe --runs 1 --only "$work" --perf "$out/perf" --perf-args "-F 999 -g" >/dev/null
pattern='PROGRAM TOTALS|paintAndFlush|QListView::paintEvent|shapeText\(|elidedText|QListView::doItemsLayout|Tandrivel\]|entryInfoList\(QList|QRegularExpression::match|QDateTime::toString|iofwrite.c:fwrite'
for f in "$out"/callgrind/*.out; do
    echo "== callgrind $(basename "$f")"
    callgrind_annotate --inclusive=yes --threshold=100 "$f" 2>/dev/null | grep -E "$pattern" \
        | grep -vE '\( 0\.[0-9]{2}%\)' | head -30 | cut -c1-150
done
for f in "$out"/perf/*.data; do
    echo "== perf $(basename "$f"): threads, then libraries"
    perf report -i "$f" --no-children --sort comm --stdio 2>/dev/null | grep -E '^ +[0-9.]+%' | head -4
    perf report -i "$f" --no-children --sort dso --stdio 2>/dev/null | grep -E '^ +[0-9.]+%' | head -8
    echo "-- system calls and kernel paths (inclusive)"
    perf report -i "$f" --children --sort symbol --stdio -g none 2>/dev/null | grep -E '^ +[0-9.]+%' \
        | grep -E '__x64_sys_|ext4_|futex_wake|pthread_cond_signal' | head -12 | cut -c1-110
done
