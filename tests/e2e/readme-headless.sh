#!/usr/bin/env bash
# Runs the README's first command and its headless block as a newcomer types them, on a
# machine without a display, and checks that each gets a picture. The commands are read from
# the README itself, so this fails when the README drifts from the program.
#   readme-headless.sh SOURCE_DIR BUILD_DIR
# Only what cannot be shared on a test machine is changed: a free port for 8080, the build
# folder under test for build/, and a home and store of the test's own.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_STATE_HOME=$tmp/state
mkdir -p "$HOME"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
# shellcheck source=../support/script-helpers.sh
source "$src/tests/support/script-helpers.sh"


# 1. The first command: scripts/run.sh, then curl, with nothing else typed.
first=$(sed -n '/^## Two commands/,/^## /p' "$src/README.md" | grep -m1 -E '^    curl ' |
    sed 's/^    //')
[ -n "$first" ] || fail "the README's first curl command is gone"
port=$(free_port)
(cd "$src" && BUILD_DIR="$build" exec scripts/run.sh --port "$port") >"$tmp/run.log" 2>&1 &
pids+=($!)
cd "$tmp"
curl_first=${first//8080/$port}
eval "${curl_first/curl /curl --silent --retry 30 --retry-connrefused --retry-delay 1 }" ||
    fail "curl got no picture from scripts/run.sh: $(cat "$tmp/run.log")"
out=$(echo "$first" | sed -E 's/.*-o ([^ ]+).*/\1/')
is_jpeg "$tmp/$out" || fail "scripts/run.sh served no JPEG: $(cat "$tmp/run.log")"
grep -q "http://localhost:$port/" "$tmp/run.log" || fail "run.sh does not print the URL it serves"
grep -q "serving images at http://localhost:$port/ (this machine only)" "$tmp/run.log" ||
    fail "run.sh without a display does not listen on localhost only: $(cat "$tmp/run.log")"
[ -f "$XDG_STATE_HOME/vistrel/frame.jpg" ] || fail "run.sh did not work in its own folder"
[ -f "$XDG_STATE_HOME/vistrel/overlay.bmp" ] || fail "run.sh did not put the sample overlay"
[ ! -e "$XDG_CONFIG_HOME/vistrel/registry.db" ] ||
    ! "$build/bin/vistrel-reg" query 'HKLM\Software\Quenlor\Vistrel' ServerEnabled >/dev/null 2>&1 ||
    fail "run.sh stored its options"
kill "${pids[0]}"
wait "${pids[0]}" || true
pids=()

# 2. The headless block, as written below its marker.
block=$(readme_block "$src/README.md" "readme-headless.sh runs the block below")
[ -n "$block" ] || fail "the README's headless block is gone"
port=$(free_port)
block=${block//\$PWD\/build\/bin/$build\/bin}
block=${block//8080/$port}
mkdir -p "$tmp/checkout" && cd "$tmp/checkout"
bash -euo pipefail -c "$block
kill \$!
wait \$! || true" >"$tmp/block.log" 2>&1 || fail "the headless block failed: $(cat "$tmp/block.log")"
is_jpeg "$HOME/vistrel-try/now.jpg" ||
    fail "the headless block fetched no JPEG in its own folder: $(cat "$tmp/block.log")"
[ ! -e now.jpg ] && [ ! -e frame.jpg ] || fail "the headless block left files in the checkout"
grep -q 'caption0' "$tmp/block.log" || fail "query /s did not list the caption key"
echo "README headless commands: ok"
