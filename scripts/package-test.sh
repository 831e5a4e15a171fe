#!/usr/bin/env bash
# Proves the program installs like a desktop program and leaves nothing behind, from an already built build folder:
#  1. `cmake --install` into a temporary prefix, then the `uninstall` target: no file may be left in the prefix.
#  2. The Debian package built with CPack, installed with apt-get (which pulls in its dependencies); its files are
#     where a user expects them, the menu entry is valid, and the program started from that entry captures a region.
#  3. The package removed and purged: none of its files is left, while the user's settings and captures stay.
# A quosh package that is installed already is yours and is never replaced or removed: the package is then unpacked
# into a throwaway root instead, its files and menu entry are checked there and the program is started from it; the
# install and the removal are left out, and a line says so.
# Needs root (or sudo) for apt-get, and the tools of scripts/install-deps.sh.
# Usage: scripts/package-test.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)

# Whether dpkg knows a quosh package in any state: installed, or removed with its settings kept.
known() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Status}' quosh 2>/dev/null) || return 1
    [[ -n $status && $status != not-installed ]]
}

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "Installing the package needs root or sudo." >&2; exit 1; }
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

fail() { echo "package test: $*" >&2; exit 1; }
step() { echo "== $*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quosh-package-test.XXXXXX")
installed_here=0
cleanup() {
    if ((installed_here)) && known; then
        "${as_root[@]}" apt-get purge -y quosh >/dev/null || "${as_root[@]}" dpkg --purge quosh >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- 1. cmake --install and the uninstall target ---------------------------------------------------------------
step "cmake --install into a temporary prefix, then the uninstall target"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in lib/quosh/quosh lib/quosh/HAND-M.CUR share/applications/quosh.desktop \
            share/icons/hicolor/48x48/apps/quosh.png; do
    [[ -e "$prefix/$file" ]] || fail "cmake --install did not put $file in place"
done
[[ $(readlink -f "$prefix/bin/quosh") == "$(readlink -f "$prefix/lib/quosh/quosh")" ]] ||
    fail "bin/quosh does not lead to lib/quosh/quosh"
cmake --build "$build" --target uninstall >/dev/null
left=$(find "$prefix" -not -type d)
[[ -z "$left" ]] || fail "the uninstall target left files behind: $left"
[[ ! -e "$prefix/lib/quosh" ]] || fail "the uninstall target left the program's folder behind"

# --- 2. the Debian package -------------------------------------------------------------------------------------
step "building the Debian package"
rm -f "$build"/quosh_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/quosh_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single quosh_*.deb in $build"
deb=${debs[0]}
# Every file and link the package brings, as absolute paths.
mapfile -t payload < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e '/\/$/d')

# Where the package's files are: the system's root, or a throwaway one beside a quosh package that is yours.
system=""
if known; then
    step "skipping the install and the removal: a quosh package ($(dpkg-query -W -f='${Version}' quosh)) is" \
        "installed already and is left as it is; the package is unpacked into a throwaway root instead"
    system=$work/root
    dpkg-deb -x "$deb" "$system"
    # The entry names the program by its absolute path; here that path is under the throwaway root.
    sed -i "s|^Exec=/usr/bin/quosh|Exec=$system/usr/bin/quosh|" "$system/usr/share/applications/quosh.desktop"
    export PATH=$system/usr/bin:$PATH XDG_DATA_DIRS=$system/usr/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
else
    step "installing $(basename "$deb") with apt-get"
    installed_here=1
    "${as_root[@]}" apt-get install -y "$deb" >/dev/null
    dpkg-query -W -f='${Status}' quosh | grep -q "install ok installed" || fail "quosh is not installed"
fi

step "checking the installed files"
program=$system/usr/lib/quosh/quosh
[[ -x $program ]] || fail "$program is missing"
[[ -f $system/usr/lib/quosh/HAND-M.CUR ]] || fail "the hand pointer is not beside the program"
[[ -L $system/usr/bin/quosh && $(readlink -f "$system/usr/bin/quosh") == $(readlink -f "$program") ]] ||
    fail "$system/usr/bin/quosh is not a link to the program"
[[ $(command -v quosh) == "$system/usr/bin/quosh" ]] || fail "quosh is not found on the path as $system/usr/bin/quosh"
entry=$system/usr/share/applications/quosh.desktop
[[ -f $entry ]] || fail "the menu entry $entry is missing"
desktop-file-validate "$entry" || fail "the menu entry is not valid"
# The program by its absolute path, which KWin compares with the executable before it lets it read the screen.
grep -qx "Exec=$system/usr/bin/quosh" "$entry" || fail "the menu entry does not start $system/usr/bin/quosh"
grep -qx "Exec=$system/usr/bin/quosh --capture" "$entry" || fail "the menu entry has no action that starts a capture"
icon=$(sed -n 's/^Icon=//p' "$entry")
for size in 16 22 24 32 48 64 128 256; do
    png=$system/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [[ -f $png ]] || fail "the icon $png is missing"
    python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24)
sys.exit(d[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", d[16:24]) != (int(sys.argv[2]),) * 2)' "$png" "$size" ||
        fail "$png is not a $size x $size PNG"
done
# Every shared library the program needs was pulled in.
! ldd "$program" | grep -q "not found" || fail "libraries are missing: $(ldd "$program")"

step "starting the program from its menu entry and capturing a region"
home="$work/home"
mkdir -p "$home"
(cd "$root/tests/e2e" && QUOSH_DESKTOP_ENTRY=$entry QUOSH_BIN=$program QUOSH_TEST_HOME=$home \
    python3 -m unittest -v test_installed)
[[ -f $home/.config/Korvane.conf ]] || fail "the test left no settings file"
captures=("$home"/Captures/*.bmp)
[[ -f ${captures[0]} ]] || fail "the test left no capture"

# --- 3. removing the package -----------------------------------------------------------------------------------
if [[ -n $system ]]; then
    echo "Package test passed (unpacked, not installed: a quosh package of yours is installed)."
    exit 0
fi
step "removing and purging the package"
"${as_root[@]}" apt-get remove -y quosh >/dev/null
# apt no longer knows a package that came from a file once it is removed; dpkg purges what is left of it.
if dpkg-query -W -f='${Status}' quosh 2>/dev/null | grep -q "config-files"; then
    "${as_root[@]}" dpkg --purge quosh >/dev/null
fi
installed_here=0
if dpkg-query -W -f='${Status}' quosh 2>/dev/null | grep -qv "not-installed"; then
    fail "dpkg still knows quosh: $(dpkg-query -W -f='${Status}' quosh)"
fi
for path in "${payload[@]}"; do
    [[ ! -e $path && ! -L $path ]] || fail "$path is left behind after the purge"
done
[[ ! -e /usr/lib/quosh ]] || fail "/usr/lib/quosh is left behind"
[[ -f $home/.config/Korvane.conf && -f ${captures[0]} ]] || fail "the user's settings or captures went with the package"

echo "Package test passed."
