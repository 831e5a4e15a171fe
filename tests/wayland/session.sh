#!/bin/sh
# The first process of a test session's own pid and mount namespaces, started as root: it gives the session a
# private /tmp (the screenshot backend writes a fixed name there) and then runs the session bus and the compositor as
# the session user. It stays root and does not replace itself, so that it keeps the signal it gets when the
# harness ends; when it ends, the kernel ends every process of the session with it.
# $1: the session user, $2: the bus configuration, $3: the compositor's configuration. The compositor applies each
# layout change at once ("noatomic"), so that input sent right after a window appears finds it where the layout says.
# $4...: folders under /tmp that the session must still see (the repository and the program, when they were put
# there): each is bound into the private /tmp at its own path.
set -eu
user=$1 bus=$2 config=$3
shift 3
outer=$(dirname "$config")/outer-tmp
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
setpriv --reuid="$user" --regid="$user" --init-groups -- dbus-run-session --config-file="$bus" -- \
    sway -D noatomic -c "$config"
