#!/bin/sh
# Runs every benchmark, one section each. Usage: bench/run.sh [build-folder [section...]]   (default: build, and
# every section: grab save band launch startup hide wayland loop). Benchmarks that need a display get an Xvfb of their own for each
# screen size.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
[ $# -gt 0 ] && shift
only=" $* "

# wanted SECTION: whether the section was asked for.
wanted() {
    case "$only" in
    "  " | *" $1 "*) return 0 ;;
    *) return 1 ;;
    esac
}
runtime=$(mktemp -d)
chmod 700 "$runtime"
# Other work on the machine slows the figures; its load says how much to trust them.
echo "load average $(cut -d ' ' -f 1-3 /proc/loadavg) on $(nproc) cores"
export XDG_RUNTIME_DIR="$runtime"
# Temporary files of the programs go with the runtime folder. With DISPLAY set and no bus address, the toolkit would
# launch a session bus that outlives the benchmark; flameshot gets one of its own (dbus-run-session).
export TMPDIR="$runtime"
export DBUS_SESSION_BUS_ADDRESS=unix:path=/dev/null/no-bus
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
xvfb_pid=
trap 'stop_xvfb; rm -rf "$runtime"' EXIT INT TERM

# start_xvfb WIDTHxHEIGHT: starts Xvfb at depth 24 and sets DISPLAY once it accepts connections.
start_xvfb() {
    fifo="$runtime/displayfd"
    rm -f "$fifo" && mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$1x24" -noreset -nolisten tcp +extension RANDR 3>"$fifo" 2>/dev/null &
    xvfb_pid=$!
    number=$(timeout 20 head -n 1 "$fifo") || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$number"
}

stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
    fi
}

# with_frozen_clock COMMAND...: runs the command with its wall clock frozen (libfaketime; the monotonic clock runs
# on). The program's one-in-a-hundred home-page draw at start-up comes from the time of day; at this time it does not
# open the page, which would put a browser or a message in the middle of a measurement.
with_frozen_clock() {
    env LD_PRELOAD="$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -n 1)" FAKETIME="2026-12-07 10:00:00" \
        FAKETIME_DONT_FAKE_MONOTONIC=1 "$@"
}

# start_openbox: starts openbox on $DISPLAY, sets openbox_pid and waits until it manages windows.
start_openbox() {
    openbox --sm-disable >/dev/null 2>&1 &
    openbox_pid=$!
    i=0
    until xprop -root _OB_THEME 2>/dev/null | grep -q '_OB_THEME('; do
        i=$((i + 1)); [ $i -lt 200 ] || { echo "openbox did not start" >&2; exit 1; }; sleep 0.05
    done
}

# judged COMMAND...: runs the command and keeps the lines that judge a figure against its goal, for the summary at
# the end.
judged() {
    if "$@" >"$runtime/out"; then status=0; else status=$?; fi
    cat "$runtime/out"
    grep 'goal <=' "$runtime/out" >>"$runtime/goals" || true
    return $status
}

# with_screens COMMAND...: runs the command on a 1920x1080 and on a 3840x2160 screen.
with_screens() {
    for size in 1920x1080 3840x2160; do
        start_xvfb "$size"
        "$@"
        stop_xvfb
    done
}

if wanted grab; then
echo "== screen grab (bench_grab)"
with_screens "$build/bench/bench_grab"
fi

# Needs no display: the picture is synthetic. First into a scratch folder under the system's temporary folder
# (a real disk: the save's flush to disk is part of the time), then on tmpfs, where the flush costs nothing and
# what remains is the cost around the encoder.
if wanted save; then
echo "== capture save (bench_save)"
judged "$build/bench/bench_save" 21
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    shm=$(mktemp -d /dev/shm/bench_save-XXXXXX)
    judged "$build/bench/bench_save" 21 "$shm" || { rm -rf "$shm"; exit 1; }
    rm -rf "$shm"
fi
fi

# The band's cost is CPU time in the program per mouse-move, its repaint included; the X server's share is shown
# beside it.
if wanted band; then
echo "== rubber band (bench_band)"
start_xvfb 3840x2160
QUOSH_XVFB_PID=$xvfb_pid "$build/bench/bench_band"
stop_xvfb
fi

# The real program under openbox, a click on "Start Capturing" (main window hidden first, as with the box ticked)
# to the overlay's map, measured from outside the program.
if wanted launch; then
echo "== capture launch (bench_launch)"
start_xvfb 1920x1080
start_openbox
home=$(mktemp -d "$runtime/home-XXXXXX")
mkdir -p "$home/.config" "$home/out"
printf '[Ostrafen%%20Mirel%%20Tasko%%20Vendry%%20Quosh]\nOption1=True\nOption2=False\nText1=%s/\nCheck1=1\n' \
    "$home/out" >"$home/.config/Korvane.conf"
