// The pointer file HAND-M.CUR: any bytes either load as a cursor whose image and hotspot agree with the file's
// directory, or are refused with a Failure.

#include "fuzz/FuzzSupport.h"
#include "platform/errors/Failure.h"
#include "platform/files/CursorFile.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QSaveFile>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

int directorySide(const QByteArray& bytes, int at)
{
    const int side = static_cast<std::uint8_t>(bytes[at]);
    return side ? side : 256;
}

std::optional<CursorImage> decode(const QByteArray& bytes)
{
    try {
        return decodeCursorFile(bytes, QStringLiteral("HAND-M.CUR"));
    } catch (const Failure&) {
        return std::nullopt;
    }
}

void checkImage(const CursorImage& cursor, const QByteArray& bytes)
{
    const QImage& image = cursor.image;
    if (image.isNull() || image.format() != QImage::Format_ARGB32)
        fuzz::wrong(QStringLiteral("a loaded cursor has no 32-bit image"));
    // Only a file that holds the whole directory entry can have loaded.
    if (image.width() != directorySide(bytes, 6) || image.height() != directorySide(bytes, 7))
        fuzz::wrong(QStringLiteral("the image is %1 x %2, the directory says otherwise")
                        .arg(image.width())
                        .arg(image.height()));
    if (!image.rect().contains(cursor.hotspot))
        fuzz::wrong(QStringLiteral("the hotspot lies outside the image"));
}

// What the program writes must read back as it was.
void checkRoundTrip(const CursorImage& cursor)
{
    const QByteArray written = encodeCursorFile(cursor.image, cursor.hotspot);
    const std::optional<CursorImage> again = decode(written);
    if (!again)
        fuzz::wrong(QStringLiteral("a cursor written by encodeCursorFile does not load"));
    if (again->hotspot != cursor.hotspot || again->image.size() != cursor.image.size())
        fuzz::wrong(QStringLiteral("a written cursor comes back with another size or hotspot"));
    // Colours under full transparency are not kept; what shows on the screen is.
    const QImage before = cursor.image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage after = again->image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (before != after)
        fuzz::wrong(QStringLiteral("a written cursor comes back with other pixels"));
}

// The file path: the same verdict as for the bytes, plus the pixmap and cursor made from them.
void checkFile(const QByteArray& bytes, const std::optional<CursorImage>& decoded)
{
    const QString path = fuzz::scratchFolder() + QStringLiteral("/HAND-M.CUR");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        fuzz::wrong(QStringLiteral("cannot write the scratch file %1").arg(path));
    try {
        const QCursor cursor = loadCursorFile(path);
        if (!decoded)
            fuzz::wrong(QStringLiteral("the file loads although its bytes are refused"));
        if (cursor.hotSpot() != decoded->hotspot || cursor.pixmap().size() != decoded->image.size())
            fuzz::wrong(QStringLiteral("the cursor differs from the decoded image"));
    } catch (const Failure&) {
        if (decoded)
            fuzz::wrong(QStringLiteral("the file is refused although its bytes load"));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::startQt<QGuiApplication>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<CursorImage> decoded = decode(bytes);
    if (decoded) {
        checkImage(*decoded, bytes);
        checkRoundTrip(*decoded);
    }
    checkFile(bytes, decoded);
    return 0;
}
