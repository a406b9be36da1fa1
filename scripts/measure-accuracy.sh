#!/usr/bin/env bash
# How often the digit model gets a random 4-digit string exactly right, per flite voice, through
# the whole chain (varen-stt --fast against varen-stt-server).
#   scripts/measure-accuracy.sh BUILD_DIR [COUNT [SEED]]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [COUNT [SEED]]" >&2; exit 2; }
build=$(cd "$1" && pwd)
count=${2:-50}
RANDOM=${3:-7}
server_bin="$build/tools/varen-stt-server/varen-stt-server"
tool_bin="$build/tools/varen-stt/varen-stt"

work=$(mktemp -d "${TMPDIR:-/tmp}/varenstt-accuracy.XXXXXX")
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$server_bin" --listen 127.0.0.1:0 2> "$work/server.log" &
server_pid=$!
port=""
for _ in $(seq 1 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log" >&2; exit 1; }
url="ws://127.0.0.1:$port/ws/client/speech"

words=(zero one two three four five six seven eight nine)
# The same strings for every voice.
strings=()
for _ in $(seq 1 "$count"); do
    strings+=("$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))$((RANDOM % 10))")
done

for voice in kal rms; do
    right=0
    wrong=()
    for digits in "${strings[@]}"; do
        text=""
        for ((i = 0; i < 4; i++)); do text+="${text:+ }${words[${digits:i:1}]}"; done
        flite -voice "$voice" -t "$text" -o "$work/speech.wav"
        heard=$(HOME="$work" "$tool_bin" --json --fast --url "$url" --model en-US_8k_digits \
            --input "$work/speech.wav" 2> /dev/null |
            /usr/bin/python3 -c '
import json, sys
for line in sys.stdin:
    event = json.loads(line)
    if event.get("event") == "final":
        hypotheses = event.get("hypotheses") or [{}]
        print(hypotheses[0].get("transcript") or "")
        break
' || true)
        if [ "$heard" = "$text" ]; then
            right=$((right + 1))
        else
            wrong+=("$digits→'$heard'")
        fi
    done
    echo "voice $voice: $right of $count exactly right"
    [ ${#wrong[@]} -eq 0 ] || printf '  missed: %s\n' "${wrong[@]}"
done
