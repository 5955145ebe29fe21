#!/bin/sh
# Configures and builds Tandrivel in build/ (or $BUILD_DIR). Extra arguments go to cmake.
set -eu
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
