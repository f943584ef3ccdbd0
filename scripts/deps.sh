#!/usr/bin/env bash
# Installs the Debian packages that are missing for the named purposes. This file is the one list
# of what the project needs from Debian; run.sh, test.sh and package.sh call it, so a package the
# build needs and this list lacks fails the quick-start commands on a fresh machine.
#
#   bash scripts/deps.sh [build|run|test|package]...   (default: build)
#
# Runs apt-get update only when something is missing; works as root or through sudo. No service
# that a package brings (snmpd) is started or left enabled: the tests start their own.
set -euo pipefail

# The programs: compiler, CMake, Qt 6 (its CMake files need the OpenGL headers), and Boost's
# Beast and Asio (header-only) with OpenSSL for the browser front panel's server, PAM for its
# directory logins, libsystemd for telling systemd it is ready and alive, SQLite for the
# recordings of what the pages showed, libargon2 for the users file's password hashes, and libpq
# for the state a pair of servers shares in PostgreSQL.
build=(cmake g++ make pkg-config qt6-base-dev libgl-dev libboost1.81-dev libssl-dev libpam0g-dev
       libsystemd-dev libsqlite3-dev libargon2-dev libpq-dev)
# Starting the panel beside the simulator: the display fonts, Qt's SVG plugins for the window's
# icon, and Xvfb with the tools that press Connect and take the screenshot when there is no
# display.
run=(fonts-urw-base35 fonts-dejavu-core libqt6svg6 xvfb xauth imagemagick x11-utils xdotool)
# The Debian package: dpkg-shlibdeps (dpkg-dev) and file work out its Depends field.
package=(dpkg-dev file)
# The tests: net-snmp's library, tools and agent as independent peers, clang for the libFuzzer
# build, Google Benchmark, the fonts the display tests measure, the SVG plugins that draw the
# window's icon, the package checkers (systemd-analyze among them), a headless Chromium driven
# by Selenium for the browser front panel's pages, Qt's WebSocket client for its server tests,
# openssl for its TLS test certificate, Prometheus' promtool to judge /metrics, pam_wrapper
# with nss_wrapper for PAM logins without root, tshark to decode a capture of SNMPv3,
# asciinema to play back an exported recording, the CA certificates npm's download of
# axe-core is checked against, and for serial lines socat's pty pairs, ser2net as a terminal
# server and crcmod as an FCS-16 apart from ours, and PostgreSQL (Debian 12's is 15) for a
# cluster of the pair test's own, with HAProxy in front of the pair.
test=(libsnmp-dev snmp snmpd clang libclang-rt-14-dev libbenchmark-dev qt6-websockets-dev
      chromium chromium-driver python3-selenium openssl prometheus libpam-wrapper libnss-wrapper
      tshark asciinema ca-certificates socat ser2net python3-crcmod postgresql haproxy
      fonts-urw-base35 fonts-dejavu-core libqt6svg6 xvfb xauth
      lintian desktop-file-utils appstream man-db systemd "${package[@]}")
# Packages that start a system service when installed; the tests never use it.
services=(snmpd prometheus ser2net postgresql haproxy)

wanted=()
for purpose in "${@:-build}"; do
    case "$purpose" in
        build) wanted+=("${build[@]}") ;;
        run) wanted+=("${build[@]}" "${run[@]}") ;;
        test) wanted+=("${build[@]}" "${test[@]}") ;;
        package) wanted+=("${build[@]}" "${package[@]}") ;;
        *) echo "deps.sh: unknown purpose '$purpose' (build, run, test, package)" >&2; exit 2 ;;
    esac
done

# axe-core, the accessibility judge of the browser tests, is not in Debian: npm installs it, at
# exactly this version and checked against the registry's checksum, outside the source tree
# (FRONTPANEL_AXE names another copy). A machine without npm gets Debian's.
axe_version=4.10.2
axe_dir="${XDG_CACHE_HOME:-$HOME/.cache}/frontpanel/axe-core-$axe_version"
install_axe() {
    [ -f "$axe_dir/node_modules/axe-core/axe.min.js" ] && return 0
    mkdir -p "$axe_dir"
    npm install --prefix "$axe_dir" --save-exact --ignore-scripts --no-audit --no-fund \
        "axe-core@$axe_version" >/dev/null
}
case " ${*:-build} " in *" test "*) command -v npm >/dev/null 2>&1 || wanted+=(npm) ;; esac

install_packages() {
    missing=()
    for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        [ "$status" = installed ] || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -eq 0 ]; then
        as_root=()
    elif command -v sudo >/dev/null 2>&1; then
        as_root=(sudo)
    else
        echo "These packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
        exit 1
    fi

    # A policy-rc.d that answers 101 keeps every service from starting during this install; one that
    # the machine already has is left as it is.
    policy=/usr/sbin/policy-rc.d
    own_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Written by the front panel'"'"'s deps.sh for one apt-get install.\nexit 101\n' |
            "${as_root[@]}" tee "$policy" >/dev/null
        "${as_root[@]}" chmod 755 "$policy"
        own_policy=1
    fi
    remove_policy() { [ "$own_policy" = 1 ] && "${as_root[@]}" rm -f "$policy"; return 0; }
    trap remove_policy EXIT

    echo "Installing: ${missing[*]}"
    log=$(mktemp)
    if ! { "${as_root[@]}" apt-get update -qq &&
           "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
               --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "deps.sh: installing ${missing[*]} failed (apt-get's output above)" >&2
        exit 1
    fi
    rm -f "$log"

    # A service package installed just now is left disabled, so that the machine boots as before.
    for service in "${services[@]}"; do
        [[ " ${missing[*]} " == *" $service "* ]] || continue
        if [ -d /run/systemd/system ] && command -v systemctl >/dev/null 2>&1; then
            "${as_root[@]}" systemctl disable --now "$service.service" >/dev/null 2>&1 || true
        elif command -v deb-systemd-helper >/dev/null 2>&1; then
            # No systemd running (a container or chroot): drop the links the package made.
            "${as_root[@]}" deb-systemd-helper disable "$service.service" >/dev/null 2>&1 || true
        fi
        if command -v update-rc.d >/dev/null 2>&1 && [ -e "/etc/init.d/$service" ]; then
            "${as_root[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
        fi
    done
}

install_packages
case " ${*:-build} " in *" test "*) install_axe ;; esac
