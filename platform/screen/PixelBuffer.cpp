#include "platform/screen/PixelBuffer.h"

#include "platform/errors/Failure.h"

#include <QString>

#include <limits>
#include <new>
#include <utility>

int bytesPerPixel(PixelFormat format)
{
    switch (format) {
    case PixelFormat::Bgrx32:
        return 4;
    case PixelFormat::Rgb565:
        return 2;
    case PixelFormat::Indexed8:
        return 1;
    }
    return 4;
}

namespace {

class HeapStorage final : public PixelStorage {
public:
    explicit HeapStorage(std::size_t size)
        : m_bytes(size)
    {}
    std::uint8_t* data() override { return m_bytes.data(); }

private:
    std::vector<std::uint8_t> m_bytes;
};

// A rectangle of another buffer, which it owns: the first pixel is `offset` bytes into that buffer's storage.
class RegionStorage final : public PixelStorage {
public:
    RegionStorage(PixelBuffer&& whole, std::size_t offset)
        : m_whole(std::move(whole))
        , m_offset(offset)
    {}
    std::uint8_t* data() override { return m_whole.bits() + m_offset; }

private:
    PixelBuffer m_whole;
    std::size_t m_offset;
};

} // namespace

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format, int stride, std::unique_ptr<PixelStorage> storage)
    : m_width(width)
    , m_height(height)
    , m_format(format)
    , m_stride(stride)
    , m_storage(std::move(storage))
{}

PixelBuffer PixelBuffer::allocate(int width, int height, PixelFormat format)
{
    if (width < 0 || height < 0) {
        throw Failure(QStringLiteral("Invalid picture size %1 x %2").arg(width).arg(height));
    }
    const std::int64_t stride = (static_cast<std::int64_t>(width) * bytesPerPixel(format) + 3) / 4 * 4;
    const std::int64_t size = stride * height;
    if (stride > std::numeric_limits<int>::max()) {
        throw Failure(QStringLiteral("Picture too large: %1 x %2").arg(width).arg(height));
    }
    try {
        return PixelBuffer(width, height, format, static_cast<int>(stride),
                           std::make_unique<HeapStorage>(static_cast<std::size_t>(size)));
    } catch (const std::bad_alloc&) {
        throw Failure(QStringLiteral("Out of memory for a picture of %1 x %2 pixels").arg(width).arg(height));
    }
}

PixelBuffer PixelBuffer::region(PixelBuffer&& whole, int x, int y, int width, int height)
{
    if (whole.isNull() || x < 0 || y < 0 || width <= 0 || height <= 0 || x > whole.width() - width ||
        y > whole.height() - height) {
        throw Failure(QStringLiteral("The area of %1 x %2 pixels at (%3, %4) is not within the picture")
                          .arg(width)
                          .arg(height)
                          .arg(x)
                          .arg(y));
    }
    const PixelFormat format = whole.format();
    const int stride = whole.stride();
    const std::size_t offset = static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
                               static_cast<std::size_t>(x) * static_cast<std::size_t>(bytesPerPixel(format));
    return PixelBuffer(width, height, format, stride, std::make_unique<RegionStorage>(std::move(whole), offset));
}
