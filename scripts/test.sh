#!/bin/sh
# Installs what the tests need, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j 2 --timeout 600
