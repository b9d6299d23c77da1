#!/usr/bin/env bash
# The Debian package as a user meets it, on this machine (it installs and purges it):
# the README's install block as written, lintian, the desktop entry and the AppStream file,
# the units through systemd-analyze, a system instance set up with the README's lines that
# serves an allowed client and refuses another, and a purge that leaves nothing behind.
# Where systemd is not running (a container), systemctl start/restart/stop of an instance is
# done the way the unit says: its user and groups, its state folder and its ExecStart.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
tmp=$(mktemp -d)
export tmp
cleanup() {
    [ -f "$tmp/instance.pid" ] && kill "$(cat "$tmp/instance.pid")" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
# shellcheck source=../tests/support/script-helpers.sh
source "$src/tests/support/script-helpers.sh"
block() { readme_block "$src/README.md" "$1"; }
as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi

# Runs a README block as a user types it. Without systemd, systemctl on an instance of
# vistrel@ is played from the unit file; sudo -u runs as that user.
run_block() {
    local text=$1
    [ -n "$text" ] || fail "a README block is gone"
    bash -euo pipefail -c "
        $(declare -f play_systemctl)
        if [ \"\$(id -u)\" -eq 0 ]; then
            sudo() { if [ \"\$1\" = -u ]; then local u=\$2; shift 2; runuser -u \"\$u\" -- \"\$@\"; else \"\$@\"; fi; }
        fi
        if [ ! -d /run/systemd/system ]; then
            systemctl() { play_systemctl \"\$@\"; }
        fi
        $text"
}
play_systemctl() {
    local verb=$1 unit=${*: -1}
    local instance=${unit#vistrel@}
    instance=${instance%.service}
    local file=/lib/systemd/system/vistrel@.service
    [ -f "$file" ] || file=/usr/lib/systemd/system/vistrel@.service
    [ "$unit" != "$instance" ] && [ -f "$file" ] || { echo "systemctl $*: not played" >&2; return 1; }
    local pidfile=$tmp/instance.pid
    if [ "$verb" = stop ] || [ "$verb" = restart ]; then
        if [ -f "$pidfile" ]; then
            kill -TERM "$(cat "$pidfile")" 2>/dev/null || true
            while kill -0 "$(cat "$pidfile")" 2>/dev/null; do sleep 0.1; done
            rm -f "$pidfile"
        fi
        [ "$verb" = stop ] && return 0
    fi
    field() { sed -n "s/^$1=//p" "$file" | sed "s/%i/$instance/g; s|%S|/var/lib|g"; }
    local user group groups state exec
    user=$(field User)
    group=$(field Group)
    groups=$(field SupplementaryGroups)
    state=/var/lib/$(field StateDirectory)
    exec=$(field ExecStart)
    mkdir -p "$state"
    chown "$user:$group" "$state"
    chmod "$(field StateDirectoryMode)" "$state"
    (cd "$state" && exec runuser -u "$user" -g "$group" -G "$groups" -- env HOME="$state" $exec) \
        >>"$tmp/instance.log" 2>&1 &
    echo $! >"$pidfile"
}
export -f play_systemctl

# 1. Build and install, as the README says.
run_block "$(block 'check-package.sh runs the install block')" || fail "the install block failed"
deb=$(ls build-deb/vistrel_*_amd64.deb)
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian finds errors or warnings"
[ "$(/usr/bin/vistrel --version)" = "Vistrel $(dpkg-query -W -f='${Version}' vistrel)" ] ||
    fail "/usr/bin/vistrel --version: $(/usr/bin/vistrel --version)"
desktop-file-validate /usr/share/applications/org.quenlor.vistrel.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.quenlor.vistrel.metainfo.xml >/dev/null ||
    fail "appstreamcli validate"
id -nG vistrel | grep -qw video || fail "the user vistrel is not in the video group"
systemd-analyze verify /usr/lib/systemd/user/vistrel.service || fail "the user unit"
mkdir "$tmp/units"
cp /lib/systemd/system/vistrel@.service "$tmp/units/"
SYSTEMD_UNIT_PATH=$tmp/units: systemd-analyze verify vistrel@cam1.service || fail "the system unit"
man -w vistrel vistrel-reg >/dev/null || fail "the man pages are not found by man"

# 2. A system instance, as the README sets it up: an allowed client gets a picture, another
#    loopback address (another client) is refused.
if (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then
    fail "port 8080 is in use on this machine; the instance cannot be tried"
fi
run_block "$(block 'check-package.sh runs the instance block')" || fail "the instance block failed"
curl --silent --retry 20 --retry-connrefused --retry-delay 1 -o "$tmp/now.jpg" \
    http://127.0.0.1:8080/ || fail "the instance served nothing: $(cat "$tmp/instance.log" 2>/dev/null)"
is_jpeg "$tmp/now.jpg" || fail "no JPEG"
status=$(curl --silent --interface 127.0.0.2 -o /dev/null -w '%{http_code}' http://127.0.0.2:8080/ || true)
[ "$status" = 403 ] || fail "a client outside ServerAllow got $status"
[ -f /var/lib/vistrel/cam1/frame.jpg ] || fail "the instance does not work in /var/lib/vistrel/cam1"
run_block "systemctl stop vistrel@cam1"

# 3. Gone without a trace.
"${as_root[@]}" apt-get purge -y vistrel >/dev/null
! getent passwd vistrel >/dev/null || fail "the user vistrel survives a purge"
[ ! -e /var/lib/vistrel ] || fail "/var/lib/vistrel survives a purge"
[ ! -e /usr/bin/vistrel ] || fail "/usr/bin/vistrel survives a purge"
echo "Debian package: ok"
