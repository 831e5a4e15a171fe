#include "capture/OverlayBand.h"

#include "capture/ShapeRect.h"
#include "imaging/modCapture.h"
#include "platform/screen/ScreenService.h"

#include <QSize>

#include <cmath>

QRegion OverlayBand::follow(const ShapeRect& shape, const ScreenObject& screen, const QSize& picture, const QSize& view)
{
    m_drawn = shape.devicePixels(screen.TwipsPerPixelX, screen.TwipsPerPixelY);
    const QRect viewed = m_drawn.isEmpty() ? m_drawn : scaledEdges(m_drawn, picture, view);
    QRegion dirty = ShapeRect::dirtyRegion(m_viewed, viewed);
    m_viewed = viewed;
    return dirty;
}

bool OverlayBand::isTooSmallToCut(float width, float height)
{
    return std::nearbyint(width) < 2 || std::nearbyint(height) < 2;
}
