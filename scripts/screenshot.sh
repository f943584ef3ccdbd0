#!/usr/bin/env bash
# Takes docs/screenshot.png: the panel under Xvfb against the controller simulator, Connect
# pressed from outside, the live display a few seconds later. The same path as run.sh without a
# display, so the picture shows what a user gets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/run.sh --screenshot "$PWD/docs/screenshot.png"
