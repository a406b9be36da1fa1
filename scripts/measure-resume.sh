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
tool_bin="$build/tools/varen-stt/varen-stt"
relay_script="$(cd "$(dirname "$0")/.." && pwd)/tests/Support/peers/dropping_relay.py"
. "$(dirname "$0")/digit-runs.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/varenstt-resume.XXXXXX")
cleanup() {
    stop_reference_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_reference_server "$build" "$work"

RANDOM=11
random_digit_strings "$count"
for mode in direct 3 0; do
    right=0
    for digits in "${strings[@]}"; do
        text=$(spoken_digits "$digits")
        flite -voice kal -t "$text" -o "$work/speech.wav"
        target_port=$port resume=0
        if [ "$mode" != direct ]; then
            coproc RELAY { exec /usr/bin/python3 "$relay_script" "$port" "$cut"; }
            read -r _ target_port <&"${RELAY[0]}"
            resume=$mode
        fi
        heard=$(HOME="$work" "$tool_bin" --json --fast --resume "$resume" \
            --url "ws://127.0.0.1:$target_port/ws/client/speech" --model en-US_8k_digits \
            --input "$work/speech.wav" 2> /dev/null | first_final_transcript || true)
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
