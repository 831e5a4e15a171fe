#pragma once
// The picture the benchmarks work on in place of a real screen.

#include "imaging/Picture.h"

#include <cstdint>
#include <utility>

namespace bench {

inline std::uint32_t hash(std::uint32_t value)
{
    value ^= value >> 16;
    value *= 0x7feb352d;
    value ^= value >> 15;
    value *= 0x846ca68b;
    return value ^ (value >> 16);
}

// A desktop as an encoder sees it: a flat backdrop with a soft gradient, a dark side panel, window title bars, and
// lines of small dark glyphs on white, made from a hash so that no two neighbouring glyphs repeat. Not noise.
inline Picture syntheticScreen(int width, int height)
{
    PixelBuffer bitmap = PixelBuffer::allocate(width, height, PixelFormat::Bgrx32);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.row(y);
        for (int x = 0; x < width; ++x) {
            std::uint8_t blue = static_cast<std::uint8_t>(120 + 100 * y / height);
            std::uint8_t green = static_cast<std::uint8_t>(80 + 60 * x / width);
            std::uint8_t red = 40;
            if (x < width / 8) {
                blue = 48, green = 40, red = 36;
            } else if (y % 540 < 32) {
                blue = 230, green = 220, red = 210;
            } else if (x > width / 6 && (y % 540) > 40) {
                blue = green = red = 250;
                const int line = y / 18;
                const int column = x / 9;
                const std::uint32_t glyph = hash(static_cast<std::uint32_t>(line * 4096 + column));
                const int gx = x % 9;
                const int gy = y % 18;
                const bool ink =
                    gx < 7 && gy >= 3 && gy < 15 && (glyph & 7) != 0 && ((glyph >> (gx + (gy / 3) * 7)) & 1) != 0;
                if (ink)
                    blue = green = red = static_cast<std::uint8_t>(30 + (glyph >> 28) * 4);
            }
            std::uint8_t* pixel = row + static_cast<std::ptrdiff_t>(x) * 4;
            pixel[0] = blue;
            pixel[1] = green;
            pixel[2] = red;
            pixel[3] = 0;
        }
    }
    return Picture(std::move(bitmap), {});
}

} // namespace bench
