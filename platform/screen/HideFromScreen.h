#pragma once

class QWidget;

// Hides a top-level window and returns once it is off the screen, so that a grab taken next does not find it: the
// X server has unmapped the window and its window manager's frame, and where a compositing manager draws the screen
// (one that may fade a closing window out, for however long), the screen no longer shows it. Waits at most about a
// second. Where the windowing system is not X11 it only hides the window.
void hideFromScreen(QWidget& window);
