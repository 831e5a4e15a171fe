#pragma once

#include "platform/screen/WindowHandling.h"

class QWidget;
struct wl_display;

// The program's windows on a Wayland compositor: hidden until the compositor has drawn the screen without them.
// Wayland lets no client stack itself above others (a full-screen window is on top by itself) nor leave the taskbar,
// so those asks change nothing. The frozen picture can be laid over a window unscaled on a surface of the program's
// own (PictureSurface).
class WaylandWindows final : public WindowHandling {
public:
    // `display` is the toolkit's Wayland connection, which the windows are on; without one they are only hidden.
    explicit WaylandWindows(wl_display* display);

    void hideShownWindow(QWidget& window) override;
    void setTopmost(QWidget& window, bool topmost) override;
    std::unique_ptr<PictureLayer> showPicture(QWidget& window, const PixelBuffer& picture) override;

private:
    wl_display* m_display;
};
