#!/usr/bin/env bash
# Builds Vistrel and starts it in its working folder, outside the source tree:
# ${XDG_STATE_HOME:-~/.local/state}/vistrel (VISTREL_WORKDIR names another), where
# capframe.bmp and frame.jpg are written and capoff.bmp and overlay.bmp are read.
# Without a display it serves at once: headless, web server on, port 8080, the first camera
# (the test pattern when there is none). Those choices hold for this run only; the stored
# settings are left as they are. Extra arguments go to vistrel (vistrel --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

program="$(cd "$build" && pwd)/bin/vistrel"
workdir=${VISTREL_WORKDIR:-${XDG_STATE_HOME:-$HOME/.local/state}/vistrel}
mkdir -p "$workdir"
if [ ! -e "$workdir/overlay.bmp" ]; then
    # A sample to try with Options > Image... > "Use overlay image"; black is transparent.
    cp res/sample/overlay.bmp "$workdir/overlay.bmp"
fi
echo "Working folder: $workdir"

args=("$@")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: Vistrel serves headless on port 8080 (stop with Ctrl+C)."
    echo "Open http://localhost:8080/ or: curl -o now.jpg http://localhost:8080/"
    args=(--server on --port 8080 --device 0 "${args[@]}")
fi
cd "$workdir"
exec "$program" "${args[@]}"
