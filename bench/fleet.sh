#!/usr/bin/env bash
# Many controllers from one process: bench/fleet against controller-sim --controllers N on
# loopback, through one LinkEngine for N = 10, 100 and 1000, then N = 100 as one link task
# thread per controller. Prints figures; nothing here passes or fails.
#   bash bench/fleet.sh [SECONDS] [N ...]
# NO_TASKS=1 leaves the link task run out.
# The Release tree build-bench/ is configured and built when needed.
# FLEET_OPTIONS=--v3 with NO_TASKS=1 measures the engine over SNMPv1 and then SNMPv3 (fleet.cpp).
# SIM is the controller-sim to run (default the one built here); it needs --controllers N unless
# FLEET_OPTIONS, passed on to every run, holds --separate. The load of the machine is printed
# before each run: other work on it shows in the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
seconds=${1:-60}
shift || true
counts=${*:-10 100 1000}
build_bench fleet controller-sim
sim=${SIM:-$build/sim/controller-sim}
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
for n in $counts; do
    echo "load:$(uptime | sed 's/.*load average//')"
    "$build/bench/fleet" --sim "$sim" --controllers "$n" --seconds "$seconds" ${FLEET_OPTIONS:-}
done
if [ -z "${NO_TASKS:-}" ]; then
    echo "load:$(uptime | sed 's/.*load average//')"
    "$build/bench/fleet" --sim "$sim" --controllers 100 --tasks --seconds "$seconds" \
        ${FLEET_OPTIONS:-}
fi
