// The portal's picture: any bytes are either decoded into a picture in the screen's format, as large as the file
// says, or refused with a reason. Nothing in between, and nothing larger than the file can describe.

#include "fuzz/FuzzSupport.h"
#include "platform/screen/portal/PngDecoder.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::startQt<QGuiApplication>();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const QImage image = PngDecoder::decode(bytes, &error);
    if (image.isNull()) {
        if (error.isEmpty()) {
            fuzz::wrong(QStringLiteral("refused without a reason"));
        }
        return 0;
    }
    if (image.format() != QImage::Format_RGB32) {
        fuzz::wrong(QStringLiteral("decoded into format %1").arg(static_cast<int>(image.format())));
    }
    // The header at offset 16 declares the size, big-endian; a decoded picture has exactly that size.
    const auto be32 = [&](std::size_t at) {
        return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
               (std::uint32_t{data[at + 2]} << 8) | std::uint32_t{data[at + 3]};
    };
    if (size < 24 || be32(16) != static_cast<std::uint32_t>(image.width()) ||
        be32(20) != static_cast<std::uint32_t>(image.height())) {
        fuzz::wrong(QStringLiteral("a %1 x %2 picture from a file that does not declare it")
                        .arg(image.width())
                        .arg(image.height()));
    }
    return 0;
}
