#include "platform/screen/portal/PngRows.h"

#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

enum Filter : std::uint8_t { None, Sub, Up, Average, Paeth };

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

PngRows::PngRows(int channels, std::size_t width)
    : m_channels(channels)
    , m_width(width)
    , m_blank(static_cast<std::uint8_t*>(std::calloc(width, 4)))
    , m_above(m_blank.get())
{}

std::size_t PngRows::lineBytes() const
{
    return 1 + m_width * static_cast<std::size_t>(m_channels);
}

std::size_t PngRows::decode(const std::uint8_t* lines, std::size_t count, std::uint8_t* out, std::ptrdiff_t stride)
{
    const Unfilter* unfilters = m_channels == 3 ? kUnfilters<3> : kUnfilters<4>;
    const auto pairs = m_channels == 3 ? unfilterPaethPair<3> : unfilterPaethPair<4>;
    const std::size_t lineBytes = this->lineBytes();
    for (std::size_t row = 0; row < count; ++row, lines += lineBytes, out += stride) {
        if (lines[0] > Paeth) {
            return row;
        }
        // Screenshots have Paeth on nearly every row.
        const std::uint8_t* next = lines + lineBytes;
        if (lines[0] == Paeth && row + 1 < count && next[0] == Paeth) {
            pairs(lines + 1, next + 1, m_above, out, out + stride, m_width);
            m_above = out + stride;
            ++row;
            lines += lineBytes;
            out += stride;
            continue;
        }
        unfilters[lines[0]](lines + 1, m_above, out, m_width);
        m_above = out;
    }
    return count;
}
