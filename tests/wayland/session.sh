#!/bin/sh
# The first process of a test session's own pid, mount and network namespaces, started as root. It gives the session
# what a desktop expects of a machine and this one may lack, each private to the session: a /tmp (the screenshot
# backends write fixed names there) with a root-made /tmp/.X11-unix for Xwayland, an empty system bus, and no
# systemd (a shell that finds it asks logind for a seat). Then it runs the session bus and the desktop's start
# script as the session user. It stays root and does not replace itself, so that it keeps the signal it gets when
# the harness ends; when it ends, the kernel ends every process of the session with it.
# $1: the session user, $2: the session bus's configuration, $3: the system bus's configuration, $4: the start
# script, then its arguments up to "--". After "--": folders under /tmp that the session must still see (the
# repository and the program, when they were put there): each is bound into the private /tmp at its own path.
set -eu
user=$1 bus=$2 system=$3 start=$4
shift 4
args=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    args="$args $1"
    shift
done
[ $# -gt 0 ] && shift
outer=$(dirname "$bus")/outer-tmp
mkdir -p "$outer"
mount --bind /tmp "$outer"
mount -t tmpfs -o mode=1777 quosh-session /tmp
for keep in "$@"; do
    case $keep in
    /tmp/*)
        mkdir -p "$keep"
        mount --bind "$outer/${keep#/tmp/}" "$keep"
        ;;
    esac
done
umount "$outer"
mkdir -m 1777 /tmp/.X11-unix
mkdir -p /run/dbus
mount -t tmpfs -o mode=755 quosh-session /run/dbus
if [ -d /run/systemd ]; then
    mount -t tmpfs -o mode=755 quosh-session /run/systemd
fi
dbus-daemon --config-file="$system" --nofork --nopidfile &
tries=0
while [ ! -S /run/dbus/system_bus_socket ] && [ $tries -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
# shellcheck disable=SC2086 # the start script's arguments are words without spaces
setpriv --reuid="$user" --regid="$user" --init-groups -- dbus-run-session --config-file="$bus" -- "$start" $args
