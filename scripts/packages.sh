# shellcheck shell=bash
# Sourced by the project's scripts: installs missing Debian packages, or says how to.

missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || printf '%s\n' "$package"
    done
}

# sudo counts when it runs apt-get without asking, or when there is a terminal to ask on and
# the user's password is accepted.
sudo_works() {
    command -v sudo >/dev/null || return 1
    sudo -n true 2>/dev/null && return 0
    [ -t 0 ] || return 1
    echo "Packages are missing; sudo asks for your password to install them." >&2
    sudo -v
}

# Installs whichever of the named packages are missing: as root directly, otherwise through
# sudo when it works. Failing both, prints the apt-get line to run as root and exits. The
# command to run again afterwards is $rerun, which the calling script sets with its arguments.
install_packages() {
    local missing
    mapfile -t missing < <(missing_packages "$@" | awk '!seen[$0]++')
    [ "${#missing[@]}" -eq 0 ] && return 0
    local update=(apt-get update)
    local install=(apt-get install -y --no-install-recommends "${missing[@]}")
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        "${update[@]}" && "${install[@]}"
    elif sudo_works; then
        echo "Installing with sudo: ${missing[*]}"
        sudo "${update[@]}" && sudo "${install[@]}"
    else
        echo "These Debian packages are needed first. As root, run:" >&2
        echo "  ${update[*]} && ${install[*]}" >&2
        echo "or, from this account, with the root password:" >&2
        echo "  su -c '${update[*]} && ${install[*]}'" >&2
        echo "Then run ${rerun:-$0} again as yourself." >&2
        exit 1
    fi
}

# Run as root in a checkout that belongs to someone else (sudo, su), a script goes on as the
# checkout's owner once the packages are in, so that no build file ends up owned by root.
#   continue_as_owner CHECKOUT SCRIPT [ARGUMENT...]
continue_as_owner() {
    local checkout=$1 owner
    shift
    owner=$(stat -c %U "$checkout")
    [ "$(id -u)" -eq 0 ] && [ "$owner" != root ] || return 0
    if [ "$owner" = UNKNOWN ]; then
        echo "$checkout belongs to user id $(stat -c %u "$checkout"), which has no account" \
            "here; build as that user." >&2
        exit 1
    fi
    echo "Building as $owner, who owns $checkout."
    exec runuser -u "$owner" -- "$@"
}

# A build folder left by an earlier run as another user (root) cannot be reused.
check_build_owner() {
    local dir=$1 foreign
    [ -e "$dir" ] || return 0
    foreign=$(find "$dir" ! -user "$(id -u)" -print -quit)
    [ -z "$foreign" ] && return 0
    echo "$dir holds files of another user ($foreign, owned by $(stat -c %U "$foreign"))," \
        "left by an earlier run as root. Remove it as root, then run ${rerun:-$0} again:" >&2
    echo "  su -c 'rm -rf $dir'" >&2
    exit 1
}
