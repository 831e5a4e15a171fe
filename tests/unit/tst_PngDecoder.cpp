#include "platform/screen/portal/PngDecoder.h"
#include "support/TestFiles.h"

#include <QBuffer>
#include <QImage>
#include <QTest>
#include <QtEndian>

#include <cstdlib>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// While guardNext is set on a thread, the next array it allocates ends right before a page that cannot be read, so
// that a read past its end (a row buffer without its spare byte) crashes the test in any build, not only under a
// sanitizer that happens to see it.
thread_local bool guardNext = false;
struct Guarded {
    void* mapping = nullptr;
    std::size_t bytes = 0;
    void* array = nullptr;
} guarded;

// A small desktop: gradients, dark strokes like text, and a translucent band along the bottom.
QImage desktop(QImage::Format format)
{
    QImage image(67, 43, QImage::Format_RGBA64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            // 16-bit values that are not 8-bit ones widened, so that rounding them down to 8 bits is seen.
            const auto sample = [](int eight, int extra) { return static_cast<quint16>(eight * 257 + extra); };
            QRgba64 colour = QRgba64::fromRgba64(sample(20 + x * 3, 131), sample(200 - y * 4, 97),
                                                 sample((x * y) % 255, x * 3), y >= 30 ? sample(96 + x, 0) : 65535);
            if (y > 8 && y < 20 && (x / 2 + y) % 3 == 0)
                colour = QRgba64::fromRgba64(4112, 4112, 4200, 65535);
            image.setPixelColor(x, y, QColor::fromRgba64(colour));
        }
    return image.convertToFormat(format);
}

QByteArray savedByQt(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

struct Header {
    int depth = 0;
    int colourType = 0;
    bool interlaced = false;
};

Header headerOf(const QByteArray& png)
{
    return {static_cast<unsigned char>(png.at(24)), static_cast<unsigned char>(png.at(25)), png.at(28) != 0};
}

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// `png` with the IHDR's size replaced, its checksum made right again.
QByteArray withSize(QByteArray png, quint32 width, quint32 height)
{
    qToBigEndian(width, png.data() + 16);
    qToBigEndian(height, png.data() + 20);
    qToBigEndian(crc32(png.mid(12, 17)), png.data() + 29);
    return png;
}

// A chunk as the file holds it: length, type, data and CRC.
QByteArray chunk(const char* type, const QByteArray& data)
{
    QByteArray bytes(4, 0);
    qToBigEndian(static_cast<quint32>(data.size()), bytes.data());
    bytes += QByteArray(type) + data;
    QByteArray crc(4, 0);
    qToBigEndian(crc32(bytes.mid(4)), crc.data());
    return bytes + crc;
}

// `png` with a chunk put in after its header.
QByteArray withChunk(const QByteArray& png, const char* type, const QByteArray& data)
{
    return png.left(33) + chunk(type, data) + png.mid(33);
}

// The rows of `image` as an 8-bit RGB (3 channels) or RGBA (4) file holds them before compression, every row with
// the same filter: 0 none, 1 sub, 2 up, 3 average, 4 Paeth.
QByteArray filteredRows(const QImage& image, int filter, int channels)
{
    const auto paeth = [](int left, int up, int upperLeft) {
        const int guess = left + up - upperLeft;
        const int toLeft = qAbs(guess - left), toUp = qAbs(guess - up), toUpperLeft = qAbs(guess - upperLeft);
        return toLeft <= toUp && toLeft <= toUpperLeft ? left : toUp <= toUpperLeft ? up : upperLeft;
    };
    QByteArray rows;
    QByteArray above(image.width() * channels, '\0');
    for (int y = 0; y < image.height(); ++y) {
        QByteArray row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const char samples[] = {char(qRed(pixel)), char(qGreen(pixel)), char(qBlue(pixel)), char(qAlpha(pixel))};
            row += QByteArray(samples, channels);
        }
        rows += char(filter);
        for (int i = 0; i < row.size(); ++i) {
            const int left = i >= channels ? quint8(row[i - channels]) : 0;
            const int up = quint8(above[i]);
            const int upperLeft = i >= channels ? quint8(above[i - channels]) : 0;
            const int predicted[] = {0, left, up, (left + up) / 2, paeth(left, up, upperLeft)};
            rows += char(row[i] - predicted[filter]);
        }
        above = row;
    }
    return rows;
}

