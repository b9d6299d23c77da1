#!/usr/bin/env bash
# Builds Vistrel (only the two programs, with only what building and running needs) and
# starts it in its working folder, outside the source tree:
# ${XDG_STATE_HOME:-~/.local/state}/vistrel (VISTREL_WORKDIR names another), where
# capframe.bmp and frame.jpg are written and capoff.bmp and overlay.bmp are read.
# Without a display it serves at once: headless, web server on, port 8080, this machine only
# (localhost), the first camera (the test pattern when there is none). Those choices hold for
# this run only; the stored settings are left as they are. Extra arguments go to vistrel
# (vistrel --help lists them) and win over these.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --run
build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    # A build for running only; scripts/test.sh adds the tests to the same folder later.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DVISTREL_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target vistrel vistrel-reg

program="$(cd "$build" && pwd)/bin/vistrel"
workdir=${VISTREL_WORKDIR:-${XDG_STATE_HOME:-$HOME/.local/state}/vistrel}
mkdir -p "$workdir"
if [ ! -e "$workdir/overlay.bmp" ]; then
    # A sample to try with Options > Image... > "Use overlay image"; black is transparent.
    cp res/sample/overlay.bmp "$workdir/overlay.bmp"
fi
echo "Working folder: $workdir"

# The port and address asked for, so that the banner says the ones really used.
port=8080
listen=localhost
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
    --port) port=${args[i + 1]:-$port} ;;
    --port=*) port=${args[i]#--port=} ;;
    --listen) listen=${args[i + 1]-} ;;
    --listen=*) listen=${args[i]#--listen=} ;;
    esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    where="this machine only"
    [ "$listen" = localhost ] || where="${listen:-every interface}"
    echo "No display found: Vistrel serves headless on port $port, $where (stop with Ctrl+C)."
    echo "Open http://localhost:$port/ or: curl -o now.jpg http://localhost:$port/"
    if [ "$listen" = localhost ]; then
        echo "To let other machines see it: scripts/run.sh --listen '' --allow 192.168.1.0/24"
    fi
    args=(--server on --port 8080 --listen localhost --device 0 "${args[@]}")
fi
cd "$workdir"
exec "$program" "${args[@]}"
