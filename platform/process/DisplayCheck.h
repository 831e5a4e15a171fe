#pragma once

#include <QString>

#include <chrono>

// Why the program cannot show its window, or an empty text when it can (or when the toolkit is told to go elsewhere
// than X11: a -platform argument, QT_QPA_PLATFORM naming another platform, or a Wayland session). Asked before the
// toolkit starts, which would otherwise wait for ever on an X server that does not answer, and end the process with
// three lines of its own about platform plugins when there is no display or it cannot be reached.
//
// The X display (-display NAME, or $DISPLAY) is tried once and given `timeLimit` to answer.
QString unusableDisplayReason(int argc, char* argv[], std::chrono::milliseconds timeLimit);
