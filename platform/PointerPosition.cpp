#include "platform/PointerPosition.h"

#include <QGuiApplication>
#include <QWidget>

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

std::optional<QPoint> devicePointerPosition(QWidget& window)
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection() || !window.windowHandle()) {
        return std::nullopt;
    }
    xcb_connection_t* connection = x11->connection();
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
