#!/usr/bin/env bash
# Installs what is missing, builds, and starts the browser front panel on 12 simulated
# controllers with a demo operator; prints the address and the login. Ctrl-C stops everything.
#
#   bash scripts/demo-web.sh [FIRST_UDP_PORT]   (default 1601: 12 ports from there)
set -euo pipefail
cd "$(dirname "$0")/.."

first_port=${1:-1601}
build=${FRONTPANEL_BUILD_DIR:-build}

. scripts/common.sh
build_programs "$build" frontpanel-web controller-sim

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

start_program "$work/sim.out" '^controller-sim listening on' \
    "$build/sim/controller-sim" --bind 127.0.0.1 --port "$first_port" --controllers 12

streets=("Main St" "Oak Rd" "Harbor Blvd")
{
    echo "[server]"
    echo "users = users"
    echo "audit = audit.log"
    echo "slow-interval = 2000"
    for i in $(seq 0 11); do
        street=${streets[$((i / 4))]}
        echo
        echo "[c$((i + 1))]"
        echo "name = $street & $((i % 4 + 1))th Ave"
        echo "address = 127.0.0.1"
        echo "port = $((first_port + i))"
        echo "group = $street"
    done
} >"$work/web.conf"

password=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
echo "$password" | "$build/web/frontpanel-web" --config "$work/web.conf" \
    --add-user demo --role operator >/dev/null
echo "$password" | "$build/web/frontpanel-web" --config "$work/web.conf" \
    --add-user watcher --role viewer >/dev/null

port=8080
start_program "$work/web.out" '^frontpanel-web: serving' \
    "$build/web/frontpanel-web" --config "$work/web.conf" --port "$port" 2>/dev/null || {
    echo "port $port is taken; trying a free one" >&2
    start_program "$work/web.out" '^frontpanel-web: serving' \
        "$build/web/frontpanel-web" --config "$work/web.conf" --port 0
}
url=${started_line#frontpanel-web: serving }
url=${url%% *}
echo
echo "Front panel of 12 simulated controllers: $url"
echo "  operator: demo / $password"
echo "  viewer:   watcher / $password"
echo "Audit log: $work/audit.log (removed on exit). Ctrl-C stops."
wait "${started_pids[@]}"
