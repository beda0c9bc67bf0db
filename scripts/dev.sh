#!/usr/bin/env bash
# Sets up a Debian 12 machine for Twinline, builds it, and then starts it, runs its tests or
# makes its package.
#
#   scripts/dev.sh run    install what is missing, build, start the program
#   scripts/dev.sh test   install what is missing, build, run the whole test suite, make the
#                         package and check it, then run the suite again under sanitizers
#   scripts/dev.sh deb    install what is missing, build, make the package in build/ and check it
#
# Missing Debian packages are installed with apt-get: as root directly, otherwise through sudo
# when it works; failing that the script prints the command to run as root and stops. It never
# builds as root in a checkout that belongs to someone else: it goes on as that user.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TWINLINE_BUILD_DIR:-$here/build}"

build_packages=(cmake g++ make qt6-base-dev libxcb-xkb-dev)
test_packages=(xvfb xauth xdotool openbox imagemagick x11-utils python3 desktop-file-utils
    appstream man-db fonts-noto-core dbus-daemon weston qt6-wayland)
deb_packages=(dpkg-dev file lintian devscripts appstream)

rerun="$0 $*" # what the messages below tell the user to run again
# shellcheck source=scripts/packages.sh
source "$here/scripts/packages.sh"

configure_and_build() {
    local dir=$1
    shift
    check_build_owner "$dir"
    cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

# Makes the package in $build and checks it as Debian would: lintian (no error, warning or
# information; pedantic notes are shown), hardening-check and the AppStream validator.
make_and_check_package() {
    rm -f "$build"/twinline_*.deb
    (cd "$build" && cpack -G DEB)
    local debs=("$build"/twinline_*.deb) unpacked="$build/deb-contents"
    rm -rf "$unpacked"
    dpkg-deb -x "${debs[0]}" "$unpacked"
    echo "lintian --pedantic ${debs[0]}"
    lintian --pedantic --fail-on error,warning,info "${debs[0]}"
    # Not required: Debian 12's start-up files (crt1.o) carry no control-flow protection, and
    # the program's only fortifiable call, a one-byte read, is checked when it is compiled.
    hardening-check --nofortify --nocfprotection "$unpacked/usr/bin/twinline"
    appstreamcli validate --pedantic --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml
    echo "Package checks passed: ${debs[0]}"
}

command=${1:-}
case "$command" in
run) install_packages "${build_packages[@]}" ;;
test) install_packages "${build_packages[@]}" "${test_packages[@]}" "${deb_packages[@]}" ;;
deb) install_packages "${build_packages[@]}" "${deb_packages[@]}" ;;
*)
    echo "usage: $0 run|test|deb" >&2
    exit 2
    ;;
esac
continue_as_owner "$here" "$here/scripts/dev.sh" "$@"

case "$command" in
run)
    configure_and_build "$build" -DBUILD_TESTING=OFF
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "Built $build/twinline, but there is no display to show it on." >&2
        exit 1
    fi
    exec "$build/twinline"
    ;;
test)
    "$here/scripts/count-lines.sh" # the suite's size against the program's, for the log
    configure_and_build "$build" -DBUILD_TESTING=ON
    (cd "$build" && ctest --output-on-failure --timeout 300)
    make_and_check_package

    # The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
    sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
    configure_and_build "$build-sanitize" -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="$sanitizers" -DCMAKE_EXE_LINKER_FLAGS="$sanitizers"
    cd "$build-sanitize"
    # The tests preload the pty stand-in, so the sanitizer runtime is not first in line.
    export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    exec ctest --output-on-failure --timeout 300
    ;;
deb)
    configure_and_build "$build" -DBUILD_TESTING=OFF
    make_and_check_package
    ;;
esac
