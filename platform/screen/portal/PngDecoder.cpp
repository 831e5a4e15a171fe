#include "platform/screen/portal/PngDecoder.h"

#include "platform/errors/Failure.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <spng.h>

namespace {

// The largest picture decoded, in bytes of 32-bit pixels: an 8K desktop fits well within it.
constexpr std::size_t kMaxPictureBytes = std::size_t{1024} * 1024 * 1024;
// What the ancillary chunks of one file (text, colour profiles) may hold, each and all together. A screenshot
// carries a few hundred bytes of them; the limits keep a hostile file from making the decoder hoard memory.
constexpr std::size_t kMaxChunkBytes = std::size_t{16} * 1024 * 1024;
constexpr std::size_t kMaxChunkCacheBytes = std::size_t{64} * 1024 * 1024;

struct ContextDeleter {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: ") + why);
}

[[noreturn]] void unreadable(const QString& path, int error)
{
    fail(QStringLiteral("the screenshot %1 is not a picture that can be read (%2)")
             .arg(path, QString::fromUtf8(spng_strerror(error))));
}

// R, G, B, A bytes -> B, G, R, 0xff, in place.
void swapToBgrx(std::uint8_t* row, int width)
{
    for (int x = 0; x < width; ++x, row += 4) {
        std::uint32_t pixel;
        std::memcpy(&pixel, row, 4);
        pixel = (pixel & 0x0000ff00u) | ((pixel & 0xffu) << 16) | ((pixel >> 16) & 0xffu) | 0xff000000u;
        std::memcpy(row, &pixel, 4);
    }
}

// R, G, B bytes -> B, G, R, 0xff.
void expandToBgrx(const std::uint8_t* in, int width, std::uint8_t* out)
{
    for (int x = 0; x < width; ++x, in += 3, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = 0xff;
    }
}

// One pixel's 16-bit R, G, B, A samples -> B, G, R, 0xff, each rounded to the nearest 8-bit value, v / 257.
void narrowToBgrx(const std::uint16_t* samples, std::uint8_t* out)
{
    const auto narrow = [](unsigned v) { return static_cast<std::uint8_t>((v + 128) / 257); };
    out[0] = narrow(samples[2]);
    out[1] = narrow(samples[1]);
    out[2] = narrow(samples[0]);
    out[3] = 0xff;
}

} // namespace

bool PngDecoder::recognises(const QByteArray& data)
{
    static constexpr char signature[] = "\x89PNG\r\n\x1a\n";
    return data.startsWith(QByteArray::fromRawData(signature, 8));
}

QImage PngDecoder::decode(const QByteArray& data, const QString& path)
{
    const std::unique_ptr<spng_ctx, ContextDeleter> context(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    if (!context) {
        fail(QStringLiteral("out of memory for the screenshot %1").arg(path));
    }
    // The image data's own checksum is left out: it costs a sixth of the decoding, and every chunk's CRC, which
    // covers the same bytes, is still checked.
    spng_ctx* png = context.get();
    int error = spng_set_png_buffer(png, data.constData(), static_cast<std::size_t>(data.size()));
    if (error == 0) {
        error = spng_set_chunk_limits(png, kMaxChunkBytes, kMaxChunkCacheBytes);
    }
    spng_ihdr header{};
    if (error == 0) {
        error = spng_get_ihdr(png, &header);
    }
    if (error != 0) {
        unreadable(path, error);
    }
    const std::size_t pixels = std::size_t{header.width} * header.height;
    if (header.width > 0x7fffffffu / 4 || header.height > 0x7fffffffu || pixels > kMaxPictureBytes / 4) {
        fail(QStringLiteral("the screenshot %1 of %2 x %3 pixels is larger than %4 MB")
                 .arg(path)
                 .arg(header.width)
                 .arg(header.height)
                 .arg(kMaxPictureBytes / (1024 * 1024)));
    }
    const int width = static_cast<int>(header.width);
    const int height = static_cast<int>(header.height);
    QImage image(width, height, QImage::Format_RGB32);
    // How the rows come out of the decoder. 8-bit RGB, what the portals send, comes as packed RGB (the decoder is
    // quickest at its own layout) and 16-bit samples as they are; both pass through a staging row, or through the
    // whole picture when it is interlaced, as its passes visit each row several times. Everything else comes as
    // 8-bit RGBA straight into the picture's rows.
    const bool wide = header.bit_depth == 16;
    const bool interlaced = header.interlace_method != SPNG_INTERLACE_NONE;
    const bool packed = !interlaced && header.bit_depth == 8 && header.color_type == SPNG_COLOR_TYPE_TRUECOLOR;
    const int format = wide ? SPNG_FMT_RGBA16 : packed ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
    const std::size_t rowBytes = std::size_t{header.width} * (wide ? 8 : packed ? 3 : 4);
    std::vector<std::uint8_t> staging;
    try {
        if (wide || packed) {
            staging.resize(rowBytes * (interlaced ? header.height : 1));
        }
    } catch (const std::bad_alloc&) {
        image = QImage();
    }
    if (image.isNull()) {
        fail(QStringLiteral("out of memory for the screenshot %1").arg(path));
    }
    const auto targetRow = [&](int y) -> std::uint8_t* {
        if (staging.empty()) {
            return image.scanLine(y);
        }
        return staging.data() + (interlaced ? std::size_t(y) * rowBytes : 0);
    };
    const auto finishRow = [&](int y) {
        if (wide) {
            std::uint16_t samples[4];
            const std::uint8_t* in = targetRow(y);
            std::uint8_t* out = image.scanLine(y);
            for (int x = 0; x < width; ++x, in += 8, out += 4) {
                std::memcpy(samples, in, 8);
                narrowToBgrx(samples, out);
            }
        } else if (packed) {
            expandToBgrx(targetRow(y), width, image.scanLine(y));
        } else {
            swapToBgrx(image.scanLine(y), width);
        }
    };

    // Row by row, straight into the picture; each row is put into its final byte order while it is in the cache.
    error = spng_decode_image(png, nullptr, 0, format, SPNG_DECODE_PROGRESSIVE);
    while (error == 0) {
        spng_row_info row{};
        error = spng_get_row_info(png, &row);
        if (error != 0) {
            break;
        }
        const int y = static_cast<int>(row.row_num);
        error = spng_decode_row(png, targetRow(y), rowBytes);
        if (!interlaced && (error == 0 || error == SPNG_EOI)) {
            finishRow(y);
        }
    }
    if (error != SPNG_EOI) {
        unreadable(path, error);
    }
    if (interlaced) {
        for (int y = 0; y < height; ++y) {
            finishRow(y);
        }
    }
    return image;
}
