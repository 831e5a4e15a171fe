#!/usr/bin/env bash
# Installs the Debian 12 packages the tool needs, those that are missing only. Two sets:
#
#   install-deps.sh --run SESSION what building and running need (scripts/run.sh): the build's libraries, the runtime,
#                                 and for SESSION the rest: "x11"; "wayland:DESKTOP" (DESKTOP as XDG_CURRENT_DESKTOP
#                                 says: GNOME, KDE, sway, ...) adds Qt's Wayland platform, the desktop portal and the
#                                 portal backend of that desktop; "none" (no display) adds the virtual display that
#                                 the run command takes its one capture on.
#   install-deps.sh               everything, for the tests (scripts/test.sh): the run set for every session, and the
#                                 package of every outside program in scripts/programs.list, the desktops among them.
#
# Run as root it installs at once; run as a user it asks sudo for the install only, and only when something is
# missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=(
    build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libgl-dev
    libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libwayland-dev
)
# Qt's X11 platform, the fonts the main window is drawn with (metric-compatible with Arial), the home page's opener.
runtime=(qt6-qpa-plugins fonts-liberation2 xdg-utils)
wayland=(qt6-wayland xdg-desktop-portal)
gnome=(xdg-desktop-portal-gnome)
kde=(xdg-desktop-portal-kde)
# The wlroots backend needs pipewire (whose package starts it with the session) and the GTK backend beside it for the
# permission check.
wlroots=(xdg-desktop-portal-wlr xdg-desktop-portal-gtk pipewire)
# scripts/demo_capture.py: a virtual display, its input through XTEST, and python3 to drive them.
virtual_display=(xvfb libxtst6 python3)

usage() {
    echo "usage: $0 [--run x11|none|wayland:DESKTOP]" >&2
    exit 2
}

packages=("${build[@]}" "${runtime[@]}")
if [[ $# -eq 0 ]]; then
    packages+=("${virtual_display[@]}" "${wayland[@]}" "${gnome[@]}" "${kde[@]}" "${wlroots[@]}")
    packages+=(
        # what the tests load rather than start: an X authority for Xvfb, the session bus, images as arrays,
        # the fuzzers' sanitizer runtime, the preloaded clock of libfaketime, the start-up benchmark's view of drawing
        # (DAMAGE)
        xauth dbus dbus-x11 python3-numpy libclang-rt-14-dev libfaketime libxcb-damage0-dev
        # GNOME 43 and KDE Plasma 5.27 for the Wayland tests: the window manager of GNOME's shell, the modules the
        # tests load into the system's python3 to talk to the desktops, and what KDE's screenshot backend loads
        # without depending on it (it crashes, or answers "cancelled", without them)
        mutter python3-dbus python3-gi qml-module-org-kde-kirigami2 qml-module-qtquick-controls2
        qml-module-qtquick-layouts plasma-workspace
        # KDE as its users have it: its Qt 5 programs, the portal backend among them, speak Wayland (qtwayland5), and
        # the fake-input protocol that drives native windows on KWin, built into the tests' input client
        qtwayland5 plasma-wayland-protocols
        # packaging: the .deb's library dependencies (dpkg-shlibdeps)
        dpkg-dev
    )
    # "package: program ...", without the optional ones.
    mapfile -t -O "${#packages[@]}" packages < <(sed -n -e '/^[[:space:]]*#/d' -e '/(optional)/d' \
        -e 's/^[[:space:]]*\([^[:space:]:]*\):.*/\1/p' "$root/scripts/programs.list")
elif [[ $# -eq 2 && $1 == --run && $2 == none ]]; then
    packages+=("${virtual_display[@]}")
elif [[ $# -eq 2 && $1 == --run && $2 == wayland:* ]]; then
    packages+=("${wayland[@]}")
    # XDG_CURRENT_DESKTOP may name several desktops ("ubuntu:GNOME"); the first known one counts.
    backend=()
    for desktop in $(tr ':' ' ' <<<"${2#wayland:}" | tr '[:upper:]' '[:lower:]'); do
        if [[ $desktop == gnome ]]; then
            backend=("${gnome[@]}")
        elif [[ $desktop == kde ]]; then
            backend=("${kde[@]}")
        elif [[ " sway wlroots hyprland river wayfire labwc " == *" $desktop "* ]]; then
            backend=("${wlroots[@]}")
        fi
        ((${#backend[@]} == 0)) || break
    done
    if ((${#backend[@]} == 0)); then
        echo "No portal backend is known for the desktop \"${2#wayland:}\": install the one it uses." >&2
    fi
    packages+=("${backend[@]}")
elif [[ $# -ne 2 || $1 != --run || $2 != x11 ]]; then
    usage
fi

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
((${#missing[@]})) || exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
        echo "Installing ${missing[*]} needs root, and sudo is not installed: run  su -c '$0 $*'  as root," \
            "then run your command again." >&2
        exit 1
    fi
    echo "Installing ${#missing[@]} missing packages needs root; sudo asks for your password: ${missing[*]}"
    as_root=(sudo)
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
