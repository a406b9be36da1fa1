# Sourced by the measuring scripts: random digit strings, the reference server, and what
# varen-stt heard of a spoken string.

digit_words=(zero one two three four five six seven eight nine)

# COUNT random 4-digit strings into the array `strings` (seed RANDOM first for a fixed set).
random_digit_strings() {
    strings=()
    for _ in $(seq 1 "$1"); do
        strings+=("$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))")
    done
}

# "4271" → "four two seven one", as the recogniser writes it.
spoken_digits() {
    local text="" i
    for ((i = 0; i < ${#1}; i++)); do text+="${text:+ }${digit_words[${1:i:1}]}"; done
    echo "$text"
}

# The reference server of BUILD_DIR on an ephemeral port, its log in WORK_DIR/server.log; sets
# `server_pid` and `port`. stop_reference_server ends it (call it from the EXIT trap).
server_pid=""
start_reference_server() {
    "$1/tools/varen-stt-server/varen-stt-server" --listen 127.0.0.1:0 2> "$2/server.log" &
    server_pid=$!
    port=""
    for _ in $(seq 1 300); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$2/server.log")
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    cat "$2/server.log" >&2
    return 1
}
stop_reference_server() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
    server_pid=""
}

# The best transcript of the first final among varen-stt's JSON events on stdin.
first_final_transcript() {
    /usr/bin/python3 -c '
import json, sys
for line in sys.stdin:
    event = json.loads(line)
    if event.get("event") == "final":
        print((event.get("hypotheses") or [{}])[0].get("transcript") or "")
        break
'
}
