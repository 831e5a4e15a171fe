#pragma once

#include "platform/screen/ScreenService.h"

#include <memory>

// The screen service for what the toolkit runs on: the desktop portal when it runs on Wayland or on an X server that
// is XWayland (whose root window holds only the X11 windows), xcb on any other X server, Qt's grab elsewhere. Decided
// once, at start-up, from the display itself, never from environment variables that a terminal may have inherited.
// Needs a QGuiApplication.
std::unique_ptr<ScreenService> createScreenService();

// A display named on the command line (-display) is where the window goes and what is read, also in a Wayland
// session, where the toolkit would otherwise run on Wayland and ignore it. To be called before the QGuiApplication
// is made; leaves a platform chosen with -platform or QT_QPA_PLATFORM as it is.
void followNamedDisplay(int argc, char* argv[]);

// Whether the toolkit's X server is XWayland: an X server inside a Wayland desktop, whose compositor draws the X11
// windows too. Needs a QGuiApplication.
bool isXWayland();
