#!/bin/sh
# Builds Packrig with warnings as errors and runs every test; then builds the native programs and
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer and runs the native tests.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DPACKRIG_WERROR=ON
cmake --build "$build"
(cd "$build" && ctest --output-on-failure --timeout 900 -j2)

# Fuzzers are built with sanitizers already; they run once, above.
cmake -S . -B "$build-sanitize" -G Ninja -DPACKRIG_WERROR=ON -DPACKRIG_SANITIZE=ON \
    -DPACKRIG_WINE_TESTS=OFF
cmake --build "$build-sanitize"
cd "$build-sanitize"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure --timeout 900 -j2 -E fuzz
