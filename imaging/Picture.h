#pragma once

#include "platform/screen/PixelBuffer.h"

#include <QImage>

#include <vector>

// A grabbed or clipped picture: pixels in the screen's own format and, on a palette display, the 256 palette
// entries in effect when it was taken (empty otherwise). Owns both.
class Picture {
public:
    Picture(PixelBuffer bitmap, std::vector<PaletteEntry> palette);

    int width() const { return m_bitmap.width(); }
    int height() const { return m_bitmap.height(); }
    const PixelBuffer& bitmap() const { return m_bitmap; }
    const std::vector<PaletteEntry>& palette() const { return m_palette; }
    PixelBuffer& bitmap() { return m_bitmap; }

    // A QImage over the same pixels, without a copy; valid while this picture lives.
    QImage view() const;

private:
    PixelBuffer m_bitmap;
    std::vector<PaletteEntry> m_palette;
};
