#include "imaging/modCapture.h"

#include "platform/screen/ScreenService.h"

#include <cmath>
#include <cstdint>

namespace {

// Twips in one device pixel: 1440 twips make an inch, and an inch holds logical DPI x device pixel ratio device
// pixels.
double twipsPerPixel(double logicalDpi, double devicePixelRatio)
{
    return 1440.0 / (logicalDpi * devicePixelRatio);
}

} // namespace

ScreenObject screenObject(const ScreenMetrics& metrics)
{
    const double perPixelX = twipsPerPixel(metrics.logicalDpiX, metrics.devicePixelRatio);
    const double perPixelY = twipsPerPixel(metrics.logicalDpiY, metrics.ratioY());
    ScreenObject screen;
    screen.Width = static_cast<float>(metrics.deviceGeometry.width() * perPixelX);
    screen.Height = static_cast<float>(metrics.deviceGeometry.height() * perPixelY);
    screen.TwipsPerPixelX = static_cast<float>(perPixelX);
    screen.TwipsPerPixelY = static_cast<float>(perPixelY);
    return screen;
}

namespace {

// The integer division of the screen object: both operands rounded to the nearest whole number, a half to the even
// neighbour (the default rounding mode), and the quotient truncated toward zero.
std::int64_t integerDivide(float dividend, float divisor)
{
    const auto a = static_cast<std::int64_t>(std::nearbyint(dividend));
    const auto b = static_cast<std::int64_t>(std::nearbyint(divisor));
    return a / b;
}

// Pixels along one side. Rounding a fractional factor (7.5 twips at a device pixel ratio of 2) would grab a
// part of the screen, 15/16 of it at that ratio; there the device size is the answer. With a whole factor the
// division is exact and gives the device size too.
int pixelsAlong(float twips, float perPixel, int devicePixels)
{
    if (perPixel != std::trunc(perPixel) || perPixel < 1) {
        return devicePixels;
    }
    return static_cast<int>(integerDivide(twips, perPixel));
}

} // namespace

ScreenObject screenObject(ScreenService& screen)
{
    return screenObject(screen.metrics());
}

std::unique_ptr<Picture> GrabScreen(ScreenService& screen)
{
    const ScreenMetrics metrics = screen.metrics();
    const ScreenObject object = screenObject(metrics);
    const int width = pixelsAlong(object.Width, object.TwipsPerPixelX, metrics.deviceGeometry.width());
    const int height = pixelsAlong(object.Height, object.TwipsPerPixelY, metrics.deviceGeometry.height());
    return GrabWindowArea(screen, 0, 0, width, height);
}

std::unique_ptr<Picture> GrabWindowArea(ScreenService& screen, int left, int top, int width, int height)
{
    ScreenPixels pixels = screen.grabArea(left, top, width, height);
    return PictureFromBitmap(std::move(pixels.bitmap), std::move(pixels.palette));
}

std::unique_ptr<Picture> PictureFromBitmap(PixelBuffer bitmap, std::vector<PaletteEntry> palette)
{
    return std::make_unique<Picture>(std::move(bitmap), std::move(palette));
}
