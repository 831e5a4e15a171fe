#!/usr/bin/env bash
# Builds the tool into build/ and starts it, as you: run it as yourself. What building and running need and is
# missing is installed first (scripts/install-deps.sh --run: only that step asks sudo for your password). Started with
# sudo, it installs and then builds and runs as the user who called sudo, inside that user's desktop session.
#
# On a desktop, X11 or Wayland, the tool starts on it. Where there is none (a server, a container), and no arguments
# are given, it takes one capture on a virtual display instead (scripts/demo_capture.py) and says where the image
# went; arguments go to the program wherever it runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build

# The desktop session this runs in: "wayland:DESKTOP", "x11", or "none".
session() {
    local socket=${WAYLAND_DISPLAY:-}
    [[ -z $socket || $socket == /* ]] || socket=${XDG_RUNTIME_DIR:-/nonexistent}/$socket
    if [[ -n $socket && -S $socket && -w $socket ]]; then
        echo "wayland:${XDG_CURRENT_DESKTOP:-unknown}"
    elif [[ -n ${DISPLAY:-} ]] && x11_answers; then
        echo x11
    else
        echo none
    fi
}

# Whether the X display $DISPLAY answers: xdpyinfo asks it where it is there (most desktops have it); otherwise its
# socket is looked for.
x11_answers() {
    if command -v xdpyinfo >/dev/null; then
        timeout 5 xdpyinfo >/dev/null 2>&1
        return
    fi
    local host=${DISPLAY%%:*} number=${DISPLAY#*:}
    number=${number%%.*}
    if [[ -z $host || $host == unix ]]; then
        [[ -S /tmp/.X11-unix/X$number ]]
    else
        timeout 5 bash -c "exec 3<>/dev/tcp/$host/$((6000 + number))" 2>/dev/null
    fi
}

# Started with sudo: sudo kept little of the user's session, so it is read back from the user's service manager
# (which every desktop tells its environment) and from the user's runtime folder; then the script goes on as the user.
if [[ $(id -u) -eq 0 && -n ${SUDO_USER:-} && $SUDO_USER != root ]]; then
    uid=$(id -u "$SUDO_USER")
    runtime=/run/user/$uid
    declare -A kept=([DISPLAY]=${DISPLAY:-} [XAUTHORITY]=${XAUTHORITY:-})
    if [[ -d $runtime ]]; then
        kept[XDG_RUNTIME_DIR]=$runtime
        [[ -S $runtime/bus ]] && kept[DBUS_SESSION_BUS_ADDRESS]=unix:path=$runtime/bus
        wanted=" DISPLAY WAYLAND_DISPLAY XAUTHORITY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE XDG_SESSION_DESKTOP "
        while IFS='=' read -r key value; do
            # A value with special characters comes quoted as $'...': such a one is left out.
            if [[ $wanted == *" $key "* && $value != \$* ]]; then
                kept[$key]=$value
            fi
        done < <(runuser -u "$SUDO_USER" -- env XDG_RUNTIME_DIR="$runtime" systemctl --user show-environment \
            2>/dev/null || true)
        if [[ -z ${kept[WAYLAND_DISPLAY]:-} && -S $runtime/wayland-0 ]]; then
            kept[WAYLAND_DISPLAY]=wayland-0
        fi
    fi
    environment=()
    for key in "${!kept[@]}"; do
        [[ -z ${kept[$key]} ]] || environment+=("$key=${kept[$key]}")
    done
    # The packages are installed here, as root, with the session's desktop in view.
    (
        for variable in "${environment[@]}"; do export "${variable?}"; done
        "$root/scripts/install-deps.sh" --run "$(session)"
    )
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    echo "Building and starting as $SUDO_USER."
    exec runuser -u "$SUDO_USER" -- env -i HOME="$home" USER="$SUDO_USER" LOGNAME="$SUDO_USER" PATH="$PATH" \
        LANG="${LANG:-C.UTF-8}" TERM="${TERM:-dumb}" "${environment[@]}" "$0" "$@"
fi

where=$(session)
"$root/scripts/install-deps.sh" --run "$where"
if [[ -e $build && ! -w $build ]]; then
    take="chown -R $(id -un): $build"
    if command -v sudo >/dev/null; then
        take="sudo $take"
    else
        take="su -c '$take' (as root)"
    fi
    echo "$build belongs to $(stat -c %U "$build") (an earlier run as root?): remove it, or give it to you with" \
        "$take" >&2
    exit 1
fi
# The program only: the tests and benchmarks are the test command's.
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOSH_BUILD_TESTS=OFF -DQUOSH_BUILD_BENCH=OFF
program=$build/app/quosh

if [[ $where == wayland:* && ,$(tr ':' ',' <<<"${where#wayland:}"), == *,KDE,* ]]; then
    # KWin reads the screen without the pointer for a program that a menu entry names, as the package's does.
    if entry=$("$root/scripts/register-kwin.sh" "$program") && [[ -n $entry ]]; then
        echo "KWin is told of $program in $entry (a hidden menu entry), so that it hands over the screen without" \
            "the pointer; remove that file to take it back."
        command -v kbuildsycoca5 >/dev/null && kbuildsycoca5 >/dev/null 2>&1 || true
    fi
fi
if [[ $where != none ]]; then
    echo "Starting $program on the ${where%%:*} desktop."
    exec "$program" "$@"
fi
# Arguments are the program's, desktop or not: --help and --version need none, and -display names one.
if [[ $# -gt 0 ]]; then
    exec "$program" "$@"
fi
echo "No desktop here: taking one capture on a virtual display."
exec python3 "$root/scripts/demo_capture.py" "$program"
