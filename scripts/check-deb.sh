#!/usr/bin/env bash
# Installs a Twinline Debian package on a clean Debian 12 (bookworm) root made with debootstrap,
# then starts the program there and checks that it runs and shuts down cleanly.
#
#   sudo scripts/check-deb.sh [--no-install-recommends] [--fresh] build/twinline_X.Y.Z_amd64.deb
#
#   --no-install-recommends   install the package without its recommended packages, so that
#                             only its Depends line has to bring in what it needs to run
#   --fresh                   run debootstrap again instead of copying the cached base root
#
# What it checks, printing a PASS or FAIL line for each:
#   - apt-get installs the package (and its dependencies) on the clean root;
#   - the package holds the program, desktop entry, icon and user help;
#   - no library of the program is missing;
#   - on the offscreen platform the program keeps running for 3 s, exits with status 0 on
#     SIGTERM and stores its window position (Top=200, Left=200) in Twinline.conf;
#   - the same on the xcb platform under Xvfb (skipped if Xvfb cannot be installed).
# The root gets a /dev of its own (null, zero, urandom and a new pty instance), so no serial
# device or console of this machine is reachable; Com1 is also mapped to a device that does not
# exist.
#
# Environment: CHECK_DEB_ROOT (default /tmp/debcheck-root) is the chroot; "$CHECK_DEB_ROOT-base"
# caches the untouched debootstrap result; CHECK_DEB_LOGS (default /tmp/debcheck-logs) holds the
# logs; CHECK_DEB_MIRROR overrides the Debian mirror, which otherwise comes from this machine's
# apt sources. The script can be run again at any time: it starts from a new copy of the base.
set -euo pipefail

root="${CHECK_DEB_ROOT:-/tmp/debcheck-root}"
base="$root-base"
logs="${CHECK_DEB_LOGS:-/tmp/debcheck-logs}"
suite=bookworm
program=/usr/bin/twinline
expected_files=(
    /usr/bin/twinline
    /usr/share/applications/twinline.desktop
    /usr/share/icons/hicolor/32x32/apps/twinline.png
    /usr/share/doc/twinline/Readme.txt
    /usr/share/doc/twinline/copyright
    /usr/share/doc/twinline/changelog.gz
    /usr/share/man/man1/twinline.1.gz
    /usr/share/metainfo/twinline.metainfo.xml
)

usage() {
    echo "usage: $0 [--no-install-recommends] [--fresh] PACKAGE.deb" >&2
    exit 2
}

install_options=()
fresh=0
deb=
while [ $# -gt 0 ]; do
    case "$1" in
    --no-install-recommends) install_options+=(--no-install-recommends) ;;
    --fresh) fresh=1 ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) [ -z "$deb" ] || usage; deb=$1 ;;
    esac
    shift
done
[ -n "$deb" ] || usage
[ -f "$deb" ] || { echo "$0: no such file: $deb" >&2; exit 2; }
deb=$(readlink -f "$deb")
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: must run as root (debootstrap, mount and chroot need it)" >&2
    exit 2
fi
case "$root" in
/?*/?*) ;;
*) echo "$0: CHECK_DEB_ROOT must be an absolute path at least two levels deep: $root" >&2; exit 2 ;;
esac

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
skip() { echo "SKIP: $*"; }
info() { echo "---- $*"; }

finish() {
    echo "check-deb: $(( $(date +%s) - started )) s in all; logs in $logs"
    echo "$passed passed, $failed failed"
    if [ "$failed" -eq 0 ]; then exit 0; else exit 1; fi
}

# Mounts under the chroot, deepest first.
mounts_under() {
    awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

unmount_all() {
    local target
    for target in $(mounts_under "$root"); do
        umount -R "$target" 2>/dev/null || umount -R -l "$target" 2>/dev/null || true
    done
    [ -z "$(mounts_under "$root")" ]
}

# shellcheck disable=SC2317 # run by the trap
cleanup() {
    local status=$?
    if ! unmount_all; then
        echo "FAIL: could not unmount everything under $root:" >&2
        mounts_under "$root" >&2
        status=1
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Prints "URI" for the first enabled apt source of this machine that carries the given suite.
host_mirror() {
    local wanted=$1 file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v s="$wanted" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) == s) { print $i; exit }
            }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v s="$wanted" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && enabled != "no" && (" " suites " ") ~ (" " s " ")) {
                    split(uris, u, " "); print u[1]; found = 1
                }
                types = uris = suites = enabled = ""
            }
            /^[ \t]*$/ { flush(); if (found) exit; next }
            /^#/ { next }
            /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
            /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
            /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
            /^Enabled:/ { sub(/^Enabled:[ \t]*/, ""); enabled = tolower($0) }
            END { if (!found) flush() }' "$file"
    done
}

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

