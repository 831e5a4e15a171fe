#!/bin/sh
# Started by sway: the media server, the activation environment, the VNC server that injects input and,
# unless QUOSH_PORTAL is "none", the desktop portal. Writes session.env once all of that is asked for.
set -u
r=$XDG_RUNTIME_DIR
pipewire >"$r/pipewire.log" 2>&1 &
dbus-update-activation-environment WAYLAND_DISPLAY XDG_RUNTIME_DIR XDG_CURRENT_DESKTOP=sway SWAYSOCK \
    ${XDG_DESKTOP_PORTAL_DIR:+XDG_DESKTOP_PORTAL_DIR} PATH
wayvnc -u "$r/vnc.sock" >"$r/wayvnc.log" 2>&1 &
# The wlroots backend gives up when the media server is not there yet, and the portal then waits for it in vain.
tries=0
while [ ! -S "$r/pipewire-0" ] && [ $tries -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
if [ "$QUOSH_PORTAL" != none ]; then
    /usr/libexec/xdg-desktop-portal -r >"$r/portal.log" 2>&1 &
fi
env >"$r/session.env.part" && mv "$r/session.env.part" "$r/session.env"
