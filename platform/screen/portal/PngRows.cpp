#include "platform/screen/portal/PngRows.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <zlib.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Rows inflated at a time: enough that zlib spends most of its time in its fast loop, which needs room for a whole
// match, and few enough that they stay in the cache until they are unfiltered.
constexpr std::size_t kRowsAtATime = 8;

enum Filter : std::uint8_t { None, Sub, Up, Average, Paeth };

constexpr std::uint32_t chunkType(const char (&name)[5])
{
    return std::uint32_t{static_cast<std::uint8_t>(name[0])} << 24 |
           std::uint32_t{static_cast<std::uint8_t>(name[1])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(name[2])} << 8 | std::uint32_t{static_cast<std::uint8_t>(name[3])};
}

constexpr std::uint32_t kImageData = chunkType("IDAT");
constexpr std::uint32_t kEnd = chunkType("IEND");

std::uint32_t bigEndian(const std::uint8_t* at)
{
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | std::uint32_t{at[3]};
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

// Each filter works on each channel alone, with neighbours at the same channel: the left pixel, the one above and
// the one above left. Those are taken from the picture's rows as already written, in B, G, R order; only the distance
// to the left neighbour differs between the file (Bpp bytes) and the picture (4). The file's alpha, when it has one,
// is decoded along with the colour but never stored: no colour depends on it.

#ifdef __SSE2__

__m128i load(const std::uint8_t* at)
{
    std::int32_t word = 0;
    std::memcpy(&word, at, 4);
    return _mm_cvtsi32_si128(word);
}

void store(std::uint8_t* at, __m128i pixel)
{
    const std::int32_t word = _mm_cvtsi128_si32(pixel);
    std::memcpy(at, &word, 4);
}

// The file's pixel at `in` as B, G, R, 0 in 8-bit lanes. Reads four bytes: for 3-byte pixels, the next one's red, or
// past the end of the row.
__m128i bgr(const std::uint8_t* in)
{
    std::uint32_t word = 0;
    std::memcpy(&word, in, 4);
    return _mm_cvtsi32_si128(static_cast<std::int32_t>(__builtin_bswap32(word << 8)));
}

// Lane by lane `when ? then : otherwise`, `when` being all ones or all zeros in each lane.
__m128i select(__m128i when, __m128i then, __m128i otherwise)
{
    return _mm_or_si128(_mm_and_si128(when, then), _mm_andnot_si128(when, otherwise));
}

template <int Bpp, Filter Kind>
void unfilter(const std::uint8_t* in, const std::uint8_t* above, std::uint8_t* out, std::size_t width)
{
    const __m128i opaque = _mm_cvtsi32_si128(static_cast<std::int32_t>(0xff000000u));
    const __m128i lowBit = _mm_set1_epi8(1);
    __m128i left = _mm_setzero_si128();
    for (std::size_t x = 0; x < width; ++x, in += Bpp, above += 4, out += 4) {
        __m128i pixel = bgr(in);
        if constexpr (Kind == Sub) {
            pixel = _mm_add_epi8(pixel, left);
        } else if constexpr (Kind == Up) {
            pixel = _mm_add_epi8(pixel, load(above));
        } else if constexpr (Kind == Average) {
            // The mean rounded down; pavgb rounds it up.
            const __m128i up = load(above);
            const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(left, up), _mm_and_si128(_mm_xor_si128(left, up), lowBit));
            pixel = _mm_add_epi8(pixel, mean);
        }
        left = pixel;
        store(out, _mm_or_si128(pixel, opaque));
    }
}

