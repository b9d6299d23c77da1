#!/usr/bin/env bash
# Builds Vistrel and starts it. Without a display it runs headless (-platform offscreen).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

if [ ! -x "$build/bin/vistrel" ]; then
    # The program itself is not built yet: show what the imaging core does instead.
    echo "vistrel is not built yet; running the imaging benchmark."
    exec "$build/bin/vistrel_bench_imaging"
fi

args=("$@")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Vistrel headless (-platform offscreen)."
    args=(-platform offscreen "${args[@]}")
fi
exec "$build/bin/vistrel" "${args[@]}"
