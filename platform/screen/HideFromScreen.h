#pragma once

class QWidget;

// Hides a top-level window and returns once it is off the screen, so that a grab taken next does not find it. On
// X11 the X server has unmapped the window and its window manager's frame, and where a compositing manager draws the
// screen (one that may fade a closing window out, for however long), the screen no longer shows it. On Wayland the
// compositor has drawn a frame without the window's picture and taken its unmap. Waits at most about a second on
// X11, two on Wayland. Elsewhere it only hides the window.
void hideFromScreen(QWidget& window);
