#include "platform/screen/HideFromScreen.h"

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
        hideX11Window(window, x11->connection());
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
