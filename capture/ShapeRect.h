#pragma once

#include <QRect>
#include <QRegion>

#include <QtGlobal>

// The rubber band shRect: a rectangle in twips drawn as a one-pixel border with no fill. Holds only numbers; the
// overlay draws it and decides when to repaint.
class ShapeRect {
public:
    // twips; where the band sits before anything moves it
    float Left = 840;
    float Top = 1200;
    float Width = 195;
    float Height = 195;
    bool Visible = false;

    // The device pixels the band covers: its twips divided by the twips in one pixel, each rounded to the nearest
    // whole pixel with a half going to the even neighbour, as the crop rounds them. A hidden band covers nothing,
    // and so does a band without width or height: it encloses no pixel, and its corner may still be where an
    // earlier move left it.
    QRect devicePixels(float twipsPerPixelX, float twipsPerPixelY) const;

    // The pixels a border drawn around `rect` paints: its outermost rows and columns.
    static QRegion border(const QRect& rect);

    // What changes on screen when the band moves from `before` to `after` (device pixels): the old border and the
    // new one, and nothing inside either.
    static QRegion dirtyRegion(const QRect& before, const QRect& after);
};

// Rounds to the nearest integer, a half to the even neighbour, into a signed 16-bit integer. Throws Failure
// ("Overflow") when the result does not fit.
qint16 roundToInt16(double value);