// Paeth's predictor is whichever of left, up and upper left is nearest to left + up - upper left, ties going to
// left, then up. The same pick, with fewer steps waiting on the left neighbour that the previous pixel gives: with
// lo and hi the smaller and larger of left and up, and t = 3 upper left - left - up, it is hi when t <= lo, lo
// when t >= hi, and upper left otherwise (the two agree on every one of the 2^24 triples). 16-bit lanes; the
// pixel's value, within 0 to 255.
__m128i paeth(__m128i pixel, __m128i left, __m128i up, __m128i upperLeft)
{
    const __m128i t =
        _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(upperLeft, _mm_add_epi16(upperLeft, upperLeft)), up), left);
    const __m128i lo = _mm_min_epi16(left, up);
    const __m128i hi = _mm_max_epi16(left, up);
    const __m128i nearest = select(_mm_cmpgt_epi16(t, lo), select(_mm_cmpgt_epi16(hi, t), upperLeft, lo), hi);
    return _mm_and_si128(_mm_add_epi16(pixel, nearest), _mm_set1_epi16(0xff));
}

__m128i widened(__m128i bytes)
{
    return _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
}

template <int Bpp>
void unfilterPaeth(const std::uint8_t* in, const std::uint8_t* above, std::uint8_t* out, std::size_t width)
{
    const __m128i opaque = _mm_cvtsi32_si128(static_cast<std::int32_t>(0xff000000u));
    __m128i left = _mm_setzero_si128();
    __m128i upperLeft = _mm_setzero_si128();
    for (std::size_t x = 0; x < width; ++x, in += Bpp, above += 4, out += 4) {
        const __m128i up = widened(load(above));
        left = paeth(widened(bgr(in)), left, up, upperLeft);
        upperLeft = up;
        store(out, _mm_or_si128(_mm_packus_epi16(left, left), opaque));
    }
}

// Two rows under Paeth at once, the lower one (`in2`, `out2`) a pixel behind the upper one, so that its pixel's
// neighbours above are decoded by then. Each step decodes a pixel of each, the two sharing one register, so the
// steps that wait on the left neighbour serve two pixels: in the low half the upper row's pixel x, in the high half
// the lower row's pixel x - 1. The first step's high half and the last step's low half are outside the rows: their
// inputs are zeros, and the first gives the zero that the lower row's first pixel takes for its left neighbour.
template <int Bpp>
void unfilterPaethPair(const std::uint8_t* in, const std::uint8_t* in2, const std::uint8_t* above, std::uint8_t* out,
                       std::uint8_t* out2, std::size_t width)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i opaque = _mm_set1_epi32(static_cast<std::int32_t>(0xff000000u));
    __m128i done = zero;
    __m128i upperLeft = zero;
    const auto step = [&](__m128i pixel, __m128i upper, __m128i pixel2) {
        const __m128i up = _mm_unpacklo_epi64(widened(upper), done);
        done = paeth(_mm_unpacklo_epi64(widened(pixel), widened(pixel2)), done, up, upperLeft);
        upperLeft = up;
        return _mm_or_si128(_mm_packus_epi16(done, done), opaque);
    };
    store(out, step(bgr(in), load(above), zero));
    for (std::size_t x = 1; x < width; ++x) {
        const __m128i pixels = step(bgr(in + x * Bpp), load(above + x * 4), bgr(in2 + (x - 1) * Bpp));
        store(out + x * 4, pixels);
        store(out2 + (x - 1) * 4, _mm_srli_si128(pixels, 4));
    }
    store(out2 + (width - 1) * 4, _mm_srli_si128(step(zero, zero, bgr(in2 + (width - 1) * Bpp)), 4));
}

#else

std::uint8_t paethPredictor(int left, int up, int upperLeft)
{
    const int guess = left + up - upperLeft;
    const int toLeft = std::abs(guess - left);
    const int toUp = std::abs(guess - up);
    const int toUpperLeft = std::abs(guess - upperLeft);
    if (toLeft <= toUp && toLeft <= toUpperLeft) {
        return static_cast<std::uint8_t>(left);
    }
    return static_cast<std::uint8_t>(toUp <= toUpperLeft ? up : upperLeft);
}

