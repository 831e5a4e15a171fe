#include "platform/PointerPosition.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

namespace {

xcb_connection_t* x11Connection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

std::optional<QPoint> queryX11Pointer(xcb_connection_t* connection, QWidget& window)
{
    const auto id = static_cast<xcb_window_t>(window.winId());
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };
    const std::unique_ptr<xcb_query_pointer_reply_t, FreeDeleter> reply(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, id), nullptr));
    if (!reply || !reply->same_screen) {
        return std::nullopt;
    }
    return QPoint(reply->win_x, reply->win_y);
}

// Sees each mouse event on the native window before the widget layer rounds its position.
class PointerTracker final : public QObject {
public:
    static constexpr const char* name = "quosh-pointer-tracker";

    explicit PointerTracker(QWindow* window)
        : QObject(window)
    {
        setObjectName(QLatin1String(name));
        window->installEventFilter(this);
    }
    std::optional<QPointF> position; // logical pixels with their fraction, relative to the window

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
            position = static_cast<QMouseEvent*>(event)->position();
            break;
        default:
            break;
        }
        return false;
    }
};

PointerTracker* trackerOf(const QWidget& window)
{
    QWindow* handle = window.windowHandle();
    if (!handle) {
        return nullptr;
    }
    return static_cast<PointerTracker*>(
        handle->findChild<QObject*>(QLatin1String(PointerTracker::name), Qt::FindDirectChildrenOnly));
}

} // namespace

std::optional<QPoint> devicePointerPosition(QWidget& window)
{
    if (xcb_connection_t* connection = x11Connection()) {
        return window.windowHandle() ? queryX11Pointer(connection, window) : std::nullopt;
    }
    const PointerTracker* tracker = trackerOf(window);
    if (!tracker || !tracker->position) {
        return std::nullopt;
    }
    const QPointF device = *tracker->position * window.windowHandle()->devicePixelRatio();
    return QPoint(static_cast<int>(std::floor(device.x())), static_cast<int>(std::floor(device.y())));
}

void trackPointer(QWidget& window)
{
    if (x11Connection()) {
        return;
    }
    window.winId();
    if (QWindow* handle = window.windowHandle(); handle && !trackerOf(window)) {
        new PointerTracker(handle);
    }
}
