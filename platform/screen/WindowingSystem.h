#pragma once

#include "platform/screen/ScreenService.h"

#include <QByteArray>

#include <memory>

// Which windowing system the program runs on is decided here and nowhere else: before the toolkit starts, which of
// its platforms it will take; once it runs, the one screen service that grabs the screen and handles the program's
// windows on it.

// The platform the toolkit will take, as it chooses: the platforms named by -platform, else by QT_QPA_PLATFORM, else
// X11 when a display is named with -display (followNamedDisplay sends it there), else Wayland first when the session
// is one (WAYLAND_DISPLAY or XDG_SESSION_TYPE say so), then X11; each tried in turn, a Wayland platform only when a
// compositor listens where the session says.
struct ToolkitPlatform {
    bool isX11 = false;
    QByteArray display; // X11: -display NAME, else $DISPLAY; empty when no display is named anywhere
};
ToolkitPlatform toolkitPlatform(int argc, char* argv[]);

// The screen service for what the toolkit runs on, and the backend for its windows: the desktop portal when it runs
// on Wayland or on an X server that is XWayland (whose root window holds only the X11 windows), xcb on any other X
// server, Qt's grab elsewhere. Decided once, at start-up, from the display itself, never from environment variables
// that a terminal may have inherited. Needs a QGuiApplication.
std::unique_ptr<ScreenService> createScreenService();

// A display named on the command line (-display) is where the window goes and what is read, also in a Wayland
// session, where the toolkit would otherwise run on Wayland and ignore it. To be called before the QGuiApplication
// is made; leaves a platform chosen with -platform or QT_QPA_PLATFORM as it is.
void followNamedDisplay(int argc, char* argv[]);