// An 8-bit RGB or RGBA file of `rows` as filteredRows() gives them.
QByteArray plainPng(QSize size, int channels, const QByteArray& rows)
{
    QByteArray header(13, '\0');
    qToBigEndian(static_cast<quint32>(size.width()), header.data());
    qToBigEndian(static_cast<quint32>(size.height()), header.data() + 4);
    header[8] = 8;
    header[9] = channels == 3 ? 2 : 6;
    // qCompress() puts the inflated size before the zlib stream.
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", qCompress(rows).mid(4)) +
           chunk("IEND", {});
}

} // namespace

void* operator new[](std::size_t bytes)
{
    if (!guardNext || guarded.array != nullptr) {
        if (void* array = std::malloc(bytes == 0 ? 1 : bytes))
            return array;
        throw std::bad_alloc();
    }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t total = (bytes + page - 1) / page * page + page;
    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        throw std::bad_alloc();
    char* guard = static_cast<char*>(mapping) + total - page;
    if (mprotect(guard, page, PROT_NONE) != 0)
        std::abort();
    guarded = {mapping, total, guard - bytes};
    return guarded.array;
}

void operator delete[](void* array) noexcept
{
    if (array != nullptr && array == guarded.array) {
        munmap(guarded.mapping, guarded.bytes);
        guarded = {};
        return;
    }
    std::free(array);
}

void operator delete[](void* array, std::size_t /*bytes*/) noexcept
{
    operator delete[](array);
}

class TestPngDecoder : public QObject {
    Q_OBJECT
private slots:
    void decodesAsQtDoes_data();
    void decodesAsQtDoes();
    void badFilesAreRefused_data();
    void badFilesAreRefused();
    void memoryGivenIsUsedOnlyWhenItFits();
};

