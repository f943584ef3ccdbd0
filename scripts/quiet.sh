# Sourced by the quick-start scripts. quiet CMD...: runs CMD with its output kept aside, and
# shows that output, with the command, only when CMD fails.
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
