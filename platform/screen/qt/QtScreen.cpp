#include "platform/screen/qt/QtScreen.h"

#include "platform/errors/Failure.h"
#include "platform/screen/ImageStorage.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cmath>

namespace {

QScreen* primaryScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        throw Failure(QStringLiteral("Cannot read the screen: there is no screen"));
    }
    return screen;
}

} // namespace

ScreenMetrics QtScreen::metrics()
{
    const QScreen* screen = primaryScreen();
    const double ratio = screen->devicePixelRatio();
    const QRect logical = screen->geometry();
    ScreenMetrics metrics;
    metrics.deviceGeometry =
        QRect(static_cast<int>(std::lround(logical.x() * ratio)), static_cast<int>(std::lround(logical.y() * ratio)),
              static_cast<int>(std::lround(logical.width() * ratio)),
              static_cast<int>(std::lround(logical.height() * ratio)));
    metrics.logicalDpiX = screen->logicalDotsPerInchX();
    metrics.logicalDpiY = screen->logicalDotsPerInchY();
    metrics.devicePixelRatio = ratio;
    return metrics;
}

ScreenPixels QtScreen::grabArea(int left, int top, int width, int height)
{
    if (width <= 0 || height <= 0) {
        throw Failure(
            QStringLiteral("Cannot read the screen: an area of %1 x %2 pixels is empty").arg(width).arg(height));
    }
    // The whole screen in device pixels, whatever the scale; the area is cut from it.
    QImage image = primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        throw Failure(QStringLiteral("Cannot read the screen: the windowing system gave no picture"));
    }
    const QRect area(left, top, width, height);
    if (!image.rect().contains(area)) {
        throw Failure(QStringLiteral("Cannot read the screen: the area of %1 x %2 pixels at (%3, %4) is not on the "
                                     "screen")
                          .arg(width)
                          .arg(height)
                          .arg(left)
                          .arg(top));
    }
    if (area != image.rect()) {
        image = image.copy(area);
    }
    const int stride = static_cast<int>(image.bytesPerLine());
    ScreenPixels pixels;
    pixels.bitmap =
        PixelBuffer(width, height, PixelFormat::Bgrx32, stride, std::make_unique<ImageStorage>(std::move(image)));
    return pixels;
}
