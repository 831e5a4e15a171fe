#pragma once

class QWidget;

// Bringing the overlay's window onto the screen.

// Puts `window` over the whole primary screen, where there is one.
void placeOnPrimaryScreen(QWidget& window);

// Draws the buffer of `window`, made and not shown yet, once, so that a full-screen buffer comes into memory, page by
// page, before the first paint rather than in it. False when the window has no buffer.
bool drawBufferAhead(QWidget& window);

// Gives `window` the program icon's large sizes as soon as the event loop is free, unless its icon has been taken
// away by then. Called once the window is on the screen: on its way there they would hold it up.
void addLargeIconSizesSoon(QWidget& window);
