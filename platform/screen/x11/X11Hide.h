#pragma once

class QWidget;
struct xcb_connection_t;

// Hides a shown top-level window of the X display that `connection` (the toolkit's own) is open to, and returns once
// it is off the screen: the X server has unmapped the window and its window manager's frame, and where a compositing
// manager draws the screen (one that may fade a closing window out, for however long), the screen no longer shows
// it. Under a compositor the window passes beyond the screen's edge on its way out and is put back where it was, to
// be shown there again. The unmap and every request after it reach the server in this order. Waits at most about a
// second.
void hideX11Window(QWidget& window, xcb_connection_t* connection);
