#pragma once

#include <QRect>
#include <QtGlobal>

// How the overlay's window events and pixels map onto its handlers and its picture.

// The handler's Button value: 1 left, 2 right, 4 middle, added up for several; 0 for buttons it does not know.
qint16 mouseButtonCode(Qt::MouseButtons buttons);

// The handler's Shift value: 1 Shift, 2 Ctrl, 4 Alt, added up.
qint16 shiftKeyCode(Qt::KeyboardModifiers modifiers);

// The device pixels that a rectangle in logical pixels touches, rounded outwards.
QRect devicePixelsOf(const QRect& logical, qreal devicePixelRatio);

// A rectangle in logical pixels that covers a rectangle of device pixels, with a logical pixel to spare on every
// side, so that the toolkit's own rounding at fractional scales never leaves a stale device pixel unpainted.
QRect logicalCoverOf(const QRect& device, qreal devicePixelRatio);
