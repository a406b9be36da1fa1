#!/usr/bin/env bash
# usage: check_installed_package.sh BUILD_DIR HOST_SOURCE_DIR README SANITIZE CXX [TOOLS]
# README: the README whose hosts are built and run against the installed server.
# TOOLS: the names of the tools the build installs, separated by blanks.
set -euo pipefail
build_dir=$1 host_dir=$2 readme=$3 sanitize=$4 cxx=$5 tools=${6:-}
work=$(mktemp -d)
server_pid="" drain_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill -TERM "$server_pid" 2> /dev/null || true
        wait "$server_pid" 2> /dev/null || true
    fi
    # Ends with the server's end of the pipe.
    if [ -n "$drain_pid" ]; then wait "$drain_pid" 2> /dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

flags=""
case "$sanitize" in
    address) flags="-fsanitize=address,undefined" ;;
    thread) flags="-fsanitize=thread" ;;
esac

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
test -f "$work/prefix/include/varenstt/VarenSTT.h"
test -f "$work/prefix/lib/pkgconfig/varenstt.pc"
test -f "$work/prefix/lib/cmake/VarenSTT/VarenSTTConfig.cmake"

# Through find_package(VarenSTT).
cmake -S "$host_dir" -B "$work/host-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    > "$work/configure.log"
cmake --build "$work/host-build" > "$work/build.log"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/host-build/varenstt_host" > "$work/cmake-host.out"
grep -q "^service ws://localhost:8390/ws/client/speech?key=demo%20key&model=en-US_8k_digits$" "$work/cmake-host.out"

# Through pkg-config.
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
# shellcheck disable=SC2046
"$cxx" $flags "$host_dir/main.cpp" -o "$work/pkgconfig-host" $(pkg-config --cflags --libs varenstt)
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pkgconfig-host" | cmp - "$work/cmake-host.out"
# The installed tools start from the prefix alone: they find the library through their RPATH.
for tool in $tools; do
    test -x "$work/prefix/bin/$tool"
    env -u LD_LIBRARY_PATH "$work/prefix/bin/$tool" --help > "$work/$tool-help.out" 2>&1 ||
        { echo "$tool --help failed" >&2; cat "$work/$tool-help.out" >&2; exit 1; }
    grep -qi "usage" "$work/$tool-help.out" ||
        { echo "$tool --help printed no usage" >&2; cat "$work/$tool-help.out" >&2; exit 1; }
done

# The README's hosts, as printed there, against the installed server.
readme_host() {  # NAME: the ```cpp block right after the line <!-- host: NAME -->
    awk -v mark="<!-- host: $1 -->" '
        found == 1 { if ($0 != "```cpp") exit; found = 2; next }
        found == 2 { if ($0 == "```") exit; print; next }
        $0 == mark { found = 1 }' "$readme" > "$work/$1.cpp"
    grep -q "int main" "$work/$1.cpp" || { echo "no host $1 in $readme" >&2; exit 1; }
    # shellcheck disable=SC2086,SC2046
    "$cxx" $flags "$work/$1.cpp" -o "$work/$1" $(pkg-config --cflags --libs varenstt)
}
# Runs host NAME with ARGS (stdin passed on) and expects the spoken digits as a line of its output.
run_readme_host() {
    local name=$1 status=0
    shift
    HOME="$work" LD_LIBRARY_PATH="$work/prefix/lib" timeout 120 "$work/$name" "$@" \
        > "$work/$name.out" 2> "$work/$name.err" || status=$?
    if [ "$status" -ne 0 ] || ! grep -qx "four two seven one" "$work/$name.out"; then
        echo "README host $name: exit status $status; its output:" >&2
        cat "$work/$name.out" "$work/$name.err" >&2
        echo "server log:" >&2; cat "$work/server.log" >&2
        exit 1
    fi
}
case " $tools " in
*" varen-stt-server "*)
    readme_host recognize_file
    readme_host push_audio
    # The port is known once the server says it listens: read its stderr up to that line,
    # then keep draining it into the log so that it never blocks on a full pipe.
    mkfifo "$work/server.fifo"
    "$work/prefix/bin/varen-stt-server" --listen 127.0.0.1:0 \
        --models "$work/prefix/share/varen-stt-server/models" 2> "$work/server.fifo" &
    server_pid=$!
    exec 3< "$work/server.fifo"
    port="" deadline=$((SECONDS + 120))
    while [ -z "$port" ]; do
        left=$((deadline - SECONDS))
        if [ "$left" -le 0 ] || ! IFS= read -r -t "$left" line <&3; then break; fi
        printf '%s\n' "$line" >> "$work/server.log"
        case $line in "listening on 127.0.0.1:"*) port=${line##*:} ;; esac
    done
    cat <&3 >> "$work/server.log" &
    drain_pid=$!
    exec 3<&-
    [ -n "$port" ] || { echo "the server did not listen:" >&2; cat "$work/server.log" >&2; exit 1; }
    url="ws://127.0.0.1:$port/ws/client/speech"

    flite -t "four two seven one" -o "$work/digits.wav"
    run_readme_host recognize_file "$url" "$work/digits.wav"
    sox "$work/digits.wav" -t raw -r 16000 -e signed -b 16 -c 1 - |
        run_readme_host push_audio "$url"
    ;;
esac

# The library exports its public names only, with the type information hosts need to use them.
library=$(readlink -f "$work/prefix/lib/libvarenstt.so")
nm -D --defined-only -C "$library" | cut -d' ' -f3- > "$work/exports"
if grep -v '^\(typeinfo for \|typeinfo name for \|vtable for \|VTT for \|virtual thunk to \|non-virtual thunk to \|guard variable for \)\?varen::' "$work/exports" > "$work/foreign"; then
    echo "exported beyond the public API:" >&2; head -20 "$work/foreign" >&2; exit 1
fi
if grep -E '::Impl\b|\{lambda' "$work/exports" > "$work/internal"; then
    echo "exported internals of public classes:" >&2; head -20 "$work/internal" >&2; exit 1
fi
grep -q '^typeinfo for varen::platform::ViewController$' "$work/exports" ||
    { echo "the public classes' type information is not exported" >&2; exit 1; }

echo "installed package OK"
