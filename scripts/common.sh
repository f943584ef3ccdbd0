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
