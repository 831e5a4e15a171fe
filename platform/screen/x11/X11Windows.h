#pragma once

class QWidget;
struct xcb_connection_t;

// The toolkit's own X11 connection, or null where the toolkit is not on X11.
xcb_connection_t* toolkitX11Connection();

// Asks the window manager to leave a top-level window of the toolkit's connection `connection` out of the taskbar and
// the pager. Creates the native window when it does not exist yet; works before and after the window is shown.
void keepX11WindowOffTaskbar(QWidget& window, xcb_connection_t* connection);
