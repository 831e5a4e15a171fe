#pragma once

#include <QString>

#include <chrono>

// Why the program cannot show its window, or an empty text when it can (or when the toolkit will not use X11). Asked
// before the toolkit starts, which would otherwise wait for ever on an X server that does not answer, and end the
// process with lines of its own about platform plugins when there is no display or it cannot be reached.
//
// The toolkit's own choice is followed: the platforms named by -platform, else by QT_QPA_PLATFORM, else Wayland when
// the session is one and X11; each tried in turn, a Wayland platform only when a compositor listens where the session
// says. When that choice comes to X11, the X display (-display NAME, else $DISPLAY) is tried once and given
// `timeLimit` to answer.
QString unusableDisplayReason(int argc, char* argv[], std::chrono::milliseconds timeLimit);

// Why there is nothing to capture on the platform the toolkit has started on, or an empty text when there is a screen
// to capture: the "offscreen" and "minimal" platforms show nothing to anyone, so a capture there could only wait for
// ever for a drag. Needs a QGuiApplication.
QString nothingToCaptureReason();
