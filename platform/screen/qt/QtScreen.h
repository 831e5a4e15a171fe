#pragma once

#include "platform/screen/ScreenService.h"

// The primary screen through Qt's own grab, for windowing systems other than X11. Slower than XcbScreen: the
// toolkit hands back a pixmap that is converted once to 32-bit BGRX. Needs a QGuiApplication.
class QtScreen final : public ScreenService {
public:
    ScreenMetrics metrics() override;
    ScreenPixels grabArea(int left, int top, int width, int height) override;
};
