#!/usr/bin/env bash
# Installs the Debian packages that are missing for the named purposes (build, test, run).
# Runs apt-get update only when something is missing; works as root or through sudo.
set -euo pipefail

build=(cmake g++ make pkg-config qt6-base-dev libgl-dev)
test=(libsnmp-dev snmp snmpd clang libclang-rt-14-dev libbenchmark-dev
      fonts-urw-base35 fonts-dejavu-core xvfb xauth
      lintian desktop-file-utils appstream dpkg-dev file man-db)
run=(fonts-urw-base35 fonts-dejavu-core xvfb xauth imagemagick x11-utils xdotool)

wanted=()
for purpose in "${@:-build}"; do
    case "$purpose" in
        build) wanted+=("${build[@]}") ;;
        test) wanted+=("${build[@]}" "${test[@]}") ;;
        run) wanted+=("${build[@]}" "${run[@]}") ;;
        *) echo "deps.sh: unknown purpose '$purpose' (build, test, run)" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "These packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
