#!/usr/bin/env bash
# Installs everything the tool needs to build, run and be tested on Debian 12: the libraries and files below, and the
# package of every outside program in scripts/programs.list. Needs root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    # build
    build-essential pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
    libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libturbojpeg0-dev libjpeg62-turbo-dev
    libpng-dev
    # fonts the main window is drawn with (metric-compatible with Arial)
    fonts-liberation2
    # what the tests load rather than start: an X authority for Xvfb, the session bus, images as arrays,
    # the fuzzers' sanitizer runtime, the preloaded clock of libfaketime, the toolkit's Wayland platform, the
    # start-up benchmark's view of drawing (DAMAGE)
    xauth dbus dbus-x11 python3-numpy libclang-rt-14-dev libfaketime qt6-wayland libxcb-damage0-dev
    # the toolkit's Wayland connection, for the hide that waits for the compositor
    libwayland-dev qt6-base-private-dev
    # GNOME 43 and KDE Plasma 5.27 for the Wayland tests: the window manager of GNOME's shell, the modules the tests
    # load into the system's python3 to talk to the desktops, and what KDE's screenshot backend loads without
    # depending on it (it crashes, or answers "cancelled", without them)
    mutter python3-dbus python3-gi qml-module-org-kde-kirigami2 qml-module-qtquick-controls2
    qml-module-qtquick-layouts plasma-workspace
    # packaging: the .deb's library dependencies (dpkg-shlibdeps)
    dpkg-dev
)
# "package: program ...", without the optional ones.
mapfile -t -O "${#packages[@]}" packages < <(sed -n -e '/^[[:space:]]*#/d' -e '/(optional)/d' \
    -e 's/^[[:space:]]*\([^[:space:]:]*\):.*/\1/p' "$root/scripts/programs.list")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Installing ${missing[*]} needs root: run this as root or with sudo." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