void TestPngDecoder::decodesAsQtDoes_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("colourType"); // 0 gray, 2 RGB, 3 palette, 4 gray and alpha, 6 RGBA
    QTest::addColumn<bool>("interlaced");
    const auto qt = [](const char* name, QImage::Format format, int depth, int colourType) {
        QTest::newRow(name) << savedByQt(desktop(format)) << depth << colourType << false;
    };
    qt("Qt: RGB", QImage::Format_RGB32, 8, 2);
    qt("Qt: RGBA", QImage::Format_ARGB32, 8, 6);
    qt("Qt: paletted", QImage::Format_Indexed8, 8, 3);
    qt("Qt: 1-bit", QImage::Format_Mono, 1, 3);
    qt("Qt: gray", QImage::Format_Grayscale8, 8, 0);
    qt("Qt: 16-bit gray", QImage::Format_Grayscale16, 16, 0);
    qt("Qt: 16-bit RGB", QImage::Format_RGBX64, 16, 2);
    qt("Qt: 16-bit RGBA", QImage::Format_RGBA64, 16, 6);

    // Written by ImageMagick from the same kind of picture.
    const auto file = [](const char* name, const char* file, int depth, int colourType, bool interlaced) {
        QTest::newRow(name) << readFileBytes(QStringLiteral(QUOSH_PNG_SAMPLES "/") + QLatin1String(file)) << depth
                            << colourType << interlaced;
    };
    file("ImageMagick: RGB", "rgb.png", 8, 2, false);
    file("ImageMagick: RGB with gamma, chromaticity and text", "rgb-gamma-profile.png", 8, 2, false);
    file("ImageMagick: RGBA", "rgba.png", 8, 6, false);
    file("ImageMagick: paletted with transparency", "palette-transparent.png", 8, 3, false);
    file("ImageMagick: 4-bit palette", "palette-4bit.png", 4, 3, false);
    file("ImageMagick: 1-bit gray", "gray-1bit.png", 1, 0, false);
    file("ImageMagick: 2-bit gray", "gray-2bit.png", 2, 0, false);
    file("ImageMagick: 4-bit gray", "gray-4bit.png", 4, 0, false);
    file("ImageMagick: gray", "gray.png", 8, 0, false);
    file("ImageMagick: gray and alpha", "gray-alpha.png", 8, 4, false);
    file("ImageMagick: 16-bit gray", "gray-16bit.png", 16, 0, false);
    file("ImageMagick: 16-bit RGB", "rgb-16bit.png", 16, 2, false);
    file("ImageMagick: 16-bit RGBA", "rgba-16bit.png", 16, 6, false);
    file("ImageMagick: interlaced RGB", "rgb-interlaced.png", 8, 2, true);
    // The top left pixel's colour made transparent: dropped as alpha is.
    const QByteArray rgb = readFileBytes(QStringLiteral(QUOSH_PNG_SAMPLES "/rgb.png"));
    const QRgb corner = QImage::fromData(rgb, "PNG").pixel(0, 0);
    QByteArray key(6, '\0');
    key[1] = static_cast<char>(qRed(corner));
    key[3] = static_cast<char>(qGreen(corner));
    key[5] = static_cast<char>(qBlue(corner));
    QTest::newRow("ImageMagick: RGB with a transparent colour") << withChunk(rgb, "tRNS", key) << 8 << 2 << false;
    file("ImageMagick: interlaced 16-bit RGBA", "rgba-16bit-interlaced.png", 16, 6, true);
    // A screenshot that sway's portal wrote of a test desktop: 1920 x 1080, Paeth on nearly every row.
    file("sway's portal: RGB", "sway-portal.png", 8, 2, false);

    // Every row with one filter, in files as narrow as the pixel loops' ends meet; the rows above the first are zeros.
    const QImage picture = desktop(QImage::Format_ARGB32);
    for (const int channels : {3, 4})
        for (const int width : {1, 7})
            for (const auto& [filter, name] : {std::pair{0, "none"}, std::pair{1, "sub"}, std::pair{2, "up"},
                                               std::pair{3, "average"}, std::pair{4, "Paeth"}}) {
                const QImage part = picture.copy(30, 0, width, picture.height());
                QTest::addRow("%s, width %d, %s", channels == 3 ? "RGB" : "RGBA", width, name)
                    << plainPng(part.size(), channels, filteredRows(part, filter, channels)) << 8
                    << (channels == 3 ? 2 : 6) << false;
            }
}

// Every pixel's colour exactly as Qt's own decoder gives it, alpha dropped: the screen has no transparency.
void TestPngDecoder::decodesAsQtDoes()
{
    QFETCH(QByteArray, png);
    QFETCH(int, depth);
    QFETCH(int, colourType);
    QFETCH(bool, interlaced);
    QVERIFY(PngDecoder::recognises(png));
    const Header header = headerOf(png);
    QCOMPARE(header.depth, depth);
    QCOMPARE(header.colourType, colourType);
    QCOMPARE(header.interlaced, interlaced);

    QString error;
    guardNext = true;
    const QImage decoded = PngDecoder::decode(png, &error);
    guardNext = false;
    QCOMPARE(error, QString());
    const QImage expected = QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(decoded.format(), QImage::Format_RGB32);
    QCOMPARE(decoded.size(), expected.size());
    for (int y = 0; y < decoded.height(); ++y) {
        const auto* ours = reinterpret_cast<const QRgb*>(decoded.constScanLine(y));
        const auto* theirs = reinterpret_cast<const QRgb*>(expected.constScanLine(y));
        for (int x = 0; x < decoded.width(); ++x) {
            if (ours[x] != (theirs[x] | 0xff000000u))
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2): %3, Qt %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(ours[x], 8, 16, QLatin1Char('0'))
                                     .arg(theirs[x], 8, 16, QLatin1Char('0'))));
        }
    }
}

