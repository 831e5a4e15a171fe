#pragma once

#include <QPoint>

#include <optional>

class QWidget;

// Where the pointer is now, in device pixels relative to the window's top-left corner, as the windowing system
// knows it; nothing where it cannot tell. Mouse events carry logical positions that the toolkit has rounded to
// whole logical pixels, which at a fractional or double scale no longer names one device pixel.
std::optional<QPoint> devicePointerPosition(QWidget& window);
