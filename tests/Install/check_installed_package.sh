#!/usr/bin/env bash
# usage: check_installed_package.sh BUILD_DIR HOST_SOURCE_DIR SANITIZE CXX [TOOLS]
# TOOLS: the names of the tools the build installs, separated by blanks.
set -euo pipefail
build_dir=$1 host_dir=$2 sanitize=$3 cxx=$4 tools=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
