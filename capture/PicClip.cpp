#include "capture/PicClip.h"

#include "imaging/Picture.h"
#include "platform/errors/Failure.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

// Heap pixels left uninitialised: the clip writes every byte itself, and zero-filling a full-screen copy first
// would touch all of it twice.
class ClipStorage final : public PixelStorage {
public:
    explicit ClipStorage(std::size_t size)
        : m_bytes(std::make_unique_for_overwrite<std::uint8_t[]>(size))
    {}
    std::uint8_t* data() override { return m_bytes.get(); }

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
};

} // namespace

std::unique_ptr<Picture> PicClip::Clip() const
{
    if (!m_source) {
        throw Failure(QStringLiteral("The clipping component has no picture"));
    }
    const PixelBuffer& source = m_source->bitmap();

    // A band that reaches us is never negative, but the component takes any numbers: a negative size is empty.
    const int width = std::max<int>(0, ClipWidth);
    const int height = std::max<int>(0, ClipHeight);
    const int pixelBytes = bytesPerPixel(source.format());
    const int stride = (width * pixelBytes + 3) / 4 * 4;
    std::unique_ptr<PixelStorage> storage;
    try {
        storage = std::make_unique<ClipStorage>(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
    } catch (const std::bad_alloc&) {
        throw Failure(QStringLiteral("Out of memory for a picture of %1 x %2 pixels").arg(width).arg(height));
    }
    PixelBuffer copy(width, height, source.format(), stride, std::move(storage));

    // The rectangle's overlap with the source, in source columns; everything else is zero (black, or palette
    // index 0), row padding included.
    const int sourceWidth = source.isNull() ? 0 : source.width();
    const int sourceHeight = source.isNull() ? 0 : source.height();
    const int firstColumn = std::clamp<int>(ClipX, 0, sourceWidth);
    const int endColumn = std::clamp<int>(ClipX + width, firstColumn, sourceWidth);
    const auto inside = static_cast<std::size_t>(endColumn - firstColumn) * static_cast<std::size_t>(pixelBytes);
    const std::size_t before =
        inside == 0 ? 0 : static_cast<std::size_t>(firstColumn - ClipX) * static_cast<std::size_t>(pixelBytes);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = copy.row(y);
        const int sourceY = ClipY + y;
        if (sourceY < 0 || sourceY >= sourceHeight || inside == 0) {
            std::memset(out, 0, static_cast<std::size_t>(stride));
            continue;
        }
        std::memset(out, 0, before);
        std::memcpy(out + before, source.row(sourceY) + static_cast<std::ptrdiff_t>(firstColumn) * pixelBytes, inside);
        std::memset(out + before + inside, 0, static_cast<std::size_t>(stride) - before - inside);
    }
    return std::make_unique<Picture>(std::move(copy), m_source->palette());
}

std::unique_ptr<Picture> PicClip::Clip(std::unique_ptr<Picture>& owner) const
{
    const bool within = m_source && owner.get() == m_source && !m_source->bitmap().isNull() && ClipX >= 0 &&
                        ClipY >= 0 && ClipWidth > 0 && ClipHeight > 0 && ClipX + ClipWidth <= m_source->width() &&
                        ClipY + ClipHeight <= m_source->height();
    if (!within) {
        return Clip();
    }
    // Whatever can fail comes before the pixels change hands, so that a failure leaves the owner's picture whole.
    std::vector<PaletteEntry> palette = owner->palette();
    auto clip = std::make_unique<Picture>(PixelBuffer(), std::vector<PaletteEntry>());
    *clip = Picture(PixelBuffer::region(std::move(owner->bitmap()), ClipX, ClipY, ClipWidth, ClipHeight),
                    std::move(palette));
    owner.reset();
    return clip;
}
