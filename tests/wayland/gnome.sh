#!/bin/sh
# A GNOME session's start, as the session user under its bus: the media server, GNOME Shell headless on one virtual
# monitor ($1, WIDTHxHEIGHT: the harness sets its scale) with a picture as its background ($2, centred), the
# activation environment and the desktop portal; $3 "fractional" turns on mutter's fractional scales. Writes
# session.env once the shell and its Xwayland are there, then lives as long as the shell.
set -u
r=$XDG_RUNTIME_DIR
pipewire >"$r/pipewire.log" 2>&1 &
gsettings set org.gnome.desktop.background picture-uri "file://$2"
gsettings set org.gnome.desktop.background picture-options centered
# No banner over the pictures ("Screen Lock disabled": there is no display manager).
gsettings set org.gnome.desktop.notifications show-banners false
if [ "${3:-}" = fractional ]; then
    gsettings set org.gnome.mutter experimental-features "['scale-monitor-framebuffer']"
fi
gnome-shell --headless --wayland --unsafe-mode --virtual-monitor "$1" >"$r/shell.log" 2>&1 &
shell=$!
tries=0
# Xwayland admits the clients that know the cookie in the file the shell makes for it.
auth() { ls "$r"/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1; }
while { [ ! -S "$r/wayland-0" ] || [ -z "$(auth)" ]; } && [ $tries -lt 600 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
export WAYLAND_DISPLAY=wayland-0 DISPLAY=:0 XAUTHORITY="$(auth)"
dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XAUTHORITY XDG_RUNTIME_DIR XDG_CURRENT_DESKTOP XDG_SESSION_TYPE PATH \
    ${XDG_DESKTOP_PORTAL_DIR:+XDG_DESKTOP_PORTAL_DIR}
/usr/libexec/xdg-desktop-portal -r >"$r/portal.log" 2>&1 &
env >"$r/session.env.part" && mv "$r/session.env.part" "$r/session.env"
wait $shell
