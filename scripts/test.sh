#!/usr/bin/env bash
# Builds Vistrel and runs every check: formatting, static analysis and all tests.
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
