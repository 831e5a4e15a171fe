#include "platform/screen/HideFromScreen.h"

#include "platform/screen/Screens.h"
#include "platform/screen/wayland/WaylandHide.h"
#include "platform/screen/x11/X11Hide.h"

#include <QGuiApplication>
#include <QWidget>

void hideFromScreen(QWidget& window)
{
    if (!window.isVisible() || !window.isWindow()) {
        window.hide();
        return;
    }
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 && x11->connection()) {
        // Through XWayland the desktop's compositor animates the window's close where the X11 root window cannot
        // show it: drawn transparent first, the window leaves nothing for that animation to draw. The opacity is
        // given back once the window is unmapped, for its next showing.
        const bool throughXWayland = isXWayland();
        if (throughXWayland) {
            window.setWindowOpacity(0.0);
        }
        hideX11Window(window, x11->connection());
        if (throughXWayland) {
            window.setWindowOpacity(1.0);
        }
        return;
    }
    wl_display* display = toolkitWaylandDisplay();
    wl_surface* surface = display ? toolkitWaylandSurface(window) : nullptr;
    if (surface) {
        hideWaylandWindow(window, display, surface);
        return;
    }
    window.hide();
}
