#pragma once

#include <QRect>
#include <QRegion>
#include <QSize>
#include <QtGlobal>

class QColor;
class QImage;
class QPainter;
class QScreen;
struct ScreenMetrics;

// How the overlay's window events and pixels map onto its handlers and its picture.

// Pixels of the frozen picture per logical pixel of the overlay, across and down: the screen's own scale, which the
// toolkit need not draw at (Qt before 6.5 draws a fractional Wayland scale at the next whole one, and XWayland
// windows at 1).
struct PictureScale {
    double x = 1.0;
    double y = 1.0;
};

PictureScale pictureScaleOf(const ScreenMetrics& metrics);

// The frozen picture as the overlay draws it, in the overlay's device pixels (`devicePixelRatio` of them per logical
// pixel): the picture itself where its pixels are those, give or take the one pixel a side may lose to a
// compositor's rounding; else a smooth copy at the overlay's pixels, which the compositor scales back onto the
// output's. The file is always cut from the picture itself.
QImage overlayViewOf(const QImage& picture, PictureScale scale, qreal devicePixelRatio);
// The size of that view of a picture `picture` pixels large: the picture's own where it is drawn itself.
QSize overlayViewSize(const QSize& picture, PictureScale scale, qreal devicePixelRatio);

// The handler's Button value: 1 left, 2 right, 4 middle, added up for several; 0 for buttons it does not know.
qint16 mouseButtonCode(Qt::MouseButtons buttons);

// The handler's Shift value: 1 Shift, 2 Ctrl, 4 Alt, added up.
qint16 shiftKeyCode(Qt::KeyboardModifiers modifiers);

// The device pixels that a rectangle in logical pixels touches, rounded outwards.
QRect devicePixelsOf(const QRect& logical, qreal devicePixelRatio);

// A rectangle in logical pixels that covers a rectangle of device pixels, with a logical pixel to spare on every
// side, so that the toolkit's own rounding at fractional scales never leaves a stale device pixel unpainted.
QRect logicalCoverOf(const QRect& device, qreal devicePixelRatio);

// The same for every rectangle of a region of device pixels.
QRegion logicalCoverOf(const QRegion& device, qreal devicePixelRatio);

// Paints the part of the overlay in `logicalRegion`: the picture unscaled, one picture pixel on one device pixel,
// `background` where the picture does not reach, and the band's one-pixel border (device pixels) over both.
void paintOverlay(QPainter& painter, const QRegion& logicalRegion, qreal devicePixelRatio, const QImage& picture,
                  const QRect& band, const QColor& background, const QColor& bandColour);

// The toolkit's own view of a screen, in the screen service's terms; the defaults when there is no screen.
ScreenMetrics toolkitMetrics(const QScreen* screen);
