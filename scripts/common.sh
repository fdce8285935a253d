# Shared by the scripts: install what is missing, configure and build.
# shellcheck shell=bash

QUAYLIGHT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages every build needs (Debian 12 names). Debian 12's
# qt6-httpserver-dev leaves out the qt6-websockets-dev its CMake files ask for;
# node-xterm holds the web console's terminal widget, which the program serves.
# qt6-base-private-dev and libxcb1-dev: the window's event dispatcher.
QUAYLIGHT_BUILD_PACKAGES=(cmake g++ ninja-build pkg-config qt6-base-dev qt6-base-private-dev
                          qt6-serialport-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev
                          libxcb1-dev libavahi-client-dev libavahi-common-dev node-xterm)
# What the suite runs as peers besides its own programs: pyserial (the RFC
# 2217 and link tests, with the system's python3), ser2net (the link against
# another RFC 2217 server), openssl and socat (TLS), prometheus (the metrics),
# systemd (systemd-analyze scores the template unit; no systemd need run),
# avahi-daemon, dbus and python3-zeroconf (the DNS-SD announcement, browsed
# in a network namespace of the test's own), python3-websockets (the console);
# chromium, its driver, python3-selenium and libnss3-tools (the web console in
# a real browser, with a client certificate); xvfb and xauth (the window tests
# again on X11).
QUAYLIGHT_TEST_PACKAGES=(python3-serial ser2net openssl socat prometheus systemd
                         avahi-daemon dbus python3-zeroconf python3-websockets
                         chromium chromium-driver python3-selenium libnss3-tools xvfb xauth)

# ensure_packages PKG...: apt-get installs whichever are not installed yet.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake options...]: configure once, then build incrementally.
# QUAYLIGHT_WERROR=1 in the environment makes warnings errors.
build_tree() {
    local dir="$1"; shift
    if [ ! -f "$dir/build.ninja" ]; then
        # CI builds warning-free or not at all.
        local werror=()
        [ -n "${QUAYLIGHT_WERROR:-}" ] && werror=(-DQUAYLIGHT_WERROR=ON)
        cmake -S "$QUAYLIGHT_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${werror[@]}" "$@"
    fi
    cmake --build "$dir" --parallel "$(nproc)"
}
