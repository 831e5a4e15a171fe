#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Pixel layouts as the screen holds them; nothing is converted on the way in.
enum class PixelFormat {
    Bgrx32,   // depth 24 and 32: B, G, R, unused, one byte each
    Rgb565,   // depth 16: little-endian 5-6-5
    Indexed8, // depth 8: one palette index a pixel
};

int bytesPerPixel(PixelFormat format);

struct PaletteEntry {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::uint8_t flags = 0;
    bool operator==(const PaletteEntry&) const = default;
};

// A block of pixel memory that frees itself, whatever it came from (the heap or a shared-memory segment).
class PixelStorage {
public:
    virtual ~PixelStorage() = default;
    virtual std::uint8_t* data() = 0;
};

// Width x height pixels, rows `stride` bytes apart, top row first. Move-only; owns its storage.
class PixelBuffer {
public:
    PixelBuffer() = default;
    PixelBuffer(int width, int height, PixelFormat format, int stride, std::unique_ptr<PixelStorage> storage);
    // A zero-filled buffer on the heap with rows packed to 4 bytes.
    static PixelBuffer allocate(int width, int height, PixelFormat format);
    // The width x height pixels at (x, y) of `whole`, read where they are: the result takes `whole` over, keeps
    // its storage alive and has its stride. The rectangle must lie within `whole`. When this throws, `whole` is
    // left as it was.
    static PixelBuffer region(PixelBuffer&& whole, int x, int y, int width, int height);

    int width() const { return m_width; }
    int height() const { return m_height; }
    PixelFormat format() const { return m_format; }
    int stride() const { return m_stride; }
    std::uint8_t* bits() { return m_storage ? m_storage->data() : nullptr; }
    const std::uint8_t* bits() const { return m_storage ? m_storage->data() : nullptr; }
    const std::uint8_t* row(int y) const { return bits() + static_cast<std::ptrdiff_t>(y) * m_stride; }
    std::uint8_t* row(int y) { return bits() + static_cast<std::ptrdiff_t>(y) * m_stride; }
    bool isNull() const { return !m_storage || m_width <= 0 || m_height <= 0; }

private:
    int m_width = 0;
    int m_height = 0;
    PixelFormat m_format = PixelFormat::Bgrx32;
    int m_stride = 0;
    std::unique_ptr<PixelStorage> m_storage;
};
