#pragma once

#include <QRect>
#include <QRegion>

class QSize;
class ShapeRect;
struct ScreenObject;

// Where the rubber band is drawn. The handlers move shRect in twips; the band is drawn on the device pixels those
// twips cover in the frozen picture, and on the same pixels of the overlay's view of the picture, which is a copy at
// the toolkit's pixels where the toolkit does not draw at the output's scale.
class OverlayBand {
public:
    // Puts the band where `shape` now is, on a picture `picture` pixels large (empty: no picture) shown as a view
    // `view` pixels large. Answers the view's pixels whose paint changes: the old border and the new one.
    QRegion follow(const ShapeRect& shape, const ScreenObject& screen, const QSize& picture, const QSize& view);

    // Whether a band read as `width` by `height` pixels is too small to cut: under 2 whole pixels either way, rounded
    // as the clip rounds them, since at a twips-per-pixel that is not exact in binary (8.5714 at a scale of 1.75) a
    // band drawn 2 pixels wide reads 1.9999998.
    static bool isTooSmallToCut(float width, float height);

    // Picture pixels; empty while the band is hidden or encloses no pixel.
    QRect drawn() const { return m_drawn; }
    // The same pixels on the view.
    QRect viewed() const { return m_viewed; }

private:
    QRect m_drawn;
    QRect m_viewed;
};
