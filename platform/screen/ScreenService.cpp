#include "platform/screen/ScreenService.h"

#include <QSize>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>

QRect scaledEdges(const QRect& rect, const QSize& from, const QSize& to)
{
    if (from == to || from.isEmpty()) {
        return rect;
    }
    const auto edge = [](int at, int fromPixels, int toPixels) {
        return static_cast<int>(std::lround(static_cast<double>(at) * toPixels / fromPixels));
    };
    const int x0 = edge(rect.x(), from.width(), to.width());
    const int y0 = edge(rect.y(), from.height(), to.height());
    const int x1 = edge(rect.x() + rect.width(), from.width(), to.width());
    const int y1 = edge(rect.y() + rect.height(), from.height(), to.height());
    return QRect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0));
}

void ScreenService::hideWindow(QWidget& window)
{
    if (!window.isVisible() || !window.isWindow()) {
        window.hide();
        return;
    }
    hideShownWindow(window);
}

void ScreenService::hideShownWindow(QWidget& window)
{
    window.hide();
}

void ScreenService::setTopmost(QWidget& window, bool topmost)
{
    Qt::WindowFlags flags = window.windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, topmost);
    // setWindowFlags() would destroy and re-create the native window; these two only change its hints.
    window.overrideWindowFlags(flags);
    if (QWindow* handle = window.windowHandle()) {
        handle->setFlags(flags);
    }
    if (topmost) {
        window.raise();
    }
}
