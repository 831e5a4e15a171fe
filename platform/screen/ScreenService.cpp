#include "platform/screen/ScreenService.h"

#include <QEventLoop>
#include <QSize>
#include <QTimer>
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

namespace {

// Ends `loop` once `window` is exposed; the expose itself then goes on to the window, which draws at once.
class ExposeWatch : public QObject {
public:
    ExposeWatch(QWindow& window, QEventLoop& loop)
        : m_window(window)
        , m_loop(loop)
    {
        window.installEventFilter(this);
    }
    ~ExposeWatch() override { m_window.removeEventFilter(this); }
    ExposeWatch(const ExposeWatch&) = delete;
    ExposeWatch& operator=(const ExposeWatch&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_window && event->type() == QEvent::Expose) {
            m_loop.quit();
        }
        return false;
    }

private:
    QWindow& m_window;
    QEventLoop& m_loop;
};

} // namespace

void ScreenService::showWindow(QWidget& window)
{
    // show() alone leaves a window that stayed visible under another where it is.
    window.show();
    window.raise();
    window.activateWindow();
    QWindow* handle = window.windowHandle();
    if (!handle || handle->isExposed()) {
        return;
    }
    // The windowing system may take its time (a window manager's round trip, a compositor under load); no input is
    // taken meanwhile, so no handler of the user's runs inside.
    QEventLoop loop;
    const ExposeWatch watch(*handle, loop);
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
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
