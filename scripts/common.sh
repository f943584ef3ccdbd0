# Sourced by the quick-start scripts.

# quiet CMD...: runs CMD with its output kept aside, and shows that output, with the command, only
# when CMD fails.
quiet() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        echo "failed (exit $status): $*" >&2
    fi
    rm -f "$log"
    return "$status"
}

# build_programs DIR TARGET...: installs what the programs need, configures DIR and builds the
# targets. A new tree is configured without the tests, which need more packages
# (scripts/test.sh); a tree that test.sh configured keeps them.
build_programs() {
    local dir=$1 testing=()
    shift
    bash scripts/deps.sh run
    [ -f "$dir/CMakeCache.txt" ] || testing=(-DBUILD_TESTING=OFF)
    quiet cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${testing[@]}"
    cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target "$@"
}

# Build trees: build/ (plain), build-asan/, build-tsan/, build-fuzz/, build-bench/ (Release, for
# benchmarks) and build-release/ (the package). FRONTPANEL_BUILD_DIR names another tree for any
# one script.

# build_bench TARGET...: the Release tree for benchmarks, configured and built when needed; sets
# build to its path.
build_bench() {
    build=${FRONTPANEL_BUILD_DIR:-build-bench}
    quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
    quiet cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "$@"
}

# Programs that start_program started, for stop_started.
started_pids=()

# start_program OUT PATTERN CMD...: starts CMD in the background with its output in OUT and waits
# up to 10 s for a line matching PATTERN, which it leaves in started_line. Fails, showing OUT, when
# CMD ends first or no such line comes.
start_program() {
    local out=$1 pattern=$2 pid
    shift 2
    "$@" >"$out" 2>&1 &
    pid=$!
    started_pids+=("$pid")
    for _ in $(seq 100); do
        if started_line=$(grep -m1 "$pattern" "$out"); then
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$out" >&2
    return 1
}

# stop_started: ends everything start_program started (and any pid a script added to
# started_pids), and waits for it.
stop_started() {
    local pid
    for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
