#pragma once

struct xcb_connection_t;

// Makes every top-level window of the toolkit's X11 connection `connection` answer the window manager's frame
// synchronisation (_NET_WM_SYNC_REQUEST) at once, also when the configure that follows the request changes nothing
// that needs drawing. Installed once; later calls do nothing.
//
// The toolkit sets the window's counter only when it flushes a frame after both the request and the configure. The
// overlay asks for the whole screen before it is mapped, so the window manager's configure brings it nothing new to
// draw, and KWin (also as XWayland's window manager) then holds the window's first frame back for its own time-out,
// a second: the overlay shows late, and the pointer keeps going to the window that was under it before, where the
// user's drag is lost.
void answerWindowManagerSync(xcb_connection_t* connection);
