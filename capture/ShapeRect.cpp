#include "capture/ShapeRect.h"

#include "platform/errors/Failure.h"

#include <algorithm>
#include <cmath>
#include <limits>

qint16 roundToInt16(double value)
{
    // nearbyint follows the default rounding mode, which rounds a half to the even neighbour.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= std::numeric_limits<qint16>::min() && rounded <= std::numeric_limits<qint16>::max())) {
        throw Failure(QStringLiteral("Overflow"));
    }
    return static_cast<qint16>(rounded);
}

namespace {

// Like roundToInt16 but for drawing only: never fails, and keeps far-off values far off.
int roundedPixels(double value)
{
    const double rounded = std::nearbyint(value);
    return static_cast<int>(std::clamp(rounded, -1.0e6, 1.0e6));
}

} // namespace

QRect ShapeRect::devicePixels(float twipsPerPixelX, float twipsPerPixelY) const
{
    if (!Visible || twipsPerPixelX <= 0 || twipsPerPixelY <= 0) {
        return {};
    }
    // Divided in single precision, as the crop reads the band in pixels, so that both round alike.
    const int x = roundedPixels(Left / twipsPerPixelX);
    const int y = roundedPixels(Top / twipsPerPixelY);
    const int width = roundedPixels(Width / twipsPerPixelX);
    const int height = roundedPixels(Height / twipsPerPixelY);
    if (width <= 0 || height <= 0) {
        return {};
    }
    return QRect(x, y, width, height);
}

QRegion ShapeRect::border(const QRect& rect)
{
    if (rect.isEmpty()) {
        return {};
    }
    if (rect.width() <= 2 || rect.height() <= 2) {
        return QRegion(rect);
    }
    QRegion region(rect.x(), rect.y(), rect.width(), 1);
    region += QRect(rect.x(), rect.bottom(), rect.width(), 1);
    region += QRect(rect.x(), rect.y() + 1, 1, rect.height() - 2);
    region += QRect(rect.right(), rect.y() + 1, 1, rect.height() - 2);
    return region;
}

QRegion ShapeRect::dirtyRegion(const QRect& before, const QRect& after)
{
    if (before == after) {
        return {};
    }
    return border(before) + border(after);
}
