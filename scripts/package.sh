#!/usr/bin/env bash
# Installs what is missing, builds the programs in Release (build-release/) and makes the Debian
# package there; prints its path. Install it with: sudo apt install ./build-release/<that file>
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/quiet.sh
bash scripts/deps.sh package
build=${FRONTPANEL_BUILD_DIR:-build-release}
quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
(cd "$build" && quiet cpack -G DEB)
deb=$(ls "$build"/frontpanel_*.deb)
echo "Debian package: $deb"
dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /'
