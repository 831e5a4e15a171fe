// The portal's picture: any bytes are either decoded into a picture in the screen's format, as large as the file
// says, or refused with a reason. Nothing in between, and nothing larger than the file can describe. Each input is
// decoded twice: as it is, and with every chunk's CRC made right, so that changed bytes get past the CRCs to the
// inflating and the row filters.

#include "fuzz/FuzzSupport.h"
#include "platform/screen/portal/PngDecoder.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

#include <zlib.h>

namespace {

std::uint32_t bigEndian(const std::uint8_t* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

// `bytes` with the CRC of every whole chunk after the signature put right.
QByteArray withRightCrcs(QByteArray bytes)
{
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    const auto size = static_cast<std::size_t>(bytes.size());
    for (std::size_t at = 8; at + 12 <= size && bigEndian(data + at) <= size - at - 12;) {
        const std::uint32_t length = bigEndian(data + at);
        const auto crc = static_cast<std::uint32_t>(crc32(0, data + at + 4, length + 4));
        std::uint8_t* to = data + at + 8 + length;
        to[0] = static_cast<std::uint8_t>(crc >> 24);
        to[1] = static_cast<std::uint8_t>(crc >> 16);
        to[2] = static_cast<std::uint8_t>(crc >> 8);
        to[3] = static_cast<std::uint8_t>(crc);
        at += std::size_t{length} + 12;
    }
    return bytes;
}

void check(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
    QString error;
    const QImage image = PngDecoder::decode(bytes, &error);
    if (image.isNull()) {
        if (error.isEmpty()) {
            fuzz::wrong(QStringLiteral("refused without a reason"));
        }
        return;
    }
    if (image.format() != QImage::Format_RGB32) {
        fuzz::wrong(QStringLiteral("decoded into format %1").arg(static_cast<int>(image.format())));
    }
    // The header at offset 16 declares the size, big-endian; a decoded picture has exactly that size.
    if (size < 24 || bigEndian(data + 16) != static_cast<std::uint32_t>(image.width()) ||
        bigEndian(data + 20) != static_cast<std::uint32_t>(image.height())) {
        fuzz::wrong(QStringLiteral("a %1 x %2 picture from a file that does not declare it")
                        .arg(image.width())
                        .arg(image.height()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::startQt<QGuiApplication>();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    check(bytes);
    check(withRightCrcs(bytes));
    return 0;
}
