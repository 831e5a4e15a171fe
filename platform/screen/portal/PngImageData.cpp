#include "platform/screen/portal/PngImageData.h"
#include "platform/screen/portal/PngRows.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <zlib.h>

namespace {

// How much image data is inflated at a time, in whole rows: enough that zlib spends most of its time in its fast
// loop and little copying its output into its window, and little enough that the rows stay in the cache until they
// are unfiltered.
constexpr std::size_t kInflatedAtATime = std::size_t{256} * 1024;

// The chunk types that the reading of the image data looks for: "IDAT" and "IEND" as big-endian numbers.
constexpr std::uint32_t kImageData = 0x49444154;
constexpr std::uint32_t kEnd = 0x49454e44;

std::uint32_t bigEndian(const std::uint8_t* at)
{
    return qFromBigEndian<std::uint32_t>(at);
}

QString dataAfterTheEnd()
{
    return QStringLiteral("data after the end of the compressed image data");
}

QString endsEarly()
{
    return QStringLiteral("the file ends early");
}

struct Chunk {
    std::uint32_t type = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;

    QString name() const
    {
        const char letters[] = {static_cast<char>(type >> 24), static_cast<char>(type >> 16),
                                static_cast<char>(type >> 8), static_cast<char>(type)};
        return QString::fromLatin1(letters, 4);
    }
    // Whether a decoder that does not know the chunk has to give up on the file: its name starts with a capital.
    bool isCritical() const { return (type & 0x20000000u) == 0; }
};

// The file's chunks one after another, each checked against its CRC before it is handed out.
class Chunks {
public:
    Chunks(const QByteArray& file, qsizetype at)
        : m_file(reinterpret_cast<const std::uint8_t*>(file.constData()))
        , m_size(static_cast<std::size_t>(file.size()))
        , m_at(static_cast<std::size_t>(at))
    {}

