#!/usr/bin/env bash
# How often a 4-digit string is recognised exactly right when the network drops each run's
# connection once, about a second into its audio, with resuming on and off, beside the same
# strings over a direct connection. Each run goes through its own relay, which resets the first
# connection after CUT bytes from the client.
#   scripts/measure-resume.sh BUILD_DIR [COUNT [CUT]]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [COUNT [CUT]]" >&2; exit 2; }
build=$(cd "$1" && pwd)
count=${2:-20}
cut=${3:-2500}
server_bin="$build/tools/varen-stt-server/varen-stt-server"
tool_bin="$build/tools/varen-stt/varen-stt"

work=$(mktemp -d "${TMPDIR:-/tmp}/varenstt-resume.XXXXXX")
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cat > "$work/relay.py" << 'EOF'
import select, socket, struct, sys, threading
target, cut = int(sys.argv[1]), int(sys.argv[2])
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
def reset(s):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
def relay(client, cutting):
    server = socket.create_connection(("127.0.0.1", target))
    sent = 0
    while True:
        ready, _, _ = select.select([client, server], [], [])
        for end in ready:
            data = end.recv(65536)
            if not data:
                reset(client), reset(server)
                return
            (server if end is client else client).sendall(data)
            sent += len(data) if end is client else 0
        if cutting and sent >= cut:
            reset(client), reset(server)
            return
first = True
while True:
    connection, _ = listener.accept()
    threading.Thread(target=relay, args=(connection, first), daemon=True).start()
    first = False
EOF

"$server_bin" --listen 127.0.0.1:0 2> "$work/server.log" &
server_pid=$!
port=""
for _ in $(seq 1 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log" >&2; exit 1; }

words=(zero one two three four five six seven eight nine)
RANDOM=11
strings=()
for _ in $(seq 1 "$count"); do
    strings+=("$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))")
done

for mode in direct 3 0; do
    right=0
    for digits in "${strings[@]}"; do
        text=""
        for ((i = 0; i < 4; i++)); do text+="${text:+ }${words[${digits:i:1}]}"; done
        flite -voice kal -t "$text" -o "$work/speech.wav"
        target_port=$port resume=0
        if [ "$mode" != direct ]; then
            coproc RELAY { exec /usr/bin/python3 "$work/relay.py" "$port" "$cut"; }
            read -r target_port <&"${RELAY[0]}"
            resume=$mode
        fi
        heard=$(HOME="$work" "$tool_bin" --json --fast --resume "$resume" \
            --url "ws://127.0.0.1:$target_port/ws/client/speech" --model en-US_8k_digits \
            --input "$work/speech.wav" 2> /dev/null |
            /usr/bin/python3 -c '
import json, sys
for line in sys.stdin:
    event = json.loads(line)
    if event.get("event") == "final":
        print((event.get("hypotheses") or [{}])[0].get("transcript") or "")
        break
' || true)
        if [ "$mode" != direct ]; then
            kill "$RELAY_PID" 2> /dev/null || true
            wait "$RELAY_PID" 2> /dev/null || true
        fi
        if [ "$heard" = "$text" ]; then
            right=$((right + 1))
        else
            echo "  $mode: $digits heard as \"$heard\"" >&2
        fi
    done
    case $mode in
        direct) echo "direct, no drop: $right of $count right" ;;
        *) echo "dropped once, resume attempts $mode: $right of $count right" ;;
    esac
done
