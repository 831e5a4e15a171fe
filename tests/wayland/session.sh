#!/bin/sh
# The first process of a test session's own pid and mount namespaces, started as root: it gives the session a
# private /tmp (the screenshot backend writes a fixed name there) and then runs the session bus and the compositor as
# the session user. It stays root and does not replace itself, so that it keeps the signal it gets when the
# harness ends; when it ends, the kernel ends every process of the session with it.
# $1: the session user, $2: the bus configuration, $3: the compositor's configuration. The compositor applies each
# layout change at once ("noatomic"), so that input sent right after a window appears finds it where the layout says.
set -eu
mount -t tmpfs -o mode=1777 quosh-session /tmp
setpriv --reuid="$1" --regid="$1" --init-groups -- dbus-run-session --config-file="$2" -- sway -D noatomic -c "$3"
