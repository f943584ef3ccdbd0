#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest: the plain build
# in build/, then the packet, link, simulator and panel tests again under AddressSanitizer +
# UBSan (build-asan/), the link, panel and web tests under ThreadSanitizer (build-tsan/), and the
# libFuzzer targets for 30 s each (scripts/fuzz.sh, in build-fuzz/ with clang).
# QUICK=1 runs the plain build only.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
bash scripts/deps.sh test

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() { # build-dir ctest-args... -- cmake-args...
    local dir=$1; shift
    local ctest_args=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do ctest_args+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    echo "== $dir"
    quiet cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}"
}

run_suite build -LE 'fuzz'
if [ "${QUICK:-0}" != 1 ]; then
    run_suite build-asan -LE 'fuzz|interop|package' -- -DSANITIZE=address
    run_suite build-tsan -L 'link|panel|web' -LE 'browser' -- -DSANITIZE=thread

    # libFuzzer needs clang: only the fuzz targets are built in that tree, and each runs 30 s.
    echo "== build-fuzz"
    bash scripts/fuzz.sh 30
fi
