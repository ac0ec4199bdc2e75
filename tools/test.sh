#!/bin/sh
# Builds Packrig with warnings as errors and runs every test.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DPACKRIG_WERROR=ON
cmake --build "$build"
cd "$build"
ctest --output-on-failure --timeout 900 -j2
