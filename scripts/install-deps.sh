#!/usr/bin/env bash
# Installs the Debian packages Vistrel builds, tests, packages and runs with.
# Does nothing when every package is already installed.
set -euo pipefail

# With --run: only what building and running the two programs needs (scripts/run.sh).
packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libjpeg62-turbo-dev libv4l-dev libsqlite3-dev fonts-dejavu-core curl
)
if [ "${1:-}" != --run ]; then
    packages+=(
        libgtest-dev libgmock-dev libbenchmark-dev
        cppcheck clang-format clang libclang-rt-14-dev
        xvfb xauth imagemagick xdotool openbox x11-utils
        libasan8 libubsan1 libtsan2 util-linux
        systemd man-db dpkg-dev lintian desktop-file-utils appstream
        nginx-light openssl
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
