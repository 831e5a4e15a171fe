#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// The row filters of an 8-bit RGB or RGBA PNG that is not interlaced undone in the same pass that puts the pixels into
// the picture's order, B, G, R and 0xff (QImage::Format_RGB32): row after row from the top, each written straight
// into the picture.
class PngRows {
public:
    // `channels`: 3 for RGB, 4 for RGBA.
    PngRows(int channels, std::size_t width);
    // False when there was no memory for the blank row above the first.
    bool isValid() const { return m_blank != nullptr; }
    // The bytes of a row in the file: its filter type, then its pixels.
    std::size_t lineBytes() const;
    // Decodes `count` rows from the file's `lines`, one after the other, into the picture's rows from `out` on,
    // `stride` bytes apart; each takes the one decoded before it for the row above. The byte after the last line is
    // read, never used. How many rows were decoded: fewer than `count` when the next has an unknown filter type.
    std::size_t decode(const std::uint8_t* lines, std::size_t count, std::uint8_t* out, std::ptrdiff_t stride);

private:
    struct Free {
        void operator()(std::uint8_t* bytes) const { std::free(bytes); }
    };

    int m_channels;
    std::size_t m_width;
    // Zeros for the first row's filter: they take no memory of their own until they are read.
    std::unique_ptr<std::uint8_t, Free> m_blank;
    const std::uint8_t* m_above;
};
