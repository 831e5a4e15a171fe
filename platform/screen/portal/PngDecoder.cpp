#include "platform/screen/portal/PngDecoder.h"
#include "platform/screen/portal/PngImageData.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <png.h>

namespace {

// The largest picture decoded, in bytes of 32-bit pixels: an 8K desktop fits well within it.
constexpr std::size_t kMaxPictureBytes = std::size_t{1024} * 1024 * 1024;
// What one ancillary chunk (text, a colour profile) may hold. A screenshot carries a few hundred bytes of them;
// the limit keeps a hostile file from making the decoder hoard memory.
constexpr png_alloc_size_t kMaxChunkBytes = png_alloc_size_t{16} * 1024 * 1024;

// The decoder's state as its callbacks see it. The decoder reports errors by calling onError, which must not
// return; it keeps the message and jumps back to the step that was running. Nothing in those steps needs a
// destructor.
struct Source {
    const QByteArray* data = nullptr;
    std::size_t at = 0;
    char error[160] = {};
};

void readBytes(png_structp png, png_bytep out, std::size_t length)
{
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    const std::size_t size = static_cast<std::size_t>(source->data->size());
    if (length > size - source->at) {
        png_error(png, "the file ends early");
    }
    std::memcpy(out, source->data->constData() + source->at, length);
    source->at += length;
}

[[noreturn]] void onError(png_structp png, png_const_charp message)
{
    auto* source = static_cast<Source*>(png_get_error_ptr(png));
    std::snprintf(source->error, sizeof source->error, "%s", message);
    png_longjmp(png, 1);
}

void onWarning(png_structp /*png*/, png_const_charp /*message*/) {}

// The decoder's two objects, freed on every way out.
struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    explicit Decoder(Source& source)
        : png(png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, onError, onWarning))
        , info(png ? png_create_info_struct(png) : nullptr)
    {}
    ~Decoder() { png_destroy_read_struct(&png, &info, nullptr); }
};

struct Header {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
};

// Reads up to the image data. False on a damaged file, the reason in the source.
bool readHeader(const Decoder& decoder, Header& header)
{
    if (setjmp(png_jmpbuf(decoder.png)) != 0) {
        return false;
    }
    png_set_chunk_malloc_max(decoder.png, kMaxChunkBytes);
    // The image data's own checksum is left out: it costs a tenth of the decoding, and every chunk's CRC, which
    // covers the same bytes, is still checked.
    png_set_option(decoder.png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(decoder.png, decoder.info);
    header.width = png_get_image_width(decoder.png, decoder.info);
    header.height = png_get_image_height(decoder.png, decoder.info);
    return true;
}

// What every portal writes: 8-bit RGB or RGBA, not interlaced. Their image data is decoded here, a few rows at a time,
// each row's filter undone as its pixels are put into byte order: libpng's own C filter code and transformations
// take several times as long as inflating the data.
bool isPlainRgb(const Decoder& decoder)
{
    const png_byte colourType = png_get_color_type(decoder.png, decoder.info);
    return png_get_bit_depth(decoder.png, decoder.info) == 8 &&
           png_get_interlace_type(decoder.png, decoder.info) == PNG_INTERLACE_NONE &&
           (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA);
}

// Where the first IDAT chunk starts, once the header is read: libpng stops right after that chunk's length and
// name. -1 when it is not found there.
qsizetype imageDataAt(const QByteArray& data, const Source& source)
{
    const auto at = static_cast<qsizetype>(source.at) - 8;
    return at >= 8 && data.mid(at + 4, 4) == "IDAT" ? at : -1;
}

// Decodes every row into `bits` as B, G, R, 0xff: palettes and low bit depths expanded, gray made RGB, 16-bit samples
// rounded to the nearest 8-bit value, alpha and a transparent colour dropped, interlaced passes put together. False on
// a damaged file.
bool readRows(const Decoder& decoder, std::uint8_t* bits, std::ptrdiff_t stride, png_uint_32 height)
{
    if (setjmp(png_jmpbuf(decoder.png)) != 0) {
        return false;
    }
    png_structp png = decoder.png;
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    png_set_bgr(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, decoder.info);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, bits + static_cast<std::ptrdiff_t>(y) * stride, nullptr);
        }
    }
    png_read_end(png, nullptr);
    return true;
}

} // namespace

bool PngDecoder::recognises(const QByteArray& data)
{
    return data.size() >= 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(data.constData()), 0, 8) == 0;
}

QSize PngDecoder::declaredSize(const QByteArray& data)
{
    // The signature, then the header chunk: its length (13), "IHDR", the width and the height, big-endian.
    constexpr qsizetype widthAt = 16;
    if (!recognises(data) || data.size() < widthAt + 8 || data.mid(12, 4) != "IHDR") {
        return {};
    }
    const auto word = [&data](qsizetype at) {
        return qFromBigEndian<quint32>(reinterpret_cast<const uchar*>(data.constData()) + at);
    };
    const quint32 width = word(widthAt);
    const quint32 height = word(widthAt + 4);
    // Past the int range a header is damaged, and as a size it is huge.
    const auto clamp = [](quint32 value) { return static_cast<int>(std::min<quint32>(value, INT_MAX)); };
    return QSize(clamp(width), clamp(height));
}

QImage PngDecoder::decode(const QByteArray& data, QString* error, QImage memory)
{
    Source source;
    source.data = &data;
    const Decoder decoder(source);
    if (decoder.info == nullptr) {
        *error = QStringLiteral("out of memory");
        return {};
    }
    png_set_read_fn(decoder.png, &source, readBytes);
    Header header;
    if (!readHeader(decoder, header)) {
        *error = QString::fromUtf8(source.error);
        return {};
    }
    if (std::uint64_t{header.width} * header.height > kMaxPictureBytes / 4) {
        *error = QStringLiteral("%1 x %2 pixels take more than %3 MB")
                     .arg(header.width)
                     .arg(header.height)
                     .arg(kMaxPictureBytes / (std::size_t{1024} * 1024));
        return {};
    }
    const QSize size(static_cast<int>(header.width), static_cast<int>(header.height));
    QImage image = std::move(memory);
    if (image.size() != size || image.format() != QImage::Format_RGB32 || !image.isDetached()) {
        image = QImage();
        image = QImage(size, QImage::Format_RGB32);
    }
    if (image.isNull()) {
        *error = QStringLiteral("out of memory");
        return {};
    }
    const qsizetype at = isPlainRgb(decoder) ? imageDataAt(data, source) : -1;
    if (at >= 0) {
        const int channels = png_get_color_type(decoder.png, decoder.info) == PNG_COLOR_TYPE_RGB ? 3 : 4;
        return readPlainRows(data, at, channels, image, error) ? image : QImage();
    }
    if (!readRows(decoder, image.bits(), image.bytesPerLine(), header.height)) {
        *error = QString::fromUtf8(source.error);
        return {};
    }
    return image;
}
