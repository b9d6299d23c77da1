# Helpers for the shell tests that run the real program (sourced, not run).

# A TCP port nobody listens on right now.
free_port() {
    local p
    for _ in $(seq 100); do
        p=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    return 1
}
# The file starts as a JPEG does.
is_jpeg() {
    [ "$(head -c 3 "$1" | od -An -tx1 | tr -d ' \n')" = "ffd8ff" ]
}
# The README's indented block below the line that holds the marker.
readme_block() {
    awk -v marker="$2" 'index($0, marker) { found = 1; next }
        found && /^    / { print substr($0, 5); started = 1; next }
        found && started { exit }' "$1"
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
