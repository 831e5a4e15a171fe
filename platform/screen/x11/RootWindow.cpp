#include "platform/screen/x11/RootWindow.h"

#include <xcb/xcb.h>

#include <cstdlib>

QSize rootWindowSize(xcb_connection_t* connection)
{
    const xcb_screen_t* screen = connection ? xcb_setup_roots_iterator(xcb_get_setup(connection)).data : nullptr;
    if (!screen) {
        return {};
    }
    // Asked each time: the size in the connection's setup is the one the server had when the connection was made.
    xcb_get_geometry_reply_t* reply =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, screen->root), nullptr);
    const QSize size = reply ? QSize(reply->width, reply->height) : QSize();
    std::free(reply);
    return size;
}
