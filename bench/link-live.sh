#!/usr/bin/env bash
# Live-link figures of the front panel: its window (offscreen) polls controller-sim on loopback
# at the default 100 ms for SECONDS (default 60) and prints CPU in percent of one core, peak RSS,
# polls per second on the wire and display freshness (median and p95 over the clock changes).
#   bash bench/link-live.sh [SECONDS] [POLL_MS]
# The Release tree build-bench/ is configured and built when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
seconds=${1:-60}
poll=${2:-100}
build_bench panel-harness controller-sim
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
QT_QPA_PLATFORM=offscreen "$build/bench/panel-harness" --sim "$build/sim/controller-sim" \
    live --seconds "$seconds" --poll "$poll" 2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
