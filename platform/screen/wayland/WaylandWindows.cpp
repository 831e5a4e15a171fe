#include "platform/screen/wayland/WaylandWindows.h"

#include "platform/screen/wayland/PictureSurface.h"
#include "platform/screen/wayland/WaylandHide.h"

#include <QWidget>

WaylandWindows::WaylandWindows(wl_display* display)
    : m_display(display)
{}

void WaylandWindows::hideShownWindow(QWidget& window)
{
    if (wl_surface* surface = m_display ? toolkitWaylandSurface(window) : nullptr) {
        hideWaylandWindow(window, m_display, surface);
        return;
    }
    window.hide();
}

void WaylandWindows::setTopmost(QWidget& /*window*/, bool /*topmost*/) {}

std::unique_ptr<PictureLayer> WaylandWindows::showPicture(QWidget& window, const PixelBuffer& picture)
{
    wl_surface* surface = m_display ? toolkitWaylandSurface(window) : nullptr;
    if (!surface) {
        return nullptr;
    }
    return PictureSurface::create(m_display, surface, window.size(), picture);
}
