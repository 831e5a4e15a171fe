#!/usr/bin/env bash
# Names the program PROGRAM (an absolute path) in a menu entry of the user's own, as the package's entry names the
# installed program: KWin hands its screenshot without the pointer only to a program that an installed menu entry
# names by its absolute path and allows KWin's screenshot service. The entry is hidden from menus, named after the
# program's path so that two builds keep an entry each, and written only when it is not there as it should be.
# Prints the entry's path when it was written; touches nothing else.
set -euo pipefail
program=${1:?usage: $0 PROGRAM}
# KWin compares the path with the running program's, links resolved.
program=$(realpath -e -- "$program")
if [[ $program == *$'\n'* ]]; then
    echo "$0: a path with a line break cannot be named in a menu entry" >&2
    exit 1
fi
applications=${XDG_DATA_HOME:-$HOME/.local/share}/applications
entry=$applications/quosh-build-$(printf '%s' "$program" | md5sum | cut -c1-12).desktop
# Exec= takes a path with spaces or special characters quoted, each of " ` $ \ escaped with a backslash, and every
# backslash doubled again as the entry's strings escape it.
quoted=$(printf '%s' "$program" | sed -e 's/[\\"`$]/\\\\&/g')
text="[Desktop Entry]
Type=Application
Name=Ostrafen Mirel Tasko Vendry Quosh (built in $(dirname "$program"))
Exec=\"$quoted\"
NoDisplay=true
X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2"
if [[ -f $entry && $(cat "$entry") == "$text" ]]; then
    exit 0
fi
mkdir -p "$applications"
printf '%s\n' "$text" >"$entry.new"
mv -f "$entry.new" "$entry"
echo "$entry"
