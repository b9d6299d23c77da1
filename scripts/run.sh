#!/usr/bin/env bash
# Builds Vistrel and starts it. Without a display it runs headless (-platform offscreen).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

args=("$@")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Vistrel headless (-platform offscreen)."
    echo "Settings come from ${XDG_CONFIG_HOME:-$HOME/.config}/vistrel/registry.db; to serve the test pattern on port 8080:"
    echo "  $build/bin/vistrel-reg set 'HKLM\\Software\\Quenlor\\Vistrel' ServerEnabled REG_DWORD 1"
    echo "  $build/bin/vistrel-reg set 'HKLM\\Software\\Quenlor\\Vistrel' CaptureDevice REG_DWORD N   # N: the Video menu's position of Test Pattern, after any cameras (0 with none)"
    echo "then restart this command and fetch http://localhost:8080/ (stop with Ctrl+C)."
    args=(-platform offscreen "${args[@]}")
fi
exec "$build/bin/vistrel" "${args[@]}"
