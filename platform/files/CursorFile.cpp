#include "platform/files/CursorFile.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QPixmap>

#include <cstdint>

namespace {

constexpr qint64 DirectorySize = 6;
constexpr qint64 EntrySize = 16;
constexpr qint64 BitmapHeaderSize = 40;
constexpr int MaxSide = 256;

std::uint16_t word(const QByteArray& bytes, qint64 at)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1])
                                                                                 << 8);
}

std::uint32_t dword(const QByteArray& bytes, qint64 at)
{
    return static_cast<std::uint32_t>(word(bytes, at)) | static_cast<std::uint32_t>(word(bytes, at + 2)) << 16;
}

std::uint32_t bigEndianDword(const QByteArray& bytes, qint64 at)
{
    std::uint32_t value = 0;
    for (qint64 i = 0; i < 4; ++i) {
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

void putWord(QByteArray& bytes, std::uint16_t value)
{
    bytes.append(static_cast<char>(value & 0xff));
    bytes.append(static_cast<char>(value >> 8));
}

void putDword(QByteArray& bytes, std::uint32_t value)
{
    putWord(bytes, static_cast<std::uint16_t>(value & 0xffff));
    putWord(bytes, static_cast<std::uint16_t>(value >> 16));
}

[[noreturn]] void reject(const QString& name, const QString& why)
{
    throw Failure(QStringLiteral("%1 is not a loadable cursor: %2").arg(name, why));
}

// A BMP image as cursors hold it: the colour bitmap and the transparency mask stacked, so the header's height is
// twice the image's. Returns the number of bytes the header says the image takes.
qint64 checkBitmap(const QByteArray& bytes, qint64 offset, qint64 length, int width, int height, const QString& name)
{
    if (length < BitmapHeaderSize) {
        reject(name, QStringLiteral("its image is truncated"));
    }
    const std::uint32_t headerSize = dword(bytes, offset);
    const auto headerWidth = static_cast<std::int32_t>(dword(bytes, offset + 4));
    const auto headerHeight = static_cast<std::int32_t>(dword(bytes, offset + 8));
    const std::uint16_t planes = word(bytes, offset + 12);
    const std::uint16_t bitCount = word(bytes, offset + 14);
    const std::uint32_t compression = dword(bytes, offset + 16);
    const std::uint32_t colorsUsed = dword(bytes, offset + 32);
    if (headerSize < BitmapHeaderSize || headerSize > static_cast<std::uint32_t>(length)) {
        reject(name, QStringLiteral("its image header has a wrong size"));
    }
    if (headerWidth != width || headerHeight != 2 * height) {
        reject(name, QStringLiteral("the sizes in its directory and in its image do not agree"));
    }
    if (planes != 1 || (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32)) {
        reject(name, QStringLiteral("its image has an unsupported colour depth"));
    }
    if (compression != 0) {
        reject(name, QStringLiteral("its image is compressed"));
    }
    qint64 paletteEntries = 0;
    if (bitCount <= 8) {
        const qint64 most = qint64(1) << bitCount;
        if (colorsUsed > most) {
            reject(name, QStringLiteral("its palette is larger than its colour depth allows"));
        }
        paletteEntries = colorsUsed ? colorsUsed : most;
    }
    const qint64 colourStride = (qint64(width) * bitCount + 31) / 32 * 4;
    const qint64 maskStride = (qint64(width) + 31) / 32 * 4;
    const qint64 needed = headerSize + paletteEntries * 4 + (colourStride + maskStride) * height;
    if (needed > length) {
        reject(name, QStringLiteral("its image is truncated"));
    }
    return needed;
}

void checkPng(const QByteArray& bytes, qint64 offset, qint64 length, int width, int height, const QString& name)
{
    // Signature, then the IHDR chunk: length, type, width, height (big-endian).
    if (length < 24) {
        reject(name, QStringLiteral("its image is truncated"));
    }
    if (bigEndianDword(bytes, offset + 16) != static_cast<std::uint32_t>(width) ||
        bigEndianDword(bytes, offset + 20) != static_cast<std::uint32_t>(height)) {
        reject(name, QStringLiteral("the sizes in its directory and in its image do not agree"));
    }
}

} // namespace

CursorImage decodeCursorFile(const QByteArray& bytes, const QString& name)
{
    const qint64 size = bytes.size();
    if (size == 0) {
        reject(name, QStringLiteral("the file is empty"));
    }
    if (size > MaxCursorFileSize) {
        reject(name, QStringLiteral("the file is too large (%1 bytes)").arg(size));
    }
    if (size < DirectorySize + EntrySize) {
        reject(name, QStringLiteral("the file is truncated"));
    }
    if (word(bytes, 0) != 0 || word(bytes, 2) != 2) {
        reject(name, QStringLiteral("the file does not start like a cursor file"));
    }
    const std::uint16_t count = word(bytes, 4);
    if (count == 0) {
        reject(name, QStringLiteral("the file holds no image"));
    }
    const qint64 directoryEnd = DirectorySize + EntrySize * count;
    if (directoryEnd > size) {
        reject(name, QStringLiteral("the file is truncated"));
    }

    // The first entry is the pointer; a 0 in a size byte means 256.
    const int width = static_cast<std::uint8_t>(bytes[6]) ? static_cast<std::uint8_t>(bytes[6]) : MaxSide;
    const int height = static_cast<std::uint8_t>(bytes[7]) ? static_cast<std::uint8_t>(bytes[7]) : MaxSide;
    const QPoint hotspot(word(bytes, 10), word(bytes, 12));
    const qint64 length = dword(bytes, 14);
    const qint64 offset = dword(bytes, 18);
    if (offset < directoryEnd || length > size || offset > size - length) {
        reject(name, QStringLiteral("its directory points outside the file"));
    }
    if (hotspot.x() >= width || hotspot.y() >= height) {
        reject(name, QStringLiteral("its hotspot lies outside its image"));
    }

    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    const bool isPng = length >= 8 && bytes.mid(offset, 8) == pngSignature;
    if (isPng) {
        checkPng(bytes, offset, length, width, height, name);
    } else {
        checkBitmap(bytes, offset, length, width, height, name);
    }

    // The checked bytes go to Qt's icon reader, which decodes the first image of the directory.
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    QImage image = reader.read();
    if (image.isNull()) {
        reject(name, QStringLiteral("its image cannot be decoded (%1)").arg(reader.errorString()));
    }
    if (image.width() != width || image.height() != height) {
        reject(name, QStringLiteral("the sizes in its directory and in its image do not agree"));
    }
    return {image.convertToFormat(QImage::Format_ARGB32), hotspot};
}

QCursor loadCursorFile(const QString& path)
{
    const QString name = QDir::toNativeSeparators(path);
    const RegularFileRead file = readRegularFile(path, MaxCursorFileSize);
    if (file.status == RegularFileRead::Status::TooLarge) {
        reject(name, QStringLiteral("the file is too large (%1 bytes)").arg(file.size));
    }
    if (file.status != RegularFileRead::Status::Read) {
        throw Failure(readFailureText(path, file));
    }
    const CursorImage cursor = decodeCursorFile(file.bytes, name);
    return QCursor(QPixmap::fromImage(cursor.image), cursor.hotspot.x(), cursor.hotspot.y());
}

QByteArray encodeCursorFile(const QImage& source, QPoint hotspot)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int width = image.width();
    const int height = image.height();
    Q_ASSERT(width > 0 && height > 0 && width <= MaxSide && height <= MaxSide);
    const qint64 maskStride = qint64{(width + 31) / 32} * 4;
    const qint64 imageBytes = BitmapHeaderSize + (qint64(width) * 4 + maskStride) * height;

    QByteArray bytes;
    putWord(bytes, 0);
    putWord(bytes, 2); // a cursor
    putWord(bytes, 1);
    bytes.append(static_cast<char>(width == MaxSide ? 0 : width));
    bytes.append(static_cast<char>(height == MaxSide ? 0 : height));
    bytes.append('\0');
    bytes.append('\0');
    putWord(bytes, static_cast<std::uint16_t>(hotspot.x()));
    putWord(bytes, static_cast<std::uint16_t>(hotspot.y()));
    putDword(bytes, static_cast<std::uint32_t>(imageBytes));
    putDword(bytes, static_cast<std::uint32_t>(DirectorySize + EntrySize));

    putDword(bytes, BitmapHeaderSize);
    putDword(bytes, static_cast<std::uint32_t>(width));
    putDword(bytes, static_cast<std::uint32_t>(2 * height));
    putWord(bytes, 1);
    putWord(bytes, 32);
    for (int field = 0; field < 6; ++field) {
        putDword(bytes, 0);
    }

    // Both bitmaps run bottom-up. The mask marks the fully transparent pixels.
    for (int y = height - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            bytes.append(static_cast<char>(qBlue(row[x])));
            bytes.append(static_cast<char>(qGreen(row[x])));
            bytes.append(static_cast<char>(qRed(row[x])));
            bytes.append(static_cast<char>(qAlpha(row[x])));
        }
    }
    for (int y = height - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < width; ++x) {
            if (qAlpha(row[x]) == 0) {
                mask[x / 8] = static_cast<char>(mask[x / 8] | (0x80 >> (x % 8)));
            }
        }
        bytes.append(mask);
    }
    return bytes;
}
