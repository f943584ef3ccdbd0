#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel beside the built-in controller simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
