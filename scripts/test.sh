#!/bin/sh
# Installs what the tests need, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
scripts/build.sh
cd "${BUILD_DIR:-build}"
# Every peer the tests use is installed now: a test that finds one missing fails instead of skipping.
export TANDRIVEL_PEERS=all
ctest --output-on-failure -j 2 --timeout 600
