#!/usr/bin/env bash
# The README's nginx configuration in front of Vistrel, on loopback ports: 200 clients at
# once, over TLS and with the password, all get a picture while Vistrel builds about one a
# second; a client without the password is refused.
#   nginx-front.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
tmp=$(mktemp -d)
chmod 755 "$tmp"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
# shellcheck source=../support/script-helpers.sh
source "$src/tests/support/script-helpers.sh"
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || fail "nginx is not installed (scripts/install-deps.sh installs nginx-light)"

# Vistrel on this machine only, every connection logged.
port=$(free_port)
mkdir "$tmp/work"
"$build/bin/vistrel" -platform offscreen --settings "$tmp/registry.db" --working-folder "$tmp/work" \
    --server on --port "$port" --listen localhost --device "Test Pattern" --log-requests \
    2>"$tmp/vistrel.log" &
pids+=($!)

# The configuration as the README has it; only what a test machine cannot share is changed:
# the ports, the certificate, the password file and the cache's folder.
conf=$(readme_block "$src/README.md" "nginx-front.sh runs the configuration below")
[ -n "$conf" ] || fail "the README's nginx configuration is gone"
tls=$(free_port)
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 \
    -keyout "$tmp/camera.key" -out "$tmp/camera.pem" 2>/dev/null
printf 'viewer:%s\n' "$(openssl passwd -apr1 secret)" >"$tmp/htpasswd"
conf=${conf//listen 443 ssl/listen 127.0.0.1:$tls ssl}
conf=${conf//localhost:8080/localhost:$port}
conf=${conf//\/etc\/ssl\/certs\/camera.pem/$tmp/camera.pem}
conf=${conf//\/etc\/ssl\/private\/camera.key/$tmp/camera.key}
conf=${conf//\/etc\/nginx\/vistrel.htpasswd/$tmp/htpasswd}
conf=${conf//\/var\/cache\/nginx\/vistrel/$tmp/cache}
user=
[ "$(id -u)" -ne 0 ] || user="user root;"
cat >"$tmp/nginx.conf" <<CONF
$user
daemon off;
worker_processes 2;
pid $tmp/nginx.pid;
error_log $tmp/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $tmp/body;
    proxy_temp_path $tmp/proxy;
$conf
}
CONF
"$nginx" -p "$tmp" -c "$tmp/nginx.conf" -t 2>"$tmp/test.log" || fail "nginx -t: $(cat "$tmp/test.log")"
"$nginx" -p "$tmp" -c "$tmp/nginx.conf" &
pids+=($!)
url=https://127.0.0.1:$tls/
curl -sk --retry 30 --retry-connrefused --retry-delay 1 -u viewer:secret -o "$tmp/first.jpg" "$url" ||
    fail "no picture through nginx: $(cat "$tmp/error.log" "$tmp/vistrel.log")"

# Rounds of 200 clients at once, for a few seconds.
before=$(grep -c ' 200 ' "$tmp/vistrel.log" || true)
start=$(date +%s.%N)
for round in 1 2 3; do
    seq 200 | xargs -P 200 -I{} curl -sk -u viewer:secret -o "$tmp/r$round-{}.jpg" \
        -w '%{http_code}\n' "$url" >"$tmp/codes$round"
    [ "$(grep -c '^200$' "$tmp/codes$round")" = 200 ] ||
        fail "round $round: $(sort "$tmp/codes$round" | uniq -c | tr '\n' ' ')"
done
elapsed=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
for f in "$tmp"/r3-1.jpg "$tmp"/r3-200.jpg; do
    is_jpeg "$f" || fail "$f is no JPEG"
done
built=$(($(grep -c ' 200 ' "$tmp/vistrel.log") - before))
allowed=$(awk -v t="$elapsed" 'BEGIN { printf "%d", 2 * (t + 1) + 1 }')
[ "$built" -le "$allowed" ] ||
    fail "600 viewers in ${elapsed}s cost Vistrel $built pictures (more than $allowed)"

# Without the password: refused, and nothing is built for it.
code=$(curl -sk -o /dev/null -w '%{http_code}' "$url")
[ "$code" = 401 ] || fail "a client without the password got $code"
echo "nginx in front: ok (600 viewers in ${elapsed}s, $built pictures built)"