    // False on a chunk that is damaged or cut short, with the reason in `error`.
    bool next(Chunk& chunk, QString* error)
    {
        if (m_size - m_at < 8) {
            *error = endsEarly();
            return false;
        }
        const std::uint8_t* start = m_file + m_at;
        chunk.length = bigEndian(start);
        chunk.type = bigEndian(start + 4);
        chunk.data = start + 8;
        const bool letters = std::all_of(
            start + 4, start + 8, [](std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
        if (!letters || chunk.length > 0x7fffffffu) {
            *error = QStringLiteral("a damaged chunk header");
            return false;
        }
        if (m_size - m_at - 8 < std::size_t{chunk.length} + 4) {
            *error = endsEarly();
            return false;
        }
        const uLong crc = crc32(crc32(0, nullptr, 0), start + 4, chunk.length + 4);
        if (crc != bigEndian(chunk.data + chunk.length)) {
            *error = QStringLiteral("%1: CRC error").arg(chunk.name());
            return false;
        }
        m_at += std::size_t{chunk.length} + 12;
        return true;
    }

private:
    const std::uint8_t* m_file;
    std::size_t m_size;
    std::size_t m_at;
};

// The inflated image data, taken from the IDAT chunks as they come; then the chunks after it, up to IEND.
class ImageData {
public:
    explicit ImageData(Chunks& chunks)
        : m_chunks(chunks)
    {}
    ImageData(const ImageData&) = delete;
    ImageData& operator=(const ImageData&) = delete;
    ~ImageData()
    {
        if (m_started) {
            inflateEnd(&m_stream);
        }
    }

    bool start(QString* error)
    {
        if (inflateInit(&m_stream) != Z_OK) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        m_started = true;
        // The checksum of the inflated data costs a tenth of the decoding; every chunk's CRC covers the same bytes.
        inflateValidate(&m_stream, 0);
        return true;
    }

    // The next `size` bytes of the image data into `out`.
    bool fill(std::uint8_t* out, std::size_t size, QString* error)
    {
        m_stream.next_out = out;
        m_stream.avail_out = static_cast<uInt>(size);
        while (m_stream.avail_out > 0) {
            if (m_ended) {
                *error = QStringLiteral("the image data ends early");
                return false;
            }
            if (!step(error)) {
                return false;
            }
        }
        return true;
    }

    // After the last row: the image data has to end there, and the file with an IEND chunk.
    bool finish(QString* error)
    {
        std::uint8_t spare = 0;
        while (!m_ended) {
            m_stream.next_out = &spare;
            m_stream.avail_out = 1;
            if (!step(error)) {
                return false;
            }
            if (m_stream.avail_out == 0) {
                *error = QStringLiteral("the image data holds more than the picture's rows");
                return false;
            }
        }
        if (m_stream.avail_in > 0) {
            *error = dataAfterTheEnd();
            return false;
        }
        for (;;) {
            Chunk chunk;
            if (!m_chunks.next(chunk, error)) {
                return false;
            }
            if (chunk.type == kEnd) {
                return true;
            }
            // Empty IDAT chunks change nothing, and ancillary chunks after the image data (text, a time) are not
            // needed for the picture.
            if (chunk.type == kImageData && chunk.length > 0) {
                *error = dataAfterTheEnd();
                return false;
            }
            if (chunk.type != kImageData && chunk.isCritical()) {
                *error = QStringLiteral("%1: out of place").arg(chunk.name());
                return false;
            }
        }
    }

private:
    // One call to zlib, with the next IDAT chunk's data when it has used up the last one's.
    bool step(QString* error)
    {
        while (m_stream.avail_in == 0) {
            Chunk chunk;
            if (!m_chunks.next(chunk, error)) {
                return false;
            }
            if (chunk.type != kImageData) {
                *error = QStringLiteral("the image data ends early");
                return false;
            }
            m_stream.next_in = const_cast<Bytef*>(chunk.data);
            m_stream.avail_in = chunk.length;
        }
        const int status = inflate(&m_stream, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            m_ended = true;
        } else if (status != Z_OK) {
            *error = QStringLiteral("damaged image data: %1")
                         .arg(QString::fromLatin1(m_stream.msg != nullptr ? m_stream.msg : "zlib error"));
            return false;
        }
        return true;
    }

    Chunks& m_chunks;
    z_stream m_stream{};
    bool m_started = false;
    bool m_ended = false;
};

} // namespace

bool readPlainRows(const QByteArray& file, qsizetype at, int channels, QImage& image, QString* error)
{
    Chunks chunks(file, at);
    ImageData data(chunks);
    PngRows rows(channels, static_cast<std::size_t>(image.width()));
    if (!rows.isValid()) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    if (!data.start(error)) {
        return false;
    }
    const auto height = static_cast<std::size_t>(image.height());
    const std::size_t lineBytes = rows.lineBytes();
    const std::size_t rowsAtATime = std::clamp<std::size_t>(kInflatedAtATime / lineBytes, 1, height);
    // Left as they are until the image data fills them, so that a file that claims a large picture costs only as much
    // memory as its data fills. One byte more: the last 3-byte pixel is read as four bytes.
    const std::size_t linesBytes = rowsAtATime * lineBytes + 1;
    const auto lines = std::make_unique_for_overwrite<std::uint8_t[]>(linesBytes);
    lines[linesBytes - 1] = 0;
    const qsizetype stride = image.bytesPerLine();
    for (std::size_t y = 0; y < height; y += rowsAtATime) {
        const std::size_t count = std::min(rowsAtATime, height - y);
        if (!data.fill(lines.get(), count * lineBytes, error)) {
            return false;
        }
        const std::size_t decoded = rows.decode(lines.get(), count, image.scanLine(static_cast<int>(y)), stride);
        if (decoded < count) {
            *error = QStringLiteral("row %1 has an unknown filter type, %2")
                         .arg(y + decoded)
                         .arg(lines[decoded * lineBytes]);
            return false;
        }
    }
    return data.finish(error);
}
