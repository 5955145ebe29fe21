#!/bin/sh
# Builds Tandrivel (Release) into build-bench/, installs the peers (bench/peers.sh) and runs every
# workload against it, and against Postfix or Dovecot beside it where the workload has a peer: one table.
# Arguments go to bench.py (--quick, --only, --runs, --scale, --peers, --perf, --callgrind; see --help).
# SKIP_BUILD=1 uses the build that is there; NO_PEERS=1 neither installs nor runs the peers.
set -eu
cd "$(dirname "$0")/.."
if [ -z "${SKIP_BUILD:-}" ]; then
    # A test that does not compile must not stop the benchmark: the server alone is enough.
    BUILD_DIR=build-bench BUILD_TYPE=Release scripts/build.sh >&2 \
        || cmake --build build-bench -j 2 --target Tandrivel >&2
fi
# The floor responder: what the load clients reach against a server that does nothing.
cc -O2 -Wall -o build-bench/floor bench/floor.c >&2 || echo "no floor responder: its notes stay empty" >&2
# The load client in C, for the rows named "..., C client".
cc -O2 -Wall -o build-bench/load bench/load.c >&2 || echo "no C client: its rows fail" >&2
if [ -n "${NO_PEERS:-}" ]; then
    set -- --peers none "$@"
else
    sh bench/peers.sh || echo "the peers' columns will say what is missing" >&2
fi
echo "commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')$(git diff --quiet HEAD -- 2>/dev/null || echo ' (work tree differs)')" >&2
exec /usr/bin/python3 bench/bench.py --exe build-bench/Tandrivel "$@"