void TestPngDecoder::badFilesAreRefused_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<QString>("error");
    const QByteArray good = savedByQt(desktop(QImage::Format_RGB32));
    const QString endsEarly = QStringLiteral("the file ends early");
    QTest::newRow("the signature alone") << good.left(8) << endsEarly;
    QTest::newRow("cut short in the image data") << good.left(good.size() / 2) << endsEarly;
    // The image data's own checksum is not checked, its chunk's is; where the decoder notices first depends on the
    // byte, so any reason will do.
    QByteArray damaged = good;
    const qsizetype inImageData = good.indexOf("IDAT") + 100;
    damaged[inImageData] = static_cast<char>(damaged.at(inImageData) ^ 0x10);
    QTest::newRow("a byte of the image data changed") << damaged << QString();
    QTest::newRow("0 x 0 pixels") << withSize(good, 0, 0) << QStringLiteral("Invalid IHDR data");
    QTest::newRow("no IEND") << good.left(good.size() - 12) << endsEarly;
    const QImage picture = desktop(QImage::Format_RGB32).copy(0, 0, 7, 10);
    const QByteArray rows = filteredRows(picture, 4, 3);
    const qsizetype rowBytes = 1 + 7 * 3;
    QTest::newRow("filter type 5") << plainPng(picture.size(), 3, QByteArray(rows).replace(rowBytes * 2, 1, "\x05"))
                                   << QStringLiteral("row 2 has an unknown filter type, 5");
    QTest::newRow("image data one byte short")
        << plainPng(picture.size(), 3, rows.chopped(1)) << QStringLiteral("the image data ends early");
    QTest::newRow("image data with a row too many")
        << plainPng(picture.size(), 3, rows + rows.right(rowBytes))
        << QStringLiteral("the image data holds more than the picture's rows");
    // Refused before anything is allocated for it.
    QTest::newRow("too large to decode") << withSize(good, 40000, 40000)
                                         << QStringLiteral("40000 x 40000 pixels take more than 1024 MB");
    // Within the limit as a count of pixels, but not as bytes: four of them a pixel.
    QTest::newRow("too large at four bytes a pixel")
        << withSize(good, 20000, 20000) << QStringLiteral("20000 x 20000 pixels take more than 1024 MB");
}

void TestPngDecoder::badFilesAreRefused()
{
    QFETCH(QByteArray, png);
    QFETCH(QString, error);
    QString reason;
    QVERIFY(PngDecoder::decode(png, &reason).isNull());
    if (error.isEmpty())
        QVERIFY(!reason.isEmpty());
    else
        QCOMPARE(reason, error);
}

void TestPngDecoder::memoryGivenIsUsedOnlyWhenItFits()
{
    const QByteArray png = savedByQt(desktop(QImage::Format_RGB32));
    QString error;
    const QImage expected = PngDecoder::decode(png, &error);
    QImage fits(expected.size(), QImage::Format_RGB32);
    const uchar* memory = fits.constBits();
    const QImage decoded = PngDecoder::decode(png, &error, std::move(fits));
    QCOMPARE(decoded.constBits(), memory);
    QCOMPARE(decoded, expected);

    // Memory that another image shares keeps that image's pixels; memory of another size or kind is not used.
    QImage shared(expected.size(), QImage::Format_RGB32);
    shared.fill(Qt::red);
    const QImage other = shared;
    QCOMPARE(PngDecoder::decode(png, &error, shared), expected);
    QCOMPARE(other.pixel(0, 0), qRgb(255, 0, 0));
    QCOMPARE(PngDecoder::decode(png, &error, QImage(expected.width() + 1, expected.height(), QImage::Format_RGB32)),
             expected);
    QCOMPARE(PngDecoder::decode(png, &error, QImage(expected.size(), QImage::Format_ARGB32)), expected);
    QCOMPARE(error, QString());
}

QTEST_MAIN(TestPngDecoder)
#include "tst_PngDecoder.moc"
