#pragma once

#include <QString>

// Why the program has no display to show its window on, or an empty text when it has one (or when the toolkit is
// told where to go: a -display or -platform argument, or QT_QPA_PLATFORM naming another platform than X11). Asked
// before the toolkit starts, which would otherwise end the process with three lines of its own about platform plugins.
QString missingDisplayReason(int argc, char* argv[]);
