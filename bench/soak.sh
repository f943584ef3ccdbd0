#!/usr/bin/env bash
# Soak test of the front panel on a bad link: its window (offscreen) against
# controller-sim --drop 20 --delay 30 on loopback for SECONDS (default 600), pressing random
# keypad buttons one waiting key at a time. Prints requests, replies, keys sent and received,
# peak and final RSS; fails if the panel or the simulator died, a key was lost, or RSS grew by
# more than 1 MiB after warm-up.
# Beside the benchmarks because it is one: it prints figures from a long run; unlike them it also
# judges the run, since a lost key or growing memory is a fault whatever the figures say.
#   bash bench/soak.sh [SECONDS]
# The Release tree build-bench/ is configured and built when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
seconds=${1:-600}
build_bench panel-harness controller-sim
status=0
QT_QPA_PLATFORM=offscreen "$build/bench/panel-harness" --sim "$build/sim/controller-sim" \
    soak --seconds "$seconds" --drop 20 --delay 30 \
    2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2) || status=$?
if [ "$status" -gt 128 ]; then
    echo "FAIL: the panel died (signal $((status - 128)))"
elif [ "$status" -ne 0 ]; then
    echo "FAIL: soak failed (exit $status)"
else
    echo "soak passed"
fi
exit "$status"
