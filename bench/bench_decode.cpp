// Decoding the portal's screenshot, the part of a Wayland launch that the program adds to the portal's round trip:
// the PNG decoder the program uses (straight into the picture: libpng for the header, and for RGB and RGBA files its
// own inflating a few rows at a time and row filters fused with the byte order) beside Qt's reader, and the inflating
// of the compressed data alone, which every PNG decoder built on zlib pays whatever else it does. Needs no display.
// Usage: bench_decode [runs [file.png...]]; without files it decodes busy and plain desktops of 1920x1080 and
// 3840x2160 as Qt writes them.
#include "bench/SyntheticScreen.h"
#include "bench/Timing.h"
#include "platform/screen/portal/PngDecoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <zlib.h>

namespace {

struct Times {
    std::vector<double> runs;
    double best() const { return bench::fastestOf(runs); }
    double median() const { return bench::medianOf(runs); }
};

// What the program did before: Qt's reader, then a conversion where the file's kind does not give 32-bit pixels.
QImage decodeWithQt(const QByteArray& data)
{
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImageReader::setAllocationLimit(1024);
    QImage image = reader.read();
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_RGB32);
    }
    return image;
}

// The image data of a non-interlaced PNG: its compressed stream, and the size it inflates to. Empty for other files.
struct Compressed {
    QByteArray stream;
    uLongf inflatedSize = 0;
};

Compressed compressedData(const QByteArray& png)
{
    Compressed data;
    if (png.size() < 33 || png.at(28) != 0) {
        return data;
    }
    const auto word = [&](qsizetype at) { return qFromBigEndian<quint32>(png.constData() + at); };
    static const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    const int colourType = static_cast<unsigned char>(png.at(25));
    const quint64 rowBytes = (quint64{word(16)} * channels[std::min(colourType, 6)] * png.at(24) + 7) / 8;
    data.inflatedSize = static_cast<uLongf>((rowBytes + 1) * word(20));
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const qsizetype length = word(at);
        if (png.mid(at + 4, 4) == "IDAT") {
            data.stream += png.mid(at + 8, length);
        }
        at += 12 + length;
    }
    return data;
}

bool samePixels(const QImage& ours, const QImage& qt)
{
    if (ours.size() != qt.size()) {
        return false;
    }
    for (int y = 0; y < ours.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(ours.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(qt.constScanLine(y));
        for (int x = 0; x < ours.width(); ++x) {
            if ((a[x] & 0xffffff) != (b[x] & 0xffffff)) {
                return false;
            }
        }
    }
    return true;
}

void measure(const QString& name, const QByteArray& png, int runs)
{
    const Compressed compressed = compressedData(png);
    std::vector<Bytef> inflated(compressed.inflatedSize);
    Times qt, ours, inflate;
    QImage last, lastQt;
    for (int i = 0; i < runs + 1; ++i) {
        const double q = bench::millisecondsOf([&] { lastQt = decodeWithQt(png); });
        const double o = bench::millisecondsOf([&] {
            QString error;
            last = PngDecoder::decode(png, &error);
        });
        const double z = bench::millisecondsOf([&] {
            uLongf size = compressed.inflatedSize;
            if (!compressed.stream.isEmpty()) {
                uncompress(inflated.data(), &size, reinterpret_cast<const Bytef*>(compressed.stream.constData()),
                           static_cast<uLong>(compressed.stream.size()));
            }
        });
        if (i == 0) {
            continue; // warm-up
        }
        qt.runs.push_back(q);
        ours.runs.push_back(o);
        inflate.runs.push_back(z);
    }
    std::printf("%s: %d x %d, %.0f KiB; fastest of %d (medians)\n", qPrintable(name), last.width(), last.height(),
                png.size() / 1024.0, runs);
    std::printf("  decoding into the picture: ours %.1f ms (%.1f), Qt's reader %.1f ms (%.1f): %.2fx; same pixels: "
                "%s\n",
                ours.best(), ours.median(), qt.best(), qt.median(), ours.best() / qt.best(),
                samePixels(last, lastQt) ? "yes" : "NO");
    if (!compressed.stream.isEmpty()) {
        std::printf("  zlib inflating the image data alone (whole, with its checksum): %.1f ms (%.1f), %.0f%% of our "
                    "time; the rest (header, row filters, byte order, chunk CRCs) %.1f ms\n",
                    inflate.best(), inflate.median(), 100 * inflate.best() / ours.best(), ours.best() - inflate.best());
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 11;
    if (argc > 2) {
        for (int i = 2; i < argc; ++i) {
            QFile file(QString::fromLocal8Bit(argv[i]));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            measure(file.fileName(), file.readAll(), runs);
        }
        return 0;
    }
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        // A busy desktop, and a plain one like the test session's: a flat backdrop with one window on it.
        const Picture screen = bench::syntheticScreen(width, height);
        const QImage busy = screen.view();
        QImage plain(width, height, QImage::Format_RGB32);
        plain.fill(qRgb(40, 90, 125));
        for (int y = height / 3; y < height / 3 + 300; ++y) {
            std::fill_n(reinterpret_cast<QRgb*>(plain.scanLine(y)) + width / 3, 536,
                        y % 18 < 12 ? 0xfff0f0f0 : 0xff202020);
        }
        for (const auto& [kind, picture] :
             {std::pair{"busy", &busy}, std::pair{"plain", static_cast<const QImage*>(&plain)}}) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            picture->save(&buffer, "PNG");
            measure(QStringLiteral("%1 desktop %2x%3 as Qt writes it").arg(QLatin1String(kind)).arg(width).arg(height),
                    png, runs);
        }
    }
    return 0;
}
