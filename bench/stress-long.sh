#!/usr/bin/env bash
# The stress suite with every client count multiplied (default 5): longer runs of the same
# scenarios than CI's. Not a test.
#   bench/stress-long.sh [scale]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target stress_tests vistrel
VISTREL_STRESS_SCALE=${1:-5} QT_QPA_PLATFORM=offscreen build/bin/stress_tests
