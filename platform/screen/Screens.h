#pragma once

#include "platform/screen/ScreenService.h"

#include <memory>

// The screen service for the session: the desktop portal on Wayland (also under XWayland), xcb on X11, Qt's grab
// elsewhere. Decided once, at start-up.
// Needs a QGuiApplication.
std::unique_ptr<ScreenService> createScreenService();
