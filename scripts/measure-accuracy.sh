#!/usr/bin/env bash
# How often the digit model gets a random 4-digit string exactly right, per flite voice, through
# the whole chain (varen-stt --fast against varen-stt-server).
#   scripts/measure-accuracy.sh BUILD_DIR [COUNT [SEED]]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [COUNT [SEED]]" >&2; exit 2; }
build=$(cd "$1" && pwd)
count=${2:-50}
RANDOM=${3:-7}
tool_bin="$build/tools/varen-stt/varen-stt"
. "$(dirname "$0")/digit-runs.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/varenstt-accuracy.XXXXXX")
cleanup() {
    stop_reference_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_reference_server "$build" "$work"
url="ws://127.0.0.1:$port/ws/client/speech"

random_digit_strings "$count"  # the same strings for every voice
for voice in kal rms; do
    right=0
    wrong=()
    for digits in "${strings[@]}"; do
        text=$(spoken_digits "$digits")
        flite -voice "$voice" -t "$text" -o "$work/speech.wav"
        heard=$(HOME="$work" "$tool_bin" --json --fast --url "$url" --model en-US_8k_digits \
            --input "$work/speech.wav" 2> /dev/null | first_final_transcript || true)
        if [ "$heard" = "$text" ]; then
            right=$((right + 1))
        else
            wrong+=("$digits→'$heard'")
        fi
    done
    echo "voice $voice: $right of $count exactly right"
    [ ${#wrong[@]} -eq 0 ] || printf '  missed: %s\n' "${wrong[@]}"
done
