#!/usr/bin/env bash
# Builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer (g++)
# into build-asan and runs them offscreen. Any finding, a leak included, fails
# the run; scripts/lsan.supp silences leaks inside third-party libraries only.
# Prints CTest's summary last.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-asan

# Only what CTest runs: the tests and the programs they start.
cmake -S . -B "$dir" -DORV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_TESTS=ON \
    -DORV_BUILD_BENCH=OFF -DORV_BUILD_DEVTOOLS=OFF >/dev/null
cmake --build "$dir" -j2

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure -j2
