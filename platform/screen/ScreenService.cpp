#include "platform/screen/ScreenService.h"

#include <QSize>
#include <QWidget>

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

ScreenService::ScreenService(std::unique_ptr<WindowHandling> windows)
    : m_windows(windows ? std::move(windows) : std::make_unique<WindowHandling>())
{}

ScreenService::~ScreenService() = default;

void ScreenService::hideWindow(QWidget& window)
{
    if (!window.isVisible() || !window.isWindow()) {
        window.hide();
        return;
    }
    m_windows->hideShownWindow(window);
}

void ScreenService::setTopmost(QWidget& window, bool topmost)
{
    m_windows->setTopmost(window, topmost);
}

void ScreenService::keepOffTaskbar(QWidget& window)
{
    m_windows->keepOffTaskbar(window);
}

std::unique_ptr<PictureLayer> ScreenService::showPicture(QWidget& window, const PixelBuffer& picture)
{
    return m_windows->showPicture(window, picture);
}
