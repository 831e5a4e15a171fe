#include "capture/OverlayMapping.h"

#include "capture/ShapeRect.h"
#include "platform/screen/ScreenService.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QTransform>

#include <cmath>

qint16 mouseButtonCode(Qt::MouseButtons buttons)
{
    qint16 code = 0;
    if (buttons & Qt::LeftButton) {
        code |= 1;
    }
    if (buttons & Qt::RightButton) {
        code |= 2;
    }
    if (buttons & Qt::MiddleButton) {
        code |= 4;
    }
    return code;
}

qint16 shiftKeyCode(Qt::KeyboardModifiers modifiers)
{
    qint16 code = 0;
    if (modifiers & Qt::ShiftModifier) {
        code |= 1;
    }
    if (modifiers & Qt::ControlModifier) {
        code |= 2;
    }
    if (modifiers & Qt::AltModifier) {
        code |= 4;
    }
    return code;
}

QRect devicePixelsOf(const QRect& logical, qreal devicePixelRatio)
{
    const auto left = static_cast<int>(std::floor(logical.x() * devicePixelRatio));
    const auto top = static_cast<int>(std::floor(logical.y() * devicePixelRatio));
    const auto right = static_cast<int>(std::ceil((logical.x() + logical.width()) * devicePixelRatio));
    const auto bottom = static_cast<int>(std::ceil((logical.y() + logical.height()) * devicePixelRatio));
    return QRect(left, top, right - left, bottom - top);
}

QRect logicalCoverOf(const QRect& device, qreal devicePixelRatio)
{
    const auto left = static_cast<int>(std::floor(device.x() / devicePixelRatio)) - 1;
    const auto top = static_cast<int>(std::floor(device.y() / devicePixelRatio)) - 1;
    const auto right = static_cast<int>(std::ceil((device.x() + device.width()) / devicePixelRatio)) + 1;
    const auto bottom = static_cast<int>(std::ceil((device.y() + device.height()) / devicePixelRatio)) + 1;
    return QRect(left, top, right - left, bottom - top);
}

QRegion logicalCoverOf(const QRegion& device, qreal devicePixelRatio)
{
    QRegion logical;
    for (const QRect& rect : device) {
        logical += logicalCoverOf(rect, devicePixelRatio);
    }
    return logical;
}

void paintOverlay(QPainter& painter, const QRegion& logicalRegion, qreal devicePixelRatio, const QImage& picture,
                  const QRect& band, const QColor& background, const QColor& bandColour)
{
    // From here on one unit is one device pixel, so that the picture lands unscaled and the band is one pixel wide.
    painter.setWorldTransform(QTransform::fromScale(1 / devicePixelRatio, 1 / devicePixelRatio));
    for (const QRect& logical : logicalRegion) {
        const QRect device = devicePixelsOf(logical, devicePixelRatio);
        const QRect covered = device & picture.rect();
        if (!covered.isEmpty()) {
            painter.drawImage(covered.topLeft(), picture, covered);
        }
        for (const QRect& rest : QRegion(device) - QRegion(covered)) {
            painter.fillRect(rest, background);
        }
    }
    for (const QRect& strip : ShapeRect::border(band)) {
        painter.fillRect(strip, bandColour);
    }
}

PictureScale pictureScaleOf(const ScreenMetrics& metrics)
{
    return {metrics.devicePixelRatio, metrics.ratioY()};
}

QSize overlayViewSize(const QSize& picture, PictureScale scale, qreal devicePixelRatio)
{
    const QSize view(static_cast<int>(std::lround(picture.width() * devicePixelRatio / scale.x)),
                     static_cast<int>(std::lround(picture.height() * devicePixelRatio / scale.y)));
    if (picture.isEmpty() || view.isEmpty() ||
        (std::abs(view.width() - picture.width()) <= 1 && std::abs(view.height() - picture.height()) <= 1)) {
        return picture;
    }
    return view;
}

QImage overlayViewOf(const QImage& picture, PictureScale scale, qreal devicePixelRatio)
{
    const QSize view = overlayViewSize(picture.size(), scale, devicePixelRatio);
    if (view == picture.size()) {
        return picture;
    }
    return picture.scaled(view, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

ScreenMetrics toolkitMetrics(const QScreen* screen)
{
    ScreenMetrics metrics;
    if (screen) {
        metrics.deviceGeometry = QRect(QPoint(), screen->size() * screen->devicePixelRatio());
        metrics.logicalDpiX = screen->logicalDotsPerInchX();
        metrics.logicalDpiY = screen->logicalDotsPerInchY();
        metrics.devicePixelRatio = screen->devicePixelRatio();
    }
    return metrics;
}
