#!/usr/bin/env bash
# The one entry point: ./run.sh demo | test | build [dev|asan|tsan|release] | bench | fuzz | deps
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-2}

PACKAGES=(
    build-essential cmake ninja-build pkg-config git
    libspeex-dev libogg-dev libssl-dev libasio-dev nlohmann-json3-dev
    portaudio19-dev libsndfile1-dev libspeexdsp-dev
    libgtest-dev libgmock-dev libbenchmark-dev clang-14
    libboost1.81-dev python3 python3-websockets
    libpocketsphinx-dev pocketsphinx-en-us pocketsphinx-testdata
    flite sox oggz-tools speex openssl tmux
    pulseaudio pulseaudio-utils libasound2-plugins
)

log() { printf '==> %s\n' "$*" >&2; }

install_deps() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build KIND [extra cmake args...] -> build-KIND
build() {
    local kind=$1
    shift
    local dir="$ROOT/build-$kind"
    local args=(-G Ninja -DVARENSTT_BUILD_TESTS=ON)
    case "$kind" in
        dev) args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
        asan) args+=(-DCMAKE_BUILD_TYPE=Debug -DVARENSTT_SANITIZE=address) ;;
        tsan) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARENSTT_SANITIZE=thread) ;;
        release) args+=(-DCMAKE_BUILD_TYPE=Release -DVARENSTT_BUILD_BENCH=ON) ;;
        fuzz) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARENSTT_BUILD_FUZZ=ON -DVARENSTT_BUILD_TESTS=OFF
                     -DVARENSTT_BUILD_TOOLS=OFF -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14) ;;
        *) echo "unknown build kind: $kind" >&2; exit 2 ;;
    esac
    log "building $kind"
    cmake -S "$ROOT" -B "$dir" "${args[@]}" "$@" > "$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log" >&2; exit 1; }
    cmake --build "$dir" -j"$JOBS"
}

# Kernels with high mmap randomisation confuse TSan's memory layout; run it without ASLR.
no_aslr() {
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        setarch "$(uname -m)" -R "$@"
    else
        "$@"
    fi
}

run_suite() {
    local kind=$1
    log "running the test suite ($kind)"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
    # A test that fails is run again (up to three times in all): the suite starts real servers
    # and audio threads on a shared machine; a timing miss should not fail the whole run.
    no_aslr ctest --test-dir "$ROOT/build-$kind" -j"$JOBS" --output-on-failure --timeout 600 \
        --repeat until-pass:3
}

# The programs a build put into a folder's subfolders (one per subsystem).
executables_in() {
    find "$1" -mindepth 2 -maxdepth 2 -type f -executable -not -path '*/CMakeFiles/*' 2>/dev/null | sort
}

fuzz_all() {
    local seconds=${1:-30}
    build fuzz
    local targets
    targets=$(executables_in "$ROOT/build-fuzz/fuzz")
    if [ -z "$targets" ]; then
        log "no fuzz targets"
        return 0
    fi
    for target in $targets; do
        log "fuzzing $(basename "$target") for ${seconds}s"
        local corpus="$ROOT/build-fuzz/corpus/$(basename "$target")"
        mkdir -p "$corpus"
        "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" \
            > "$corpus.log" 2>&1 || { tail -50 "$corpus.log" >&2; exit 1; }
    done
}

demo() {
    build release
    "$ROOT/scripts/demo.sh" "$ROOT/build-release" "$@"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
    deps) install_deps ;;
    build) install_deps; build "${1:-dev}" ;;
    test)
        install_deps
        build asan
        run_suite asan
        build tsan
        run_suite tsan
        fuzz_all "${FUZZ_SECONDS:-30}"
        log "all test runs passed"
        ;;
    demo) install_deps; demo "$@" ;;
    bench)
        install_deps
        build release
        for target in $(executables_in "$ROOT/build-release/bench"); do
            log "benchmark $(basename "$target")"
            "$target" "$@"
        done
        ;;
    fuzz) install_deps; fuzz_all "${1:-60}" ;;
    *) echo "usage: ./run.sh demo [-- OPTIONS] | test | build [dev|asan|tsan|release] | bench | fuzz [SECONDS] | deps" >&2; exit 2 ;;
esac
