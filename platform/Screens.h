#pragma once

#include "platform/ScreenService.h"

#include <memory>

// The screen service for the windowing system the application runs on: xcb on X11, Qt's grab elsewhere.
// Needs a QGuiApplication.
std::unique_ptr<ScreenService> createScreenService();
