#pragma once

#include "capture/OverlayBand.h"
#include "capture/OverlayMapping.h"

#include <QImage>
#include <QRegion>
#include <QSize>

#include <memory>

class Picture;
class PictureLayer;
class QColor;
class QPainter;
class QWidget;
class ScreenService;
class ShapeRect;
struct ScreenObject;

// How the frozen picture and the band reach the screen. The overlay draws them itself: the picture unscaled where the
// toolkit draws at the output's scale, else as a copy at the toolkit's pixels that the compositor scales back. Where
// it would draw a copy, the windowing system may lay the picture over the overlay unscaled instead, and the band on it
// in the same pixels; the overlay is plain under it.
class OverlayPicture {
public:
    OverlayPicture();
    ~OverlayPicture();
    OverlayPicture(const OverlayPicture&) = delete;
    OverlayPicture& operator=(const OverlayPicture&) = delete;

    // `picture` (null: none), `scale` of its pixels a logical pixel, on an overlay drawn at `devicePixelRatio`; read
    // until clear(). A copy, where one is drawn, is made at the first paint.
    void setPicture(const Picture* picture, PictureScale scale, qreal devicePixelRatio);
    // `window`, the overlay, is shown and its first frame not drawn yet: where it would draw a copy, asks `screen` to
    // lay the picture over it; where that is done, the overlay is drawn again, plain.
    void layOver(ScreenService& screen, QWidget& window);
    // Puts the band where `shape` now is; answers the overlay's logical pixels to draw again.
    QRegion follow(const ShapeRect& shape, const ScreenObject& screen, const QColor& colour, qreal devicePixelRatio);
    void paint(QPainter& painter, const QRegion& logicalRegion, qreal devicePixelRatio, const QColor& background,
               const QColor& bandColour);
    // The picture pixels the band is drawn on; empty while it is hidden.
    QRect band() const { return m_band.drawn(); }
    // Forgets the picture and all that shows it.
    void clear();

private:
    const Picture* m_picture = nullptr;
    PictureScale m_scale;
    qreal m_ratio = 1;
    QSize m_viewSize; // of the picture as the overlay draws it
    QImage m_view;
    OverlayBand m_band;
    std::unique_ptr<PictureLayer> m_layer;
};
