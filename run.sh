#!/usr/bin/env bash
# The one entry point: ./run.sh demo | test | stress [ROUNDS] | build [dev|asan|tsan|release] | bench | fuzz | deps
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-2}

PACKAGES=(
    build-essential cmake ninja-build pkg-config git
    libspeex-dev libogg-dev libssl-dev libasio-dev nlohmann-json3-dev libcli11-dev
    portaudio19-dev libsndfile1-dev libspeexdsp-dev
    libgtest-dev libgmock-dev libbenchmark-dev clang-14
    libboost1.81-dev python3 python3-websockets
    libpocketsphinx-dev pocketsphinx-en-us pocketsphinx-testdata
    libclang-rt-14-dev flite sox oggz-tools speex openssl tmux util-linux
    pulseaudio pulseaudio-utils libasound2-plugins tinyproxy
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
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" "${args[@]}" "$@" > "$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log" >&2; exit 1; }
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

sanitizer_options() {
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
}

# Every test runs once: a test that fails has found a fault or a race.
run_suite() {
    local kind=$1
    log "running the test suite ($kind)"
    sanitizer_options
    no_aslr ctest --test-dir "$ROOT/build-$kind" -j"$JOBS" --output-on-failure --timeout 600
}

# The tests of the WebSocket client, of the stream client (VSWebSocketManager) and of the
# manager, one name a line (a parameterised test's name ends in "# GetParam() = ..."). Labels
# name the test program; the stream client's suites are those its test files declare.
stress_tests() {
    local dir=$1 suites
    suites=$(sed -nE 's/^[[:space:]]*TEST(_F|_P)?\([[:space:]]*([A-Za-z0-9_]+).*/\2/p' \
        "$ROOT"/tests/Managers/VSWebSocketManager*.cpp | sort -u | paste -sd'|')
    {
        ctest --test-dir "$dir" -N -L '^WebSocketTests$'
        [ -z "$suites" ] || ctest --test-dir "$dir" -N -L '^ManagersTests$' -R "^($suites)\\."
        ctest --test-dir "$dir" -N -L '^PublicTests$'
    } | sed -nE 's/^[[:space:]]*Test[[:space:]]+#[0-9]+: //p'
}

HOGS=()
stop_hogs() {
    local pid
    for pid in "${HOGS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${HOGS[@]}"; do wait "$pid" 2>/dev/null || true; done
    HOGS=()
}

# Runs the client tests ROUNDS times in a row on one core while every core is kept busy; stops
# at the first failing round. In the ASan+UBSan build (STRESS_BUILD to choose another): `test`
# has built it already, it runs several times faster than TSan, so more rounds fit, and the
# races of a connection's lifetime show there as use-after-free or leaks; the TSan run of the
# whole suite covers data races.
stress() {
    local rounds=${1:-20} kind=${STRESS_BUILD:-asan}
    local dir="$ROOT/build-$kind"
    [[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "stress: ROUNDS must be a positive number" >&2; exit 2; }
    local names
    names=$(stress_tests "$dir")
    [ -n "$names" ] || { echo "stress: no client tests in $dir" >&2; exit 1; }
    local regex
    regex="^($(printf '%s\n' "$names" | sed 's/[]$*.^()+?{}|\\[]/\\&/g' | paste -sd'|'))\$"
    local count selected
    count=$(printf '%s\n' "$names" | wc -l)
    selected=$(ctest --test-dir "$dir" -N -R "$regex" | sed -nE 's/^Total Tests: //p')
    [ "$selected" = "$count" ] ||
        { echo "stress: the name pattern selects $selected tests, not $count" >&2; exit 1; }
    local cpus core
    cpus=$(nproc)
    core=${STRESS_CPU:-$((cpus - 1))}
    log "stress: $count client tests ($kind) on cpu $core, $rounds rounds, $cpus cpus busy"
    sanitizer_options

    # One busy loop per core, at the tests' priority. Stopped however the run ends; a loop also
    # ends by itself once this shell is gone (killed without a chance to clean up).
    local cpu
    trap stop_hogs EXIT
    trap 'stop_hogs; trap - EXIT; exit 130' INT
    trap 'stop_hogs; trap - EXIT; exit 143' TERM
    for ((cpu = 0; cpu < cpus; cpu++)); do
        taskset -c "$cpu" bash -c 'while kill -0 "$1" 2>/dev/null; do :; done' hog $$ &
        HOGS+=($!)
    done

    local round output status failed
    output="$dir/stress.log"  # the last round's output
    for ((round = 1; round <= rounds; round++)); do
        status=0
        no_aslr taskset -c "$core" ctest --test-dir "$dir" -j"$JOBS" --output-on-failure \
            --timeout 600 --stop-on-failure -R "$regex" > "$output" 2>&1 || status=$?
        if [ "$status" -ne 0 ]; then
            cat "$output" >&2
            failed=$(sed -nE '/^The following tests FAILED:/,$ s/^[[:space:]]*[0-9]+ - (.*) \(.*\)$/\1/p' \
                "$output" | paste -sd' ')
            stop_hogs
            echo "stress: round $round of $rounds failed: ${failed:-ctest exited with status $status}" >&2
            exit 1
        fi
        log "stress: round $round of $rounds: $(grep -E '^[0-9]+% tests passed' "$output")," \
            "$(sed -nE 's/^Total Test time \(real\) = *//p' "$output")"
    done
    stop_hogs
    trap - EXIT INT TERM
    log "stress: all $rounds rounds passed"
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
        stress "${STRESS_ROUNDS:-3}"
        build tsan
        run_suite tsan
        fuzz_all "${FUZZ_SECONDS:-30}"
        log "all test runs passed"
        ;;
    stress) install_deps; build "${STRESS_BUILD:-asan}"; stress "${1:-20}" ;;
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
    *) echo "usage: ./run.sh demo [-- OPTIONS] | test | stress [ROUNDS] | build [dev|asan|tsan|release] | bench | fuzz [SECONDS] | deps" >&2; exit 2 ;;
esac
