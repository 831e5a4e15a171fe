# Installs the menu entry with the program's absolute path: KWin lets a program use an interface that an entry names
# in X-KDE-DBUS-Restricted-Interfaces (its screenshot without the pointer) only when that entry's Exec= is the
# program's executable. Run at install time, when the prefix is known (/usr for the package).
file(READ "${QUOSH_DESKTOP_SOURCE}" entry)
string(REPLACE "Exec=quosh" "Exec=${CMAKE_INSTALL_PREFIX}/${QUOSH_BINDIR}/quosh" entry "${entry}")
set(installed "${CMAKE_INSTALL_PREFIX}/${QUOSH_DATADIR}/applications/quosh.desktop")
message(STATUS "Installing: $ENV{DESTDIR}${installed}")
file(WRITE "$ENV{DESTDIR}${installed}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")
