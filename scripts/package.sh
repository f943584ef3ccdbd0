#!/usr/bin/env bash
# Installs what is missing, builds the programs in Release (build-release/) and makes the Debian
# package there; prints its path. Install it with: sudo apt install ./build-release/<that file>
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
bash scripts/deps.sh package
build=${FRONTPANEL_BUILD_DIR:-build-release}
# Debian's hardening for what users install: fortified functions, stack protector, read-only
# relocations bound at start-up. CMake reads no CPPFLAGS, so those go in with the compiler's.
# Given on every run, so a tree configured before still gets them.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    "-DCMAKE_C_FLAGS=$(flags CPPFLAGS) $(flags CFLAGS)" \
    "-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
(cd "$build" && quiet cpack -G DEB)
deb=$(ls "$build"/frontpanel_*.deb)
echo "Debian package: $deb"
dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /'
