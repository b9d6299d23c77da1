#!/usr/bin/env bash
# What an installation holds, checked as systemd and man would read it:
#   installed-files.sh SOURCE_DIR BUILD_DIR
# - installed with another prefix than the configured one, both units start the vistrel of
#   that prefix, lie where systemd looks under it, and pass systemd-analyze verify;
# - every option that --help lists is in the man page (vistrel and vistrel-reg).
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
user_unit=$prefix/lib/systemd/user/vistrel.service
system_unit=$prefix/lib/systemd/system/vistrel@.service
[ -f "$user_unit" ] || fail "no user unit in $prefix/lib/systemd/user"
[ -f "$system_unit" ] || fail "no system unit in $prefix/lib/systemd/system"
for unit in "$user_unit" "$system_unit"; do
    grep -q "^ExecStart=$prefix/bin/vistrel " "$unit" ||
        fail "$(basename "$unit") does not start $prefix/bin/vistrel: $(grep ExecStart "$unit")"
done
# A template is verified as one of its instances.
mkdir "$tmp/units"
cp "$system_unit" "$tmp/units/"
export MANPATH=$prefix/share/man
systemd-analyze verify "$user_unit" || fail "systemd-analyze verify $user_unit"
SYSTEMD_UNIT_PATH=$tmp/units: systemd-analyze verify vistrel@cam1.service ||
    fail "systemd-analyze verify vistrel@.service"

# Every option of --help is in its man page.
check_options() {
    local page=$1 help=$2 option missing=()
    for option in $(grep -oE '(^|[ ,])--?[a-z][a-z-]*' <<<"$help" | tr -d ' ,' | sort -u); do
        grep -qF -- "${option//-/\\-}" "$page" || missing+=("$option")
    done
    [ ${#missing[@]} -eq 0 ] || fail "$(basename "$page") lacks ${missing[*]}"
}
check_options "$src/packaging/vistrel.1" "$("$prefix/bin/vistrel" --help)"
check_options "$src/packaging/vistrel-reg.1" "$("$prefix/bin/vistrel-reg" --help)"
[ -f "$prefix/share/man/man1/vistrel.1.gz" ] || fail "vistrel.1 is not installed"
echo "installed files: ok"
