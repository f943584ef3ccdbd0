#!/usr/bin/env bash
# Many controllers from one process: bench/fleet against controller-sim --controllers N on
# loopback, through one LinkEngine for N = 10, 100 and 1000, then N = 100 as one link task
# thread per controller. Prints figures; nothing here passes or fails.
#   bash bench/fleet.sh [SECONDS] [N ...]
# BUILD_DIR (default build-bench, a Release tree) is configured and built when needed.
# FLEET_OPTIONS is passed on to every run (e.g. --separate for a simulator without --controllers).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
counts=${*:-10 100 1000}
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target fleet controller-sim >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
for n in $counts; do
    "$build/bench/fleet" --sim "$build/sim/controller-sim" --controllers "$n" \
        --seconds "$seconds" ${FLEET_OPTIONS:-}
done
"$build/bench/fleet" --sim "$build/sim/controller-sim" --controllers 100 --tasks \
    --seconds "$seconds" ${FLEET_OPTIONS:-}
