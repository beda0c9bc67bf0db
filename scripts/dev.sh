#!/usr/bin/env bash
# Sets up a Debian 12 machine for Twinline, builds it, and then starts it or runs its tests.
#
#   scripts/dev.sh run    install what is missing, build, start the program
#   scripts/dev.sh test   install what is missing, build, run the whole test suite
#   scripts/dev.sh deb    install what is missing, build, make a Debian package in build/
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TWINLINE_BUILD_DIR:-$here/build}"

build_packages=(cmake g++ make qt6-base-dev qt6-serialport-dev libxcb-xkb-dev)
test_packages=(xvfb xauth xdotool openbox imagemagick x11-utils python3 desktop-file-utils)

# shellcheck source=scripts/packages.sh
source "$here/scripts/packages.sh"

configure_and_build() {
    local dir=$1
    shift
    cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

case "${1:-}" in
run)
    install_packages "${build_packages[@]}"
    configure_and_build "$build" -DBUILD_TESTING=OFF
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "Built $build/twinline, but there is no display to show it on." >&2
        exit 1
    fi
    exec "$build/twinline"
    ;;
test)
    install_packages "${build_packages[@]}" "${test_packages[@]}"
    configure_and_build "$build" -DBUILD_TESTING=ON
    (cd "$build" && ctest --output-on-failure --timeout 300)

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
    install_packages "${build_packages[@]}" dpkg-dev
    configure_and_build "$build" -DBUILD_TESTING=OFF
    cd "$build"
    cpack -G DEB
    ;;
*)
    echo "usage: $0 run|test|deb" >&2
    exit 2
    ;;
esac
