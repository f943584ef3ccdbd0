#!/usr/bin/env bash
# Installs what is missing, builds, and starts the front panel beside the built-in controller
# simulator. The simulator listens on 127.0.0.1 port 501 when it can, else on a free port that is
# printed; it is stopped when the panel closes.
#
# Without a display ($DISPLAY and $WAYLAND_DISPLAY empty) everything runs under Xvfb: the script
# presses Connect for you, saves a screenshot of the live panel after a few seconds, prints its
# path and stops.
#
#   bash scripts/run.sh                    # the panel on your display
#   bash scripts/run.sh --screenshot FILE  # always under Xvfb, screenshot to FILE
set -euo pipefail
cd "$(dirname "$0")/.."

shot=""
case "${1:-}" in
    --screenshot) shot=${2:?--screenshot needs a file name} ;;
    "") ;;
    *) echo "usage: bash scripts/run.sh [--screenshot FILE]" >&2; exit 2 ;;
esac

# The build tree: build/ unless FRONTPANEL_BUILD_DIR names another.
build=${FRONTPANEL_BUILD_DIR:-build}

. scripts/common.sh
build_programs "$build" frontpanel controller-sim

panel=$build/panel/frontpanel
simulator=$build/sim/controller-sim
work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Starts the simulator on port $1 and sets sim_port from its first line.
start_simulator() {
    start_program "$work/sim.out" '^controller-sim listening on' \
        "$simulator" --bind 127.0.0.1 --port "$1" 2>/dev/null || return 1
    sim_port=${started_line##* port }
}

sim_port=""
if ! start_simulator 501; then
    # Port 501 needs privileges (or is taken): any free port will do.
    start_simulator 0 || { echo "controller-sim did not start" >&2; exit 1; }
fi
if [ "$sim_port" = 501 ]; then
    how="press Start (or Connect with the address and port as they stand)"
else
    how="type $sim_port into the Port box (address 127.0.0.1), then press Connect"
fi
echo "controller-sim is listening on 127.0.0.1 port $sim_port."

if [ -z "$shot" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    echo "In the panel, $how."
    "$panel" || true
    exit 0
fi

# ---- No display (or a screenshot asked for): Xvfb, keys pressed by xdotool, a screenshot.
if [ -z "$shot" ]; then
    echo "No display found (DISPLAY and WAYLAND_DISPLAY are empty): running the panel under Xvfb."
    shot=$PWD/$build/frontpanel-screenshot.png
fi
mkdir -p "$(dirname "$shot")"

# Xvfb picks a free display number and writes it to fd 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
started_pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { cat "$work/xvfb.err" >&2; echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

"$panel" >"$work/panel.log" 2>&1 &
started_pids+=($!)
if ! window=$(timeout 30 xdotool search --sync --onlyvisible --name '^MainWindow$' | head -n1) \
    || [ -z "$window" ]; then
    cat "$work/panel.log" >&2
    echo "the panel's window did not appear" >&2
    exit 1
fi
xdotool windowfocus --sync "$window"
sleep 0.5

# The focus starts in the first address box; Tab walks the boxes to the port, then to Connect,
# and Space presses it.
xdotool key --delay 50 Tab Tab Tab Tab
xdotool key ctrl+a
xdotool type --delay 50 "$sim_port"
xdotool key --delay 50 Tab space
echo "Connect pressed for 127.0.0.1 port $sim_port."

# A few seconds of live display, then the picture of the panel's window.
sleep 4
import -window "$window" "$shot"
echo "Screenshot of the live panel: $shot"
