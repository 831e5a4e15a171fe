#include "platform/PixelBuffer.h"

#include "platform/Failure.h"

#include <QString>

#include <limits>
#include <new>

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
