#!/usr/bin/env bash
# Installs everything the tool needs to build, run and be tested on Debian 12. Needs root.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libturbojpeg0-dev
    # fonts the main window is drawn with (metric-compatible with Arial)
    fonts-liberation2
    # a virtual display, a window manager and the tools that drive them
    xvfb openbox xdotool xclip x11-apps x11-utils x11-xserver-utils xauth
    # tests and benchmarks
    python3 python3-numpy clang clang-format clang-tidy libclang-rt-14-dev dbus dbus-x11 procps
    # the soak counts the program's X resources
    xrestop
    # packaging: the .deb's library dependencies (dpkg-shlibdeps), checking its menu entry, starting it from the menu
    dpkg-dev desktop-file-utils libgtk-3-bin
)

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
