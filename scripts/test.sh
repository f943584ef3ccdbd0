#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest: the plain build
# in build/, then the packet, link, simulator and panel tests again under AddressSanitizer +
# UBSan (build-asan/), the link and panel tests under ThreadSanitizer (build-tsan/), and the
# libFuzzer targets for 30 s each (build-fuzz/, clang).
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

    # libFuzzer needs clang: only the fuzz targets are built in this tree, and each runs 30 s.
    echo "== build-fuzz"
    CC=clang CXX=clang++ quiet cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=ON -DFUZZ=ON -DFUZZ_SECONDS=30
    mapfile -t fuzz_targets < <(ctest --test-dir build-fuzz -N -L fuzz | sed -n 's/^ *Test *#[0-9]*: //p')
    cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"
    ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L fuzz
fi
