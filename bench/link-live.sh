#!/usr/bin/env bash
# Live-link figures of the front panel: its window (offscreen) polls controller-sim on loopback
# at the default 100 ms for SECONDS (default 60) and prints CPU in percent of one core, peak RSS,
# polls per second on the wire and display freshness (median and p95 over the clock changes).
#   bash bench/link-live.sh [SECONDS] [POLL_MS]
# BUILD_DIR (default build-bench, a Release tree) is configured and built when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
poll=${2:-100}
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target panel-harness controller-sim >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
QT_QPA_PLATFORM=offscreen "$build/bench/panel-harness" --sim "$build/sim/controller-sim" \
    live --seconds "$seconds" --poll "$poll" 2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
