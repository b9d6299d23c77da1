#!/usr/bin/env bash
# Builds Vistrel and runs every check: formatting, static analysis, all tests, the Debian
# package (built, linted, installed, tried and purged), then all
# tests again built with AddressSanitizer and UndefinedBehaviorSanitizer, and the tests of
# the image service and the core (where worker threads build pictures) built with
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"

scripts/check-format.sh
scripts/analyze.sh "$build"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j2

# The Debian package, installed on this machine and purged again.
scripts/check-package.sh

if [ "${VISTREL_SKIP_SANITIZERS:-0}" != 1 ]; then
    sanitized=${build}-sanitize
    cmake -S . -B "$sanitized" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVISTREL_SANITIZE=ON -DVISTREL_BENCH=OFF
    cmake --build "$sanitized"
    ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$sanitized" --output-on-failure -j2

    threaded=${build}-tsan
    cmake -S . -B "$threaded" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVISTREL_THREAD_SANITIZE=ON -DVISTREL_BENCH=OFF
    cmake --build "$threaded" --target service_tests core_tests
    # Without address randomisation: ThreadSanitizer's fixed memory layout fails on some kernels.
    TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$threaded/bin/service_tests"
    TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$threaded/bin/core_tests"
fi
