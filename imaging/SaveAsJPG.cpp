#include "imaging/SaveAsJPG.h"

#include "imaging/Picture.h"
#include "platform/Failure.h"
#include "platform/SafeFile.h"

#include <climits>
#include <memory>
#include <new>
#include <vector>

#include <turbojpeg.h>

namespace {

struct TjHandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjHandleDeleter>;

struct TjBufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
using TjBuffer = std::unique_ptr<unsigned char, TjBufferDeleter>;

constexpr int kSaveErrorNumber = 5;

[[noreturn]] void raise(int status)
{
    throw Failure(QStringLiteral("Cannot save the image. GDI+ Error:%1").arg(status), kSaveErrorNumber);
}

// 16-bit and palette pixels become packed BGR, one row at a time. 5- and 6-bit channels are widened by repeating
// their top bits, so that white stays 255 and the result matches what the BMP writer and Qt make of them.
std::vector<unsigned char> toBgr(const Picture& picture)
{
    const PixelBuffer& bitmap = picture.bitmap();
    const int width = bitmap.width();
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> bgr(rowBytes * static_cast<std::size_t>(bitmap.height()));

    PaletteEntry colours[256] = {};
    const std::vector<PaletteEntry>& palette = picture.palette();
    for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
        colours[i] = palette[i];
    }

    for (int y = 0; y < bitmap.height(); ++y) {
        const std::uint8_t* in = bitmap.row(y);
        unsigned char* out = bgr.data() + rowBytes * static_cast<std::size_t>(y);
        if (bitmap.format() == PixelFormat::Rgb565) {
            for (int x = 0; x < width; ++x, in += 2, out += 3) {
                const unsigned pixel = in[0] | (in[1] << 8);
                const unsigned blue = pixel & 0x1f;
                const unsigned green = (pixel >> 5) & 0x3f;
                const unsigned red = pixel >> 11;
                out[0] = static_cast<unsigned char>((blue << 3) | (blue >> 2));
                out[1] = static_cast<unsigned char>((green << 2) | (green >> 4));
                out[2] = static_cast<unsigned char>((red << 3) | (red >> 2));
            }
        } else {
            for (int x = 0; x < width; ++x, ++in, out += 3) {
                const PaletteEntry& colour = colours[*in];
                out[0] = colour.blue;
                out[1] = colour.green;
                out[2] = colour.red;
            }
        }
    }
    return bgr;
}

} // namespace

QString SavePictureAsJpeg(const Picture& picture, const QString& fileName, quint8 quality)
{
    const PixelBuffer& bitmap = picture.bitmap();
    if (bitmap.isNull() || quality > 100) {
        raise(JpegStatus::InvalidPicture);
    }

    const unsigned char* pixels = bitmap.bits();
    int pitch = bitmap.stride();
    int pixelFormat = TJPF_BGRX;
    std::vector<unsigned char> converted;
    if (bitmap.format() != PixelFormat::Bgrx32) {
        try {
            converted = toBgr(picture);
        } catch (const std::bad_alloc&) {
            raise(JpegStatus::OutOfMemory);
        }
        pixels = converted.data();
        pitch = bitmap.width() * 3;
        pixelFormat = TJPF_BGR;
    }

    const TjHandle encoder(tjInitCompress());
    if (!encoder) {
        raise(JpegStatus::OutOfMemory);
    }

    // The worst-case size is reserved up front so that the encoder never grows and copies its output; only the
    // pages it writes are ever touched, so the reservation costs address space, not memory. tjAlloc() takes an
    // int: a picture whose worst case does not fit is far beyond any screen and is refused as too large.
    unsigned long jpegSize = tjBufSize(bitmap.width(), bitmap.height(), TJSAMP_444);
    if (jpegSize == static_cast<unsigned long>(-1) || jpegSize > static_cast<unsigned long>(INT_MAX)) {
        raise(JpegStatus::OutOfMemory);
    }
    const TjBuffer jpeg(tjAlloc(static_cast<int>(jpegSize)));
    if (!jpeg) {
        raise(JpegStatus::OutOfMemory);
    }
    unsigned char* output = jpeg.get();
    if (tjCompress2(encoder.get(), pixels, bitmap.width(), pitch, bitmap.height(), pixelFormat, &output, &jpegSize,
                    TJSAMP_444, quality, TJFLAG_NOREALLOC) != 0) {
        raise(JpegStatus::EncoderFailed);
    }
    converted = {};

    // The report names the failing stage by its status number alone; the system's reason has no place in it.
    std::unique_ptr<SafeFile> file;
    try {
        file = std::make_unique<SafeFile>(fileName);
    } catch (const Failure&) {
        raise(JpegStatus::CannotCreateFile);
    }
    try {
        file->write(jpeg.get(), jpegSize);
        return file->commit();
    } catch (const Failure&) {
        raise(JpegStatus::WriteFailed);
    }
}
