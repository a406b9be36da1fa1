#!/usr/bin/env bash
# Speech recognition on this machine: starts the reference server on 127.0.0.1, speaks a digit
# string with flite and streams it through varen-stt in real time.
#   scripts/demo.sh BUILD_DIR [-- VAREN_STT_OPTIONS...]
# Options after "--" go to varen-stt: --mic records the default input device instead of the
# spoken file, --screen draws the recognition screen, --model picks another model.
set -euo pipefail

usage() {
    echo "usage: $0 BUILD_DIR [-- VAREN_STT_OPTIONS...]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd) || usage
shift
[ "${1:-}" = "--" ] && shift

server_bin="$build/tools/varen-stt-server/varen-stt-server"
tool_bin="$build/tools/varen-stt/varen-stt"
for program in "$server_bin" "$tool_bin"; do
    [ -x "$program" ] || { echo "demo: $program is not built" >&2; exit 1; }
done
command -v flite > /dev/null || { echo "demo: flite is not installed" >&2; exit 1; }

# Digits the digit model gets right with this voice.
digits="four two seven one"
voice=kal

work=$(mktemp -d "${TMPDIR:-/tmp}/varenstt-demo.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2> /dev/null; then
        kill -TERM "$server_pid" 2> /dev/null || true
        wait "$server_pid" 2> /dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted" >&2; exit 130' INT TERM

"$server_bin" --listen 127.0.0.1:0 2> "$work/server.log" &
server_pid=$!

port=""
for _ in $(seq 1 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    if ! kill -0 "$server_pid" 2> /dev/null; then
        echo "demo: the server did not start:" >&2
        cat "$work/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
[ -n "$port" ] || { echo "demo: the server did not start in time" >&2; cat "$work/server.log" >&2; exit 1; }
url="ws://127.0.0.1:$port/ws/client/speech"
echo "server:   varen-stt-server on $url ($(sed -n 's/^models: *//p' "$work/server.log"))"

# The caller's own source replaces the spoken file.
own_source=false
for option in "$@"; do
    case "$option" in --mic | --input) own_source=true ;; esac
done

args=(--url "$url" --model en-US_8k_digits --max-results 3)
if ! $own_source; then
    flite -voice "$voice" -t "$digits" -o "$work/digits.wav"
    echo "speech:   \"$digits\" (flite voice $voice, $(soxi -D "$work/digits.wav" 2> /dev/null || echo "?") s)"
    args+=(--input "$work/digits.wav")
fi
echo

status=0
"$tool_bin" "${args[@]}" "$@" || status=$?

echo
echo "server log:"
sed 's/^/  /' "$work/server.log"
exit "$status"
