#pragma once

#include "platform/screen/PictureLayer.h"

#include <memory>

class PixelBuffer;
class QWidget;

// The program's own top-level windows, as a windowing system lets them be handled. This one does it the toolkit's
// ways, which know no compositor: a hide that does not wait, stacking through the window's flags, and no word to a
// taskbar. The windowing systems that know better are told apart once, at start-up, and never asked again.
class WindowHandling {
public:
    virtual ~WindowHandling() = default;
    // Hides a shown top-level window and returns once it is off the screen, so that a grab taken next does not find
    // it.
    virtual void hideShownWindow(QWidget& window);
    // Puts a window above every window that is not topmost, or back among them, without re-creating it (the window
    // keeps its identity, its position and its mapped state).
    virtual void setTopmost(QWidget& window, bool topmost);
    // Asks that a window be left out of the taskbar and the pager, before or after it is shown.
    virtual void keepOffTaskbar(QWidget& /*window*/) {}
    // Lays `picture`, in the output's own pixels, unscaled over the whole of `window` (shown, its first frame not yet
    // drawn), where the windowing system can show it beside the toolkit's drawing; null where it cannot, and the
    // window draws the picture itself.
    virtual std::unique_ptr<PictureLayer> showPicture(QWidget& /*window*/, const PixelBuffer& /*picture*/)
    {
        return nullptr;
    }
};