HOME="$home" XDG_CONFIG_HOME="$home/.config" with_frozen_clock "$build/app/quosh" >/dev/null 2>&1 &
app_pid=$!
i=0
until main=$(xdotool search --onlyvisible --name '^Ostrafen Mirel Tasko Vendry Quosh$' 2>/dev/null | tail -n 1) &&
    [ -n "$main" ]; do
    i=$((i + 1)); [ $i -lt 400 ] || { echo "the main window did not appear" >&2; exit 1; }; sleep 0.05
done
sleep 0.5
left=$(xwininfo -id "$main" | sed -n 's/.*Absolute upper-left X: *//p')
top=$(xwininfo -id "$main" | sed -n 's/.*Absolute upper-left Y: *//p')
# "Start Capturing" is at (8, 181) with a size of 520 x 27 in the main window's client area.
"$build/bench/bench_launch" $((left + 268)) $((top + 194)) 15 || true
# A peer for comparison on the same display and window manager: flameshot (Debian package flameshot), from its
# start to its overlay mapped. It needs a session bus.
if command -v flameshot >/dev/null && command -v dbus-run-session >/dev/null; then
    xdotool windowminimize "$main" 2>/dev/null || true
    HOME="$home" XDG_CONFIG_HOME="$home/.config" dbus-run-session -- \
        "$build/bench/bench_launch" --command 10 flameshot gui || true
else
    echo "flameshot is not installed: no peer figure (apt-get install flameshot)"
fi
kill "$app_pid" "$openbox_pid" 2>/dev/null || true
wait "$app_pid" "$openbox_pid" 2>/dev/null || true
stop_xvfb
fi

# Process start to the main window's map and to its first complete paint, and the peak resident set after one idle
# second, beside two plain Qt Widgets programs: one with the same controls, one with an empty window. No window
# manager, so that each map is seen on the root at once.
if wanted startup; then
echo "== start-up and idle memory (bench_startup)"
start_xvfb 1920x1080
with_frozen_clock "$build/bench/bench_startup" "$build/app/quosh" "$build/bench/controls_window" \
    "$build/bench/minimal_window" 15
stop_xvfb
fi

# What hiding the main window until it is off the screen adds before the grab: under openbox alone, and with a
# compositing manager that fades closing windows out (picom, Debian package picom) by its default step (about
# 0.33 s) and in 0.5 s; openbox cuts most fades short by destroying the frame, so the slow fade runs once more with
# no window manager, where picom draws all of it.
if wanted hide; then
echo "== hide before the grab (bench_hide)"
start_xvfb 1920x1080
start_openbox
echo "openbox, no compositor:"
"$build/bench/bench_hide" 21
if command -v picom >/dev/null; then
    for fade in "openbox:" "openbox:--fade-out-step 0.02" "none:--fade-out-step 0.02"; do
        if [ "${fade%%:*}" = none ] && [ -n "$openbox_pid" ]; then
            kill "$openbox_pid" 2>/dev/null || true
            wait "$openbox_pid" 2>/dev/null || true
            openbox_pid=
        fi
        # shellcheck disable=SC2086 # the fade's options are words of their own
        picom --backend xrender --fading ${fade#*:} >/dev/null 2>&1 &
        picom_pid=$!
        i=0
        until xdotool search --name '^picom$' >/dev/null 2>&1; do
            i=$((i + 1)); [ $i -lt 200 ] || { echo "picom did not start" >&2; exit 1; }; sleep 0.05
        done
        echo "window manager ${fade%%:*}, picom --backend xrender --fading ${fade#*:}:"
        "$build/bench/bench_hide" 21
        kill "$picom_pid" 2>/dev/null || true
        wait "$picom_pid" 2>/dev/null || true
    done
else
    echo "picom is not installed: no figure under a compositor (apt-get install picom)"
fi
if [ -n "$openbox_pid" ]; then
    kill "$openbox_pid" 2>/dev/null || true
    wait "$openbox_pid" 2>/dev/null || true
fi
stop_xvfb
fi

# On headless sway with the desktop portal, as its own unprivileged user (so it needs root): "Start Capturing" to the
# overlay with its picture, beside the bare portal round trip.
# wayland.py decodes the portal's own pictures again outside the session; bench_decode then does the same with
# desktops made here, which needs no session.
if wanted wayland; then
echo "== Wayland launch through the portal (wayland.py)"
if [ "$(id -u)" -eq 0 ] && command -v sway >/dev/null; then
    judged python3 "$here/wayland.py" "$build" 7
else
    echo "no headless sway here (it needs root and sway): the launch is not measured"
fi
echo "== decoding the portal's picture (bench_decode)"
"$build/bench/bench_decode" 11
fi

# Captures in a row, box ticked and clear, JPG and BMP, every file checked against the screen; a capture that says
# "Done." and holds the wrong picture fails the run. QUOSH_LOOP_RUNS sets the count (200 here; 2000 for a proper
# hunt, which takes about an hour).
if wanted loop; then
echo "== captures checked one by one (capture_loop.py)"
QUOSH_BIN="$build/app/quosh" python3 "$here/capture_loop.py" --runs "${QUOSH_LOOP_RUNS:-200}"
fi

if [ -s "$runtime/goals" ]; then
    echo "== against the goals"
    cat "$runtime/goals"
fi
