#!/bin/sh
# A KDE Plasma session's start, as the session user under its bus: the media server, KWin with Xwayland on a virtual
# output ($1, WIDTHxHEIGHT in the output's own pixels; $2, the output scale), the activation environment and the
# desktop portal. KWin is run from a plain copy ($3): the packaged binary carries a file capability that a container
# may not grant. KWin starts at the scale, as it would with the display settings saved: its --width and --height are
# logical pixels, which it multiplies by the scale and rounds (853 x 1.5 is 1280). Changing the scale of a running KWin
# (kscreen-doctor) now and then crashes it. swaybg draws a picture as the background ($4, centred) through the layer
# shell, as plasmashell would. Writes session.env once KWin and its Xwayland are there, then lives as long as KWin.
set -u
r=$XDG_RUNTIME_DIR
pipewire >"$r/pipewire.log" 2>&1 &
logical() { awk -v p="$1" -v s="$2" 'BEGIN { printf "%d", p / s + 0.5 }'; }
"$3" --virtual --xwayland --no-lockscreen --scale "$2" --width "$(logical "${1%x*}" "$2")" \
    --height "$(logical "${1#*x}" "$2")" >"$r/kwin.log" 2>&1 &
kwin=$!
tries=0
while { [ ! -S "$r/wayland-0" ] || [ ! -S /tmp/.X11-unix/X0 ]; } && [ $tries -lt 600 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
export WAYLAND_DISPLAY=wayland-0 DISPLAY=:0
swaybg -i "$4" -m center >"$r/swaybg.log" 2>&1 &
dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XDG_RUNTIME_DIR XDG_CURRENT_DESKTOP XDG_SESSION_TYPE PATH \
    KDE_FULL_SESSION KDE_SESSION_VERSION ${XDG_DESKTOP_PORTAL_DIR:+XDG_DESKTOP_PORTAL_DIR}
/usr/libexec/xdg-desktop-portal -r >"$r/portal.log" 2>&1 &
env >"$r/session.env.part" && mv "$r/session.env.part" "$r/session.env"
wait $kwin
