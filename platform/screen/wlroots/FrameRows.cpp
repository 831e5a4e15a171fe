#include "platform/screen/wlroots/FrameRows.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include <wayland-client.h>

namespace {

// Far beyond any output, and small enough that a row's bytes times the rows stay within an int.
constexpr qint64 maxFrameBytes = 512LL * 1024 * 1024;

} // namespace

QString screencopyFrameProblem(std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride)
{
    switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
        break;
    default:
        return QStringLiteral("offered the output's frame in a pixel format this program does not read (%1)")
            .arg(format, 8, 16, QLatin1Char('0'));
    }
    // Divided, not multiplied: the compositor's numbers may be anything.
    if (width == 0 || height == 0 || qint64{stride} < qint64{width} * 4 || height > maxFrameBytes / stride) {
        return QStringLiteral("described an impossible frame of %1 x %2 pixels, %3 bytes a row")
            .arg(width)
            .arg(height)
            .arg(stride);
    }
    return {};
}

void orderFrameRows(std::uint8_t* rows, int width, int height, int stride, std::uint32_t format, bool yInverted)
{
    if (yInverted) {
        std::vector<std::uint8_t> spare(static_cast<std::size_t>(width) * 4);
        for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
            std::uint8_t* a = rows + static_cast<std::ptrdiff_t>(top) * stride;
            std::uint8_t* b = rows + static_cast<std::ptrdiff_t>(bottom) * stride;
            std::memcpy(spare.data(), a, spare.size());
            std::memcpy(a, b, spare.size());
            std::memcpy(b, spare.data(), spare.size());
        }
    }
    if (format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888) {
        for (int y = 0; y < height; ++y) {
            std::uint8_t* pixel = rows + static_cast<std::ptrdiff_t>(y) * stride;
            for (int x = 0; x < width; ++x, pixel += 4) {
                std::swap(pixel[0], pixel[2]);
            }
        }
    }
}
