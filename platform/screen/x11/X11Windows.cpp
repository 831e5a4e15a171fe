#include "platform/screen/x11/X11Windows.h"

#include "platform/screen/x11/X11Hide.h"
#include "platform/screen/x11/XcbSupport.h"

#include <QGuiApplication>
#include <QWidget>

#include <cstring>

#include <xcb/xcb.h>

X11Windows::X11Windows(xcb_connection_t* connection, Hide hide)
    : m_connection(connection)
    , m_hide(hide)
{}

xcb_connection_t* X11Windows::connection() const
{
    return m_connection ? m_connection : toolkitX11Connection();
}

void X11Windows::hideShownWindow(QWidget& window)
{
    xcb_connection_t* c = connection();
    if (!c) {
        window.hide();
        return;
    }
    if (m_hide == Hide::Transparent) {
        // XWayland's compositor animates an X11 window's close where the X11 root window cannot show it: drawn
        // transparent first, the window leaves nothing for that animation to draw. The opacity is given back once the
        // window is unmapped, for its next showing.
        window.setWindowOpacity(0.0);
        hideX11Window(window, c);
        window.setWindowOpacity(1.0);
        return;
    }
    hideX11Window(window, c);
}

void X11Windows::keepOffTaskbar(QWidget& window)
{
    if (xcb_connection_t* c = connection()) {
        keepX11WindowOffTaskbar(window, c);
    }
}

xcb_connection_t* toolkitX11Connection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

void keepX11WindowOffTaskbar(QWidget& window, xcb_connection_t* connection)
{
    const auto id = static_cast<xcb_window_t>(window.winId());
    // Asked together: the overlay waits for this on its way to the screen.
    const auto [state, skipTaskbar, skipPager] =
        internAtoms<3>(connection, {"_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"});
    if (state == XCB_ATOM_NONE || skipTaskbar == XCB_ATOM_NONE || skipPager == XCB_ATOM_NONE) {
        return;
    }

    if (!window.isVisible()) {
        // Before the window is mapped the state is a plain property, which the window manager reads on map and
        // which the toolkit extends, not replaces, with its own states.
        const xcb_atom_t atoms[] = {skipTaskbar, skipPager};
        xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 2, atoms);
    } else {
        // A mapped window asks the window manager (_NET_WM_STATE_ADD = 1).
        xcb_client_message_event_t event;
        std::memset(&event, 0, sizeof event);
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = state;
        event.data.data32[0] = 1;
        event.data.data32[1] = skipTaskbar;
        event.data.data32[2] = skipPager;
        event.data.data32[3] = 1; // a normal application
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
    }
    xcb_flush(connection);
}
