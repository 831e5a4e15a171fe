#pragma once

#include <QSize>

struct xcb_connection_t;

// The size of the first screen's root window, which XWayland keeps at the desktop's true logical size; invalid when
// the server does not say.
QSize rootWindowSize(xcb_connection_t* connection);
