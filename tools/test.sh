#!/bin/sh
# Builds Packrig and its tests (the target packrig_tests, which a plain build leaves out) with
# warnings as errors and runs every test; then builds the native programs and tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the native tests.
# The wine tests run the shipped i686 programs under wine32 where a 32-bit program starts here,
# otherwise their x86_64 twins under wine64; PACKRIG_WINE_ARCH=win32 or win64 forces either.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DPACKRIG_WERROR=ON ${PACKRIG_WINE_ARCH:+-DPACKRIG_WINE_ARCH=$PACKRIG_WINE_ARCH}
cmake --build "$build"
cmake --build "$build" --target packrig_tests
(cd "$build" && ctest --output-on-failure --timeout 900 -j2)
mode=$(cat "$build/wine-mode.txt")

# Fuzzers are built with sanitizers already; they run once, above.
cmake -S . -B "$build-sanitize" -G Ninja -DPACKRIG_WERROR=ON -DPACKRIG_SANITIZE=ON \
    -DPACKRIG_WINE_TESTS=OFF
cmake --build "$build-sanitize"
cmake --build "$build-sanitize" --target packrig_tests
cd "$build-sanitize"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure --timeout 900 -j2 -E fuzz
echo "== All tests passed. Windows programs run under wine: $mode"
