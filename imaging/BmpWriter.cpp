#include "imaging/BmpWriter.h"

#include "imaging/Picture.h"
#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t kFileHeaderSize = 14;                // BITMAPFILEHEADER
constexpr std::size_t kInfoHeaderSize = 40;                // BITMAPINFOHEADER
constexpr std::size_t kPaletteSize = std::size_t{256} * 4; // RGBQUAD table of an 8-bit bitmap
constexpr std::int32_t kPixelsPerMetre = 3780;             // 96 dots per inch, what screens are taken to have
// Rows are converted into a buffer of about this size and written together: few system calls, little memory.
constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

void put16(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

// One bitmap row in file order: BGR triplets for 24-bit files, indices for 8-bit ones. Padding is left as it is
// (the buffer starts zeroed and only pixel bytes are written).
void convertRow(const PixelBuffer& bitmap, int y, std::uint8_t* out)
{
    const std::uint8_t* in = bitmap.row(y);
    const int width = bitmap.width();
    switch (bitmap.format()) {
    case PixelFormat::Bgrx32:
        for (int x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        }
        break;
    case PixelFormat::Rgb565:
        // 5- and 6-bit channels widened by repeating their top bits, as Qt's RGB16 to RGB32 conversion does.
        for (int x = 0; x < width; ++x, in += 2, out += 3) {
            const unsigned pixel = in[0] | (in[1] << 8);
            const unsigned blue = pixel & 0x1f;
            const unsigned green = (pixel >> 5) & 0x3f;
            const unsigned red = pixel >> 11;
            out[0] = static_cast<std::uint8_t>((blue << 3) | (blue >> 2));
            out[1] = static_cast<std::uint8_t>((green << 2) | (green >> 4));
            out[2] = static_cast<std::uint8_t>((red << 3) | (red >> 2));
        }
        break;
    case PixelFormat::Indexed8:
        std::copy_n(in, width, out);
        break;
    }
}

} // namespace

QString SavePicture(const Picture& picture, const QString& fileName)
{
    const PixelBuffer& bitmap = picture.bitmap();
    if (bitmap.isNull()) {
        throw Failure(QStringLiteral("Cannot write %1: the picture is empty (%2 x %3 pixels)")
                          .arg(fileName)
                          .arg(picture.width())
                          .arg(picture.height()));
    }

    const bool indexed = bitmap.format() == PixelFormat::Indexed8;
    const std::uint32_t bitsPerPixel = indexed ? 8 : 24;
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(bitmap.width()) * bitsPerPixel / 8 + 3) / 4 * 4;
    const std::uint64_t imageBytes = rowBytes * static_cast<std::uint64_t>(bitmap.height());
    const std::uint64_t pixelOffset = kFileHeaderSize + kInfoHeaderSize + (indexed ? kPaletteSize : 0);
    if (pixelOffset + imageBytes > std::numeric_limits<std::uint32_t>::max()) {
        throw Failure(QStringLiteral("Cannot write %1: a bitmap file cannot hold %2 x %3 pixels")
                          .arg(fileName)
                          .arg(bitmap.width())
                          .arg(bitmap.height()));
    }

    std::vector<std::uint8_t> header;
    header.reserve(pixelOffset);
    header.push_back('B');
    header.push_back('M');
    put32(header, static_cast<std::uint32_t>(pixelOffset + imageBytes));
    put32(header, 0); // two reserved words
    put32(header, static_cast<std::uint32_t>(pixelOffset));
    put32(header, kInfoHeaderSize);
    put32(header, static_cast<std::uint32_t>(bitmap.width()));
    put32(header, static_cast<std::uint32_t>(bitmap.height())); // positive: bottom row first
    put16(header, 1);                                           // planes
    put16(header, bitsPerPixel);
    put32(header, 0); // BI_RGB, uncompressed
    put32(header, static_cast<std::uint32_t>(imageBytes));
    put32(header, kPixelsPerMetre);
    put32(header, kPixelsPerMetre);
    put32(header, indexed ? 256 : 0); // colours used
    put32(header, 0);                 // all colours important
    if (indexed) {
        const std::vector<PaletteEntry>& palette = picture.palette();
        for (std::size_t i = 0; i < 256; ++i) {
            const PaletteEntry colour = i < palette.size() ? palette[i] : PaletteEntry{};
            header.push_back(colour.blue);
            header.push_back(colour.green);
            header.push_back(colour.red);
            header.push_back(0);
        }
    }

    SafeFile file(fileName);
    file.write(header.data(), header.size());

    const auto rowsPerChunk = static_cast<int>(std::max<std::uint64_t>(1, kChunkBytes / rowBytes));
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(rowsPerChunk));
    int y = bitmap.height() - 1;
    while (y >= 0) {
        const int rows = std::min(rowsPerChunk, y + 1);
        for (int i = 0; i < rows; ++i, --y) {
            convertRow(bitmap, y, chunk.data() + static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(i));
        }
        file.write(chunk.data(), static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(rows));
    }
    return file.commit();
}