template <int Bpp, Filter Kind>
void unfilter(const std::uint8_t* in, const std::uint8_t* above, std::uint8_t* out, std::size_t width)
{
    for (std::size_t x = 0; x < width; ++x, in += Bpp, above += 4, out += 4) {
        for (int channel = 0; channel < 3; ++channel) {
            // The file's red, green and blue go to the picture's bytes 2, 1 and 0.
            const int to = 2 - channel;
            const int left = x > 0 ? out[to - 4] : 0;
            const int upperLeft = x > 0 ? above[to - 4] : 0;
            int predicted = 0;
            if constexpr (Kind == Sub) {
                predicted = left;
            } else if constexpr (Kind == Up) {
                predicted = above[to];
            } else if constexpr (Kind == Average) {
                predicted = (left + above[to]) / 2;
            } else if constexpr (Kind == Paeth) {
                predicted = paethPredictor(left, above[to], upperLeft);
            }
            out[to] = static_cast<std::uint8_t>(in[channel] + predicted);
        }
        out[3] = 0xff;
    }
}

template <int Bpp>
void unfilterPaeth(const std::uint8_t* in, const std::uint8_t* above, std::uint8_t* out, std::size_t width)
{
    unfilter<Bpp, Paeth>(in, above, out, width);
}

template <int Bpp>
void unfilterPaethPair(const std::uint8_t* in, const std::uint8_t* in2, const std::uint8_t* above, std::uint8_t* out,
                       std::uint8_t* out2, std::size_t width)
{
    unfilter<Bpp, Paeth>(in, above, out, width);
    unfilter<Bpp, Paeth>(in2, out, out2, width);
}

#endif

using Unfilter = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t);

template <int Bpp>
constexpr Unfilter kUnfilters[] = {unfilter<Bpp, None>, unfilter<Bpp, Sub>, unfilter<Bpp, Up>, unfilter<Bpp, Average>,
                                   unfilterPaeth<Bpp>};

} // namespace

bool PngRows::read(const QByteArray& file, qsizetype at, int channels, QImage& image, QString* error)
{
    Chunks chunks(file, at);
    ImageData data(chunks);
    if (!data.start(error)) {
        return false;
    }
    const auto width = static_cast<std::size_t>(image.width());
    const auto height = static_cast<std::size_t>(image.height());
    const std::size_t lineBytes = 1 + width * static_cast<std::size_t>(channels);
    const std::size_t rowsAtATime = std::min(kRowsAtATime, height);
    // Left as they are until the image data fills them, so that a file that claims a large picture costs only as much
    // memory as its data fills. One byte more: the last 3-byte pixel is read as four bytes.
    const std::size_t linesBytes = rowsAtATime * lineBytes + 1;
    const auto lines = std::make_unique_for_overwrite<std::uint8_t[]>(linesBytes);
    lines[linesBytes - 1] = 0;
    // What the first row's filter takes for the row above: zeros that need no memory of their own until read.
    const std::unique_ptr<std::uint8_t, decltype(&std::free)> blank(static_cast<std::uint8_t*>(std::calloc(width, 4)),
                                                                    &std::free);
    if (!blank) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    const Unfilter* unfilters = channels == 3 ? kUnfilters<3> : kUnfilters<4>;
    const auto pairs = channels == 3 ? unfilterPaethPair<3> : unfilterPaethPair<4>;
    const std::uint8_t* above = blank.get();
    std::uint8_t* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    for (std::size_t y = 0; y < height; y += rowsAtATime) {
        const std::size_t rows = std::min(rowsAtATime, height - y);
        if (!data.fill(lines.get(), rows * lineBytes, error)) {
            return false;
        }
        for (std::size_t row = 0; row < rows; ++row) {
            const std::uint8_t* line = lines.get() + row * lineBytes;
            if (line[0] > Paeth) {
                *error = QStringLiteral("row %1 has an unknown filter type, %2").arg(y + row).arg(line[0]);
                return false;
            }
            std::uint8_t* out = bits + static_cast<std::ptrdiff_t>(y + row) * stride;
            // Screenshots have Paeth on nearly every row.
            const std::uint8_t* next = line + lineBytes;
            if (line[0] == Paeth && row + 1 < rows && next[0] == Paeth) {
                pairs(line + 1, next + 1, above, out, out + stride, width);
                above = out + stride;
                ++row;
                continue;
            }
            unfilters[line[0]](line + 1, above, out, width);
            above = out;
        }
    }
    return data.finish(error);
}