started=$(date +%s)
mkdir -p "$logs"

mirror="${CHECK_DEB_MIRROR:-$(host_mirror "$suite" | head -n 1)}"
mirror="${mirror:-http://deb.debian.org/debian}"
security_mirror="$(host_mirror "$suite-security" | head -n 1)"
info "package: $deb"
info "mirror: $mirror${security_mirror:+, security: $security_mirror}"
info "dpkg-deb --info"
dpkg-deb --info "$deb" | sed 's/^/    /'

# 1. A clean root: debootstrap once into the base, then a new copy of it for each run.
unmount_all || { echo "FAIL: $root has mounts that cannot be removed" >&2; exit 1; }
if [ "$fresh" -eq 1 ] || [ ! -e "$base/.check-deb-complete" ]; then
    rm -rf --one-file-system "$base"
    info "debootstrap --variant=minbase $suite $base $mirror"
    step=$(date +%s)
    if debootstrap --variant=minbase "$suite" "$base" "$mirror" >"$logs/debootstrap.log" 2>&1; then
        touch "$base/.check-deb-complete"
        pass "debootstrap of a clean $suite root ($(( $(date +%s) - step )) s)"
    else
        tail -n 20 "$logs/debootstrap.log"
        fail "debootstrap of a clean $suite root (see $logs/debootstrap.log)"
        finish
    fi
fi
rm -rf --one-file-system "$root"
cp -a "$base" "$root"
rm -f "$root/.check-deb-complete"

{
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [ -z "$security_mirror" ] || echo "deb $security_mirror $suite-security main"
} >"$root/etc/apt/sources.list"
# Carry over a proxy and a relaxed Valid-Until (snapshot mirrors) from this machine's apt.
eval "$(apt-config shell host_proxy Acquire::http::Proxy host_valid Acquire::Check-Valid-Until)"
{
    [ -z "${host_proxy:-}" ] || echo "Acquire::http::Proxy \"$host_proxy\";"
    [ -z "${host_valid:-}" ] || echo "Acquire::Check-Valid-Until \"$host_valid\";"
} >"$root/etc/apt/apt.conf.d/99check-deb"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
cp "$deb" "$root/tmp/"
deb_in_root="/tmp/$(basename "$deb")"

# A /dev of its own with only what apt, the shell and the program need: no serial device and
# no console of this machine is reachable from the root.
minimal_dev() {
    local dev="$root/dev" node
    mount -t tmpfs -o mode=755,nosuid,size=1m dev "$dev"
    for node in null zero urandom; do
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    mkdir "$dev/pts" "$dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dev/pts"
    ln -s pts/ptmx "$dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$dev/shm"
    ln -s /proc/self/fd "$dev/fd"
    ln -s /proc/self/fd/0 "$dev/stdin"
    ln -s /proc/self/fd/1 "$dev/stdout"
    ln -s /proc/self/fd/2 "$dev/stderr"
}

mount -t proc proc "$root/proc"
minimal_dev
# (find's -type trusts the directory entry, which names a bind mount's target a plain file)
devices=$(cd "$root/dev" && find . ! -type d ! -type l | sort | while read -r node; do
    if [ -c "$node" ]; then printf '%s ' "$node"; fi
done)
if [ "$devices" = "./null ./pts/ptmx ./urandom ./zero " ]; then
    pass "the root's /dev has null, zero, urandom and its own ptys, no device of this machine"
else
    fail "the root's /dev has only null, zero, urandom and its own ptys: $devices"
fi

# 2. Install the package.
info "apt-get update && apt-get install -y ${install_options[*]:+${install_options[*]} }$deb_in_root"
step=$(date +%s)
if in_root sh -c 'apt-get update && apt-get install -y "$@"' sh "${install_options[@]}" "$deb_in_root" \
    >"$logs/install.log" 2>&1; then
    grep -E '^[0-9]+ upgraded, [0-9]+ newly installed' "$logs/install.log" | head -n 1 | sed 's/^/    /'
    pass "apt-get install of $(basename "$deb") ($(( $(date +%s) - step )) s)"
else
    tail -n 20 "$logs/install.log"
    fail "apt-get install of $(basename "$deb") (see $logs/install.log)"
    finish
fi
# shellcheck disable=SC2016 # a dpkg-query format
in_root dpkg-query -W -f='${Package}\n' >"$logs/installed-packages.txt"

