#pragma once

#include <QPoint>

#include <optional>

class QWidget;

// Where the pointer is now, in device pixels relative to the window's top-left corner, as the windowing system
// knows it; nothing where it cannot tell. Mouse events carry logical positions that the toolkit has rounded to
// whole logical pixels, which at a fractional or double scale no longer names one device pixel.
//
// On X11 the server is asked. Elsewhere (Wayland) the answer is the position of the latest mouse event that the
// window itself received, which still has its sub-pixel part; trackPointer() must have been called for the window
// before that event.
std::optional<QPoint> devicePointerPosition(QWidget& window);

// Starts keeping the window's latest exact mouse position (it creates the native window). Does nothing on X11, or
// when it already runs for the window.
void trackPointer(QWidget& window);
