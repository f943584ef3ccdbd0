#!/usr/bin/env bash
# Builds the Debian package as scripts/package.sh does for users (hardened, in its own tree under
# BUILD_DIR), checks it with lintian and the desktop and AppStream validators, unpacks it into a
# scratch root and runs the programs installed there.
#
#   package-test.sh BUILD_DIR SOURCE_DIR PACKAGE VERSION APP_ID
set -euo pipefail

build_dir=$1 src_dir=$2 package=$3 version=$4 app_id=$5

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

for tool in cpack dpkg-buildflags dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli man timeout systemd-analyze python3; do
    command -v "$tool" >/dev/null || {
        echo "missing tool '$tool': run 'bash scripts/deps.sh test'" >&2
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/frontpanel-package.XXXXXX")
pids=()
# What the PAM check adds to this machine, taken away again however the test ends.
made_user="" made_group="" made_pam=""
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    [ -n "$made_user" ] && userdel "$made_user" 2>/dev/null
    [ -n "$made_group" ] && groupdel "$made_group" 2>/dev/null
    [ -n "$made_pam" ] && rm -f "$made_pam"
    rm -rf "$work"
}
trap cleanup EXIT

# --- build the package -------------------------------------------------------------------------
package_build=$build_dir/package-build
rm -f "$package_build"/*.deb
if ! FRONTPANEL_BUILD_DIR=$package_build bash "$src_dir/../scripts/package.sh" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: scripts/package.sh could not build the package" >&2
    exit 1
fi
debs=("$package_build"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
pass "built $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] && pass "package name $package" || fail "package name '$(field Package)'"
[ "$(field Version)" = "$version" ] && pass "version $version" || fail "version '$(field Version)', want $version"
case "$(field Section)" in net | electronics) pass "section $(field Section)" ;; *) fail "section '$(field Section)'" ;; esac
[ -n "$(field Maintainer)" ] && pass "maintainer $(field Maintainer)" || fail "no maintainer"
# shlibdeps must have worked out the libraries: at least the C++ runtime and Qt's widgets.
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6network6; do
    [[ $depends == *"$lib"* ]] && pass "depends on $lib" || fail "Depends lacks $lib: $depends"
done

# --- the files in the package ----------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents"
expected=(
    ./usr/bin/frontpanel
    ./usr/bin/controller-sim
    ./usr/bin/frontpanel-web
    ./usr/lib/systemd/system/frontpanel-web.service
    ./usr/lib/sysusers.d/frontpanel-web.conf
    ./usr/lib/tmpfiles.d/frontpanel-web.conf
    ./etc/frontpanel-web/frontpanel-web.conf
    ./etc/pam.d/frontpanel-web
    "./usr/share/applications/$app_id.desktop"
    "./usr/share/icons/hicolor/scalable/apps/$app_id.svg"
    "./usr/share/metainfo/$app_id.metainfo.xml"
    ./usr/share/man/man1/frontpanel.1.gz
    ./usr/share/man/man1/controller-sim.1.gz
    ./usr/share/man/man1/frontpanel-web.1.gz
    "./usr/share/doc/$package/copyright"
    "./usr/share/doc/$package/changelog.Debian.gz"
    "./usr/share/lintian/overrides/$package"
)
for path in "${expected[@]}"; do
    awk '{print $6}' "$work/contents" | grep -qxF "$path" && pass "contains $path" || fail "missing $path"
done
# Nothing from the build or test trees may leak into the package; under lib/ only the web
# server's systemd files belong.
if awk '{print $6}' "$work/contents" |
    grep -vE '^\./usr/lib/((systemd|systemd/system|sysusers\.d|tmpfiles\.d)/|[a-z./]+/frontpanel-web\.(service|conf))?$' |
    grep -E '/(include|lib)/|\.a$|tst_|/build' >"$work/stray"; then
    fail "unexpected files in the package: $(tr '\n' ' ' <"$work/stray")"
fi
if awk '{print $2}' "$work/contents" | grep -vqx 'root/root'; then
    fail "files not owned by root/root"
fi

# --- lintian: every tag down to the pedantic ones, the hardening tags among them, is fixed or
# overridden with its reason in the package's override file ------------------------------------
lintian -I --pedantic --tag-display-limit 0 --fail-on none "$deb" >"$work/lintian.log" 2>&1 || true
if grep -E '^[EWIPXC]: ' "$work/lintian.log" >"$work/lintian-tags"; then
    cat "$work/lintian-tags" >&2
    fail "lintian -I --pedantic reports $(wc -l <"$work/lintian-tags") tag(s) not overridden"
else
    pass "lintian -I --pedantic: nothing but overridden tags"
fi
# Every override says why.
overrides=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/lintian/overrides/$package")
awk '/^[^#]/ && prev !~ /^#/ {bad = 1} {prev = $0} END {exit bad}' <<<"$overrides" \
    && pass "each lintian override has its reason" || fail "a lintian override without a reason"

# --- licence and recommended fonts ---------------------------------------------------------
recommends=$(field Recommends)
for font in fonts-urw-base35 fonts-dejavu-core; do
    [[ $recommends == *"$font"* ]] && pass "recommends $font" || fail "Recommends lacks $font: $recommends"
done
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright")
head -n1 <<<"$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    && grep -qx 'License: Expat' <<<"$copyright" && pass "machine-readable copyright, Expat (MIT)" \
    || fail "copyright is not DEP-5 with License: Expat"

# --- unpack and validate what was installed --------------------------------------------------
root=$work/root
dpkg -x "$deb" "$root"

if desktop-file-validate "$root/usr/share/applications/$app_id.desktop"; then
    pass "desktop entry valid"
else
    fail "desktop-file-validate"
fi
# The entry must start the installed program and name the installed icon.
grep -qx 'Exec=frontpanel' "$root/usr/share/applications/$app_id.desktop" \
    && [ -x "$root/usr/bin/frontpanel" ] && pass "Exec names the installed program" \
    || fail "desktop Exec does not name usr/bin/frontpanel"
grep -qx "Icon=$app_id" "$root/usr/share/applications/$app_id.desktop" \
    && pass "Icon names the installed icon" || fail "desktop Icon is not $app_id"

if appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml"; then
    pass "metainfo valid"
else
    fail "appstreamcli validate"
fi
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
    "$root/usr/share/metainfo/$app_id.metainfo.xml" && pass "metainfo launches the desktop entry" \
    || fail "metainfo launchable is not $app_id.desktop"
grep -q '<project_license>MIT</project_license>' "$root/usr/share/metainfo/$app_id.metainfo.xml" \
    && pass "metainfo names the MIT licence" || fail "metainfo project_license is not MIT"
upstream=${version%-*}
grep -q "<release version=\"$upstream\"" "$root/usr/share/metainfo/$app_id.metainfo.xml" \
    && pass "metainfo lists release $upstream" || fail "metainfo has no release $upstream"
zcat "$root/usr/share/doc/$package/changelog.Debian.gz" | head -n1 | grep -qF "$package ($version)" \
    && pass "changelog names $version" || fail "changelog.Debian does not start with $package ($version)"

if file -b "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" | grep -q 'SVG'; then
    pass "icon is SVG"
else
    fail "icon is not an SVG image"
fi

for page in frontpanel controller-sim frontpanel-web; do
    gz=$root/usr/share/man/man1/$page.1.gz
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$gz" 2>&1 >/dev/null) || fail "man $page failed"
    [ -z "$warnings" ] && pass "man $page renders cleanly" || fail "man $page: $warnings"
done
LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/frontpanel.1.gz" 2>/dev/null \
    | grep -qE 'Next Page +24 +Page Up' && pass "frontpanel.1 has the keyboard map" \
    || fail "frontpanel.1 lacks the keyboard map"

# --- the installed programs ------------------------------------------------------------------
for prog in frontpanel controller-sim; do
    bin=$root/usr/bin/$prog
    # Installed binaries must find their libraries on the system, not in a build tree.
    if readelf -d "$bin" | grep -qE 'RPATH|RUNPATH'; then
        fail "$prog carries a library search path: $(readelf -d "$bin" | grep -E 'RPATH|RUNPATH')"
    fi
    if ldd "$bin" | grep -q 'not found'; then
        fail "$prog misses libraries: $(ldd "$bin" | grep 'not found')"
    fi
    file -b "$bin" | grep -q 'stripped' && ! file -b "$bin" | grep -q 'not stripped' \
        && pass "$prog is stripped" || fail "$prog is not stripped"
done

sim=$root/usr/bin/controller-sim
if out=$("$sim" --version 2>&1); then
    [[ $out == *"$upstream"* ]] && pass "controller-sim --version: $out" \
        || fail "controller-sim --version does not name $upstream: $out"
else
    fail "controller-sim --version exited with $?: $out"
fi
"$sim" --help >"$work/sim-help" 2>&1 && pass "controller-sim --help" || fail "controller-sim --help failed"
# The shipped configuration lists no controllers yet: the server must say so and not start.
web=$root/usr/bin/frontpanel-web
if timeout 10 "$web" --config "$root/etc/frontpanel-web/frontpanel-web.conf" >"$work/web-out" 2>&1; then
    fail "frontpanel-web started on the shipped configuration"
elif grep -q ':0: no controllers' "$work/web-out"; then
    pass "frontpanel-web waits for controllers in its configuration"
else
    fail "frontpanel-web on the shipped configuration: $(cat "$work/web-out")"
fi
for opt in --bind --port --delay --drop --verbose; do
    grep -q -- "$opt" "$work/sim-help" || fail "controller-sim --help does not mention $opt"
done

# The unit as systemd reads it (the program named by where it was unpacked).
sed "s#/usr/bin/frontpanel-web#$web#" "$root/usr/lib/systemd/system/frontpanel-web.service" \
    >"$work/frontpanel-web.service"
if systemd-analyze verify --man=no "$work/frontpanel-web.service" >"$work/verify.log" 2>&1; then
    pass "systemd-analyze verify: the unit holds"
else
    fail "systemd-analyze verify: $(cat "$work/verify.log")"
fi
grep -qx 'Type=notify' "$work/frontpanel-web.service" && grep -q '^WatchdogSec=' "$work/frontpanel-web.service" \
    && grep -q '^ExecReload=.*-HUP' "$work/frontpanel-web.service" \
    && pass "the unit waits for READY=1, has a watchdog and reloads with SIGHUP" \
    || fail "the unit lacks Type=notify, WatchdogSec= or ExecReload="

# The installed simulator comes up on a free loopback port and says where it listens.
"$sim" --bind 127.0.0.1 --port 0 >"$work/sim-out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    grep -q 'listening' "$work/sim-out" && break
    sleep 0.1
done
if head -n1 "$work/sim-out" | grep -qE '^controller-sim listening on 127\.0\.0\.1 port [1-9][0-9]*$'; then
    pass "installed controller-sim: $(head -n1 "$work/sim-out")"
else
    fail "installed controller-sim did not report its port: $(head -c 300 "$work/sim-out")"
fi

# Directory logins through the real PAM stack and the installed service file: a local account
# made here, in the operator group, logs in, takes control and presses a key that the installed
# simulator answers. As root only, since it adds an account (taken away again at the end); the
# server runs as root here, so pam_unix reads the shadow file itself.
if [ "$(id -u)" = 0 ] && command -v useradd >/dev/null; then
    pam_user=fpweb-pam-$$
    pam_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')Aa1
    if ! getent group frontpanel-operator >/dev/null; then
        groupadd frontpanel-operator && made_group=frontpanel-operator
    fi
    useradd --no-create-home --shell /usr/sbin/nologin --groups frontpanel-operator "$pam_user" \
        && made_user=$pam_user
    echo "$pam_user:$pam_password" | chpasswd
    if [ ! -e /etc/pam.d/frontpanel-web ]; then
        cp "$root/etc/pam.d/frontpanel-web" /etc/pam.d/frontpanel-web && made_pam=/etc/pam.d/frontpanel-web
    fi
    sim_port=$(head -n1 "$work/sim-out" | grep -oE '[0-9]+$')
    printf '[server]\nauth = pam\naudit = %s\n\n[c0]\naddress = 127.0.0.1\nport = %s\npoll = 100\n' \
        "$work/pam-audit.log" "$sim_port" >"$work/pam.conf"
    if PAM_USER_NAME=$pam_user PAM_PASSWORD=$pam_password timeout 60 python3 - "$web" "$work/pam.conf" \
        "$src_dir/../python" >"$work/pam.log" 2>&1 <<'PYTHON'
import os, re, subprocess, sys, time
web, conf, kit = sys.argv[1:4]
sys.path.insert(0, kit)
from frontpanel_kit import Page, Server
server = Server.__new__(Server)
server.process = subprocess.Popen([web, "--config", conf, "--port", "0"], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
server.port = int(re.search(r":(\d+)/", server.process.stdout.readline()).group(1))
try:
    user, password = os.environ["PAM_USER_NAME"], os.environ["PAM_PASSWORD"]
    status, body, _ = server.try_login(user, password + "x")
    assert status == 401, "a wrong password: %d %s" % (status, body)
    status, body, cookie = server.try_login(user, password)
    assert status == 200 and body["role"] == "operator", "login: %d %s" % (status, body)
    page = Page(server, cookie)
    page.sock.settimeout(0.2)
    page.send({"type": "watch", "controller": "c0"})
    page.send({"type": "take", "controller": "c0"})
    page.send({"type": "key", "controller": "c0", "code": 2})
    deadline, seen = time.monotonic() + 15, []
    while time.monotonic() < deadline:
        try:
            seen += page.messages()
        except OSError:
            pass
        if any(m.get("type") == "keys" and m["keys"] and m["keys"][-1].get("outcome") == "answered"
               for m in seen):
            print("PAM login and key answered for", user)
            break
    else:
        raise AssertionError("no answered key: %s" % seen[-5:])
finally:
    server.process.kill()
PYTHON
    then
        pass "real PAM: $(tail -n1 "$work/pam.log")"
    else
        fail "real PAM login of a local account: $(tail -n 5 "$work/pam.log")"
    fi
else
    echo "skip: the real PAM login needs root to make a local account"
fi
kill -TERM "${pids[-1]}" 2>/dev/null || true
wait "${pids[-1]}" 2>/dev/null || true

# The installed panel has no options of its own: start it, let it run for two seconds and end
# it. timeout answers 124 only if the panel was still running then; an early exit or a crash
# gives its own status.
set +e
QT_QPA_PLATFORM=offscreen timeout -s TERM -k 5 2 "$root/usr/bin/frontpanel" >"$work/panel-out" 2>&1
status=$?
set -e
if [ $status -eq 124 ]; then
    pass "installed frontpanel ran for 2 s under the offscreen platform"
else
    fail "installed frontpanel ended early with status $status: $(head -c 500 "$work/panel-out")"
fi

echo
echo "Package contents:"
awk '{print $6}' "$work/contents" | grep -v '/$'
if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