# 3. The files the package installs.
package=$(dpkg-deb --field "$deb" Package)
in_root dpkg -L "$package" >"$logs/dpkg-L.txt"
for file in "${expected_files[@]}"; do
    if grep -qxF "$file" "$logs/dpkg-L.txt" && [ -f "$root$file" ]; then
        pass "installed $file"
    else
        fail "installed $file"
    fi
done

# 4. Every library the program and the platform plugins need is there.
plugins=$(in_root bash -c 'ls /usr/lib/*/qt6/plugins/platforms/libq{offscreen,xcb}.so' 2>/dev/null || true)
# shellcheck disable=SC2086
if [ "$(wc -w <<<"$plugins")" -eq 2 ] && in_root ldd "$program" $plugins >"$logs/ldd.txt" 2>&1 \
    && ! grep -q 'not found' "$logs/ldd.txt"; then
    pass "ldd finds every library of $program and the offscreen and xcb plugins"
else
    grep 'not found' "$logs/ldd.txt" || true
    fail "ldd finds every library of $program and the offscreen and xcb plugins"
fi

# Starts the program in the chroot with a new HOME, keeps it running 3 s, sends SIGTERM and
# reports "alive=yes|no" and "status=N".
cat >"$root/tmp/check-deb-run.sh" <<'EOF'
#!/bin/bash
out=$1
"$PROGRAM" >"$out" 2>&1 &
pid=$!
sleep 3
if kill -0 "$pid" 2>/dev/null; then echo alive=yes; else echo alive=no; fi
kill -TERM "$pid" 2>/dev/null || true
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "did not end within 10 s of SIGTERM" >>"$out"
    kill -KILL "$pid"
fi
wait "$pid" && status=0 || status=$?
echo "status=$status"
EOF
chmod +x "$root/tmp/check-deb-run.sh"

# run_program NAME PLATFORM [WRAPPER...]
run_program() {
    local name=$1 platform=$2 home="/tmp/check-deb-home-$1" result conf
    shift 2
    rm -rf "${root:?}$home"
    mkdir -p "$root$home/.config/Twinline"
    printf '[Ports]\nCom1=/dev/nonexistent-tty\n' >"$root$home/.config/Twinline/Twinline.conf"
    result=$(in_root HOME="$home" XDG_CONFIG_HOME="$home/.config" QT_QPA_PLATFORM="$platform" \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent PROGRAM="$program" \
        "$@" /tmp/check-deb-run.sh "/tmp/check-deb-$name.out" 2>"$logs/$name.err") || true
    cp "$root/tmp/check-deb-$name.out" "$logs/$name.out" 2>/dev/null || true
    info "$name: program output"
    sed 's/^/    /' "$logs/$name.out" 2>/dev/null || true
    if grep -qx 'alive=yes' <<<"$result"; then
        pass "$name: $program keeps running for 3 s on the $platform platform"
    else
        fail "$name: $program keeps running for 3 s on the $platform platform"
        sed 's/^/    /' "$logs/$name.err"
    fi
    if grep -qx 'status=0' <<<"$result"; then
        pass "$name: exit status 0 after SIGTERM"
    else
        fail "$name: exit status 0 after SIGTERM (got ${result//$'\n'/, })"
    fi
    conf="$root$home/.config/Twinline/Twinline.conf"
    cp "$conf" "$logs/$name-Twinline.conf"
    info "$name: Twinline.conf after the run"
    sed 's/^/    /' "$conf"
    if awk '/^\[/ { section = $0; next }
            section == "[Properties]" && $0 == "Top=200" { top = 1 }
            section == "[Properties]" && $0 == "Left=200" { left = 1 }
            END { exit !(top && left) }' "$conf"; then
        pass "$name: Twinline.conf has Top=200 and Left=200 in [Properties]"
    else
        fail "$name: Twinline.conf has Top=200 and Left=200 in [Properties]"
    fi
}

# 5. Offscreen.
run_program offscreen offscreen

# 6. xcb under Xvfb, when Xvfb can be installed.
info "apt-get install -y ${install_options[*]:+${install_options[*]} }xvfb xauth"
if in_root apt-get install -y "${install_options[@]}" xvfb xauth >"$logs/install-xvfb.log" 2>&1; then
    run_program xcb xcb xvfb-run -a -s '-screen 0 1024x768x24'
else
    skip "xcb under Xvfb: xvfb and xauth could not be installed (see $logs/install-xvfb.log)"
fi

finish
