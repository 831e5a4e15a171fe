#pragma once

#include "platform/screen/WindowHandling.h"

class QWidget;
struct xcb_connection_t;

// The program's windows on an X display: hidden until the X server has unmapped them and their frames and any
// compositing manager has drawn the screen without them, stacked through the toolkit's flags like any X11 window, and
// kept off the taskbar through the window manager.
class X11Windows final : public WindowHandling {
public:
    enum class Hide {
        Shown,       // as they are
        Transparent, // made transparent first: for XWayland, whose compositor animates a close that X cannot see
    };

    // `connection` is the toolkit's own, which the windows are on; null: the toolkit's connection as it is at each
    // call, for a screen read over a connection of its own (with none, the windows are only hidden).
    explicit X11Windows(xcb_connection_t* connection, Hide hide = Hide::Shown);

    void hideShownWindow(QWidget& window) override;
    void keepOffTaskbar(QWidget& window) override;

private:
    xcb_connection_t* connection() const;

    xcb_connection_t* m_connection;
    Hide m_hide;
};

// The toolkit's own X11 connection, or null where the toolkit is not on X11.
xcb_connection_t* toolkitX11Connection();

// Asks the window manager to leave a top-level window of the toolkit's connection `connection` out of the taskbar and
// the pager. Creates the native window when it does not exist yet; works before and after the window is shown.
void keepX11WindowOffTaskbar(QWidget& window, xcb_connection_t* connection);
