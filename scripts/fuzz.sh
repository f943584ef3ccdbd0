#!/usr/bin/env bash
# Runs every fuzz target for longer than CI does: SECONDS each (default 600), one after the
# other, on a copy of its seed corpus in build-fuzz/. A crash stops the script; its input is in
# build-fuzz/tests/fuzz/work/<target>/artifacts/ and reproduces with
#   build-fuzz/tests/fuzz/<target> <that file>
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
seconds=${1:-600}
shift || true
build=${FRONTPANEL_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DFUZZ=ON -DFUZZ_SECONDS="$seconds"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(ctest --test-dir "$build" -N -L fuzz | sed -n 's/^ *Test *#[0-9]*: //p')
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"
for t in "${targets[@]}"; do
    echo "== $t: $seconds s"
    ctest --test-dir "$build" -R "^$t\$" --output-on-failure --timeout $((seconds + 300))
done
