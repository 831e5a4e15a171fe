#include "platform/screen/x11/SyncRepaint.h"

#include "platform/screen/x11/XcbSupport.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QPointer>
#include <QSet>
#include <QWidget>

namespace {

class SyncRepaint final : public QAbstractNativeEventFilter {
public:
    SyncRepaint(xcb_atom_t protocols, xcb_atom_t syncRequest)
        : m_protocols(protocols)
        , m_syncRequest(syncRequest)
    {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) override
    {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
            const auto* request = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (request->type == m_protocols && request->format == 32 && request->data.data32[0] == m_syncRequest) {
                m_requested.insert(request->window);
            }
            break;
        }
        case XCB_CONFIGURE_NOTIFY: {
            // Both the X server's notification and the window manager's own one count; the first after the
            // request completes what the toolkit waits for. The toolkit handles it after this filter, so the
            // frame is asked for from the event loop.
            const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (configure->event == configure->window && m_requested.remove(configure->window)) {
                repaintLater(configure->window);
            }
            break;
        }
        default:
            break;
        }
        return false;
    }

private:
    static void repaintLater(xcb_window_t window)
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->internalWinId() == window) {
                QMetaObject::invokeMethod(
                    widget,
                    [guarded = QPointer<QWidget>(widget)] {
                        if (guarded && guarded->isVisible()) {
                            guarded->update();
                        }
                    },
                    Qt::QueuedConnection);
                return;
            }
        }
    }

    xcb_atom_t m_protocols;
    xcb_atom_t m_syncRequest;
    QSet<xcb_window_t> m_requested;
};

} // namespace

void answerWindowManagerSync(xcb_connection_t* connection)
{
    static SyncRepaint* installed = nullptr;
    if (installed || !connection || !qApp) {
        return;
    }
    const auto [protocols, syncRequest] = internAtoms<2>(connection, {"WM_PROTOCOLS", "_NET_WM_SYNC_REQUEST"});
    if (protocols == XCB_ATOM_NONE || syncRequest == XCB_ATOM_NONE) {
        return;
    }
    // Lives as long as the application, which removes its filters as it ends.
    installed = new SyncRepaint(protocols, syncRequest);
    qApp->installNativeEventFilter(installed);
}
