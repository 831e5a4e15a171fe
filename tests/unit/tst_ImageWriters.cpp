#include "imaging/BmpWriter.h"
#include "imaging/Picture.h"
#include "imaging/SaveAsJPG.h"
#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"
#include "support/TestFiles.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

// While not 0, the disk reports this error when a file is flushed, as a failing disk or a network folder does.
std::atomic<int> g_flushError{0};

} // namespace

// Stands in for the C library's fdatasync() in this program.
extern "C" int fdatasync(int fd)
{
    if (const int error = g_flushError.load()) {
        errno = error;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    return real(fd);
}

namespace {

enum class Writer { Jpeg, Bmp };

QString save(Writer writer, const Picture& picture, const QString& path)
{
    return writer == Writer::Jpeg ? SavePictureAsJpeg(picture, path, 100) : SavePicture(picture, path);
}

QString extension(Writer writer)
{
    return writer == Writer::Jpeg ? QStringLiteral(".jpg") : QStringLiteral(".bmp");
}

// What a screen looks like to an encoder: flat areas, soft gradients and hard-edged strokes like text.
Picture screenLike(PixelFormat format, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            QRgb colour = qRgb(40 + x * 150 / std::max(1, width), 90, 200 - y * 100 / std::max(1, height));
            if (y > height / 3 && (x / 3 + y / 5) % 4 == 0)
                colour = qRgb(20, 20, 20);
            if (x > width * 2 / 3)
                colour = qRgb(240, 240, 235);
            image.setPixel(x, y, colour);
        }
    }
    std::vector<PaletteEntry> palette;
    if (format == PixelFormat::Indexed8) {
        const QImage indexed = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
        PixelBuffer bitmap = PixelBuffer::allocate(width, height, format);
        for (int y = 0; y < height; ++y)
            std::memcpy(bitmap.row(y), indexed.constScanLine(y), static_cast<std::size_t>(width));
        for (const QRgb colour : indexed.colorTable())
            palette.push_back({static_cast<std::uint8_t>(qRed(colour)), static_cast<std::uint8_t>(qGreen(colour)),
                               static_cast<std::uint8_t>(qBlue(colour)), 0});
        palette.resize(256);
        return Picture(std::move(bitmap), std::move(palette));
    }
    const QImage converted =
        image.convertToFormat(format == PixelFormat::Rgb565 ? QImage::Format_RGB16 : QImage::Format_RGB32);
    PixelBuffer bitmap = PixelBuffer::allocate(width, height, format);
    for (int y = 0; y < height; ++y)
        std::memcpy(bitmap.row(y), converted.constScanLine(y),
                    static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel(format)));
    return Picture(std::move(bitmap), std::move(palette));
}

// All 65536 16-bit values, so that every 5- and 6-bit channel value is widened once.
Picture everyRgb565()
{
    PixelBuffer bitmap = PixelBuffer::allocate(256, 256, PixelFormat::Rgb565);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            std::uint8_t* pixel = bitmap.row(y) + static_cast<std::ptrdiff_t>(x) * 2;
            pixel[0] = static_cast<std::uint8_t>(x);
            pixel[1] = static_cast<std::uint8_t>(y);
        }
    return Picture(std::move(bitmap), {});
}

// A palette picture with a short palette: indices past its end are black.
Picture indexedWithShortPalette()
{
    PixelBuffer bitmap = PixelBuffer::allocate(33, 17, PixelFormat::Indexed8);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 33; ++x)
            bitmap.row(y)[x] = static_cast<std::uint8_t>((x * 7 + y * 3) % 200);
    std::vector<PaletteEntry> palette;
    palette.reserve(150);
    for (int i = 0; i < 150; ++i)
        palette.push_back(
            {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 5), 0});
    return Picture(std::move(bitmap), std::move(palette));
}

// Noise does not compress: a JPEG of it comes out near its raw size.
Picture noisy(int width, int height)
{
    PixelBuffer bitmap = PixelBuffer::allocate(width, height, PixelFormat::Bgrx32);
    quint32 seed = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 4; ++x) {
            seed = seed * 1664525u + 1013904223u;
            bitmap.row(y)[x] = static_cast<std::uint8_t>(seed >> 24);
        }
    return Picture(std::move(bitmap), {});
}

// What tjCompress2 makes of the same colours at quality 100, 4:4:4.
QByteArray encoderAlone(const QImage& image)
{
    const std::unique_ptr<void, int (*)(void*)> handle(tjInitCompress(), tjDestroy);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle.get(), image.constBits(), image.width(), static_cast<int>(image.bytesPerLine()),
                    image.height(), TJPF_BGRX, &out, &size, TJSAMP_444, 100, 0) != 0)
        return {};
    const std::unique_ptr<unsigned char, void (*)(unsigned char*)> release(out, tjFree);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(size));
}

// A part of a larger picture read in place: its rows start at an offset and lie the whole picture's stride apart.
Picture regionOf(Picture whole, const QRect& rect)
{
    PixelBuffer region =
        PixelBuffer::region(std::move(whole.bitmap()), rect.x(), rect.y(), rect.width(), rect.height());
    return Picture(std::move(region), whole.palette());
}

double psnr(const QImage& a, const QImage& b)
{
    double squares = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            const int d[3] = {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)};
            for (int c : d)
                squares += c * c;
        }
    const double mse = squares / (3.0 * a.width() * a.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct JpegFrame {
    int width = -1;
    int height = -1;
    QList<int> sampling; // H << 4 | V of each component
    bool allQuantisersOne = true;
};

// Walks the markers up to the start of the scan: frame size, component sampling and quantisation tables.
JpegFrame readJpegFrame(const QByteArray& file)
{
    JpegFrame frame;
    qsizetype at = 2;
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(file.at(i)); };
    while (at + 4 <= file.size() && byte(at) == 0xff) {
        const int marker = byte(at + 1);
        const int length = byte(at + 2) << 8 | byte(at + 3);
        if (at + 2 + length > file.size())
            break;
        const qsizetype body = at + 4;
        if (marker == 0xc0 || marker == 0xc1 || marker == 0xc2) {
            frame.height = byte(body + 1) << 8 | byte(body + 2);
            frame.width = byte(body + 3) << 8 | byte(body + 4);
            for (int c = 0; c < byte(body + 5); ++c)
                frame.sampling.append(byte(body + 6 + static_cast<qsizetype>(c) * 3 + 1));
        } else if (marker == 0xdb) {
            for (qsizetype i = body; i < at + 2 + length;) {
                const bool wide = byte(i) >> 4;
                ++i;
                for (int k = 0; k < 64; ++k, i += wide ? 2 : 1)
                    frame.allQuantisersOne &= (wide ? (byte(i) << 8 | byte(i + 1)) : byte(i)) == 1;
            }
        } else if (marker == 0xda) {
            break;
        }
        at += 2 + length;
    }
    return frame;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A tmpfs mounted over a folder for the life of the object. Root ignores permissions, so a read-only folder
// needs a read-only filesystem; a full disk needs a small one.
class ScopedMount {
public:
    ScopedMount(const QString& folder, const char* options, unsigned long flags)
        : m_folder(QFile::encodeName(folder))
    {
        m_mounted = ::mount("tmpfs", m_folder.constData(), "tmpfs", flags, options) == 0;
    }
    ~ScopedMount()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    bool isMounted() const { return m_mounted; }

private:
    QByteArray m_folder;
    bool m_mounted = false;
};

} // namespace

Q_DECLARE_METATYPE(Writer)

class TestImageWriters : public QObject {
    Q_OBJECT
private slots:
    void writeAndReadBack_data();
    void writeAndReadBack();
    void jpegIsTheEncodersOwnOutput_data();
    void jpegIsTheEncodersOwnOutput();
    void failedSaveLeavesNothingBehind_data();
    void failedSaveLeavesNothingBehind();
    void readOnlyFolder_data();
    void readOnlyFolder();
    void fullDiskThenRoomAgain_data();
    void fullDiskThenRoomAgain();
    void sameNameGetsANumber_data();
    void sameNameGetsANumber();
    void emptyPictureIsRefused_data();
    void emptyPictureIsRefused();

private:
    static void addWriterRows();
};

void TestImageWriters::addWriterRows()
{
    QTest::addColumn<Writer>("writer");
    QTest::newRow("JPEG") << Writer::Jpeg;
    QTest::newRow("BMP") << Writer::Bmp;
}

void TestImageWriters::writeAndReadBack_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<std::shared_ptr<Picture>>("picture");
    QTest::addColumn<int>("bitsPerPixel");
    const auto add = [](const char* name, Writer writer, Picture picture, int bits) {
        QTest::newRow(name) << writer << std::make_shared<Picture>(std::move(picture)) << bits;
    };
    add("BMP: 32-bit screen", Writer::Bmp, screenLike(PixelFormat::Bgrx32, 101, 67), 24);
    add("BMP: 16-bit, every value", Writer::Bmp, everyRgb565(), 24);
    add("BMP: 16-bit screen, odd width", Writer::Bmp, screenLike(PixelFormat::Rgb565, 37, 23), 24);
    add("BMP: 8-bit with palette", Writer::Bmp, screenLike(PixelFormat::Indexed8, 61, 40), 8);
    add("BMP: 8-bit, short palette", Writer::Bmp, indexedWithShortPalette(), 8);
    add("BMP: 2x2", Writer::Bmp, screenLike(PixelFormat::Bgrx32, 2, 2), 24);
    add("BMP: 1 wide, rows padded", Writer::Bmp, screenLike(PixelFormat::Bgrx32, 1, 5), 24);
    add("BMP: taller than one write", Writer::Bmp, screenLike(PixelFormat::Bgrx32, 300, 700), 24);
    const QRect part(13, 7, 41, 29); // odd x and width: rows start and end off any word boundary
    add("BMP: 32-bit region in place", Writer::Bmp, regionOf(screenLike(PixelFormat::Bgrx32, 101, 67), part), 24);
    add("BMP: 16-bit region in place", Writer::Bmp, regionOf(screenLike(PixelFormat::Rgb565, 101, 67), part), 24);
    add("BMP: 8-bit region in place", Writer::Bmp, regionOf(screenLike(PixelFormat::Indexed8, 101, 67), part), 8);
    add("JPEG: 32-bit region in place", Writer::Jpeg, regionOf(screenLike(PixelFormat::Bgrx32, 101, 67), part), 0);
    add("JPEG: 16-bit region in place", Writer::Jpeg, regionOf(screenLike(PixelFormat::Rgb565, 101, 67), part), 0);
    add("JPEG: 8-bit region in place", Writer::Jpeg, regionOf(screenLike(PixelFormat::Indexed8, 101, 67), part), 0);
    add("JPEG: 32-bit screen", Writer::Jpeg, screenLike(PixelFormat::Bgrx32, 101, 67), 0);
    add("JPEG: 16-bit screen", Writer::Jpeg, screenLike(PixelFormat::Rgb565, 64, 48), 0);
    add("JPEG: 8-bit with palette", Writer::Jpeg, screenLike(PixelFormat::Indexed8, 61, 40), 0);
    add("JPEG: 2x2", Writer::Jpeg, screenLike(PixelFormat::Bgrx32, 2, 2), 0);
}

void TestImageWriters::writeAndReadBack()
{
    QFETCH(Writer, writer);
    QFETCH(std::shared_ptr<Picture>, picture);
    QFETCH(int, bitsPerPixel);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("Screen Capture 12_06_26_16_49_54") + extension(writer));

    QCOMPARE(save(writer, *picture, path), path);
    QCOMPARE(entries(folder.path()), QStringList(QFileInfo(path).fileName()));
    const QByteArray bytes = readFileBytes(path);
    const QImage expected = picture->view().convertToFormat(QImage::Format_RGB32);
    const QImage written = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(written.size(), QSize(picture->width(), picture->height()));

    if (writer == Writer::Bmp) {
        QCOMPARE(written, expected);
        const auto word = [&](int at) { return qFromLittleEndian<quint32>(bytes.constData() + at); };
        const quint32 rowBytes = (static_cast<quint32>(picture->width()) * bitsPerPixel / 8 + 3) / 4 * 4;
        const quint32 offset = bitsPerPixel == 8 ? 54 + 1024 : 54;
        QCOMPARE(word(2), static_cast<quint32>(bytes.size()));
        QCOMPARE(word(10), offset);
        QCOMPARE(static_cast<qint32>(word(22)), picture->height()); // positive: stored bottom-up
        QCOMPARE(qFromLittleEndian<quint16>(bytes.constData() + 28), bitsPerPixel);
        QCOMPARE(static_cast<quint32>(bytes.size()), offset + rowBytes * static_cast<quint32>(picture->height()));
    } else {
        const JpegFrame frame = readJpegFrame(bytes);
        QCOMPARE(QSize(frame.width, frame.height), QSize(picture->width(), picture->height()));
        QCOMPARE(frame.sampling, QList<int>({0x11, 0x11, 0x11}));
        QVERIFY2(frame.allQuantisersOne, "quality 100 did not reach the encoder");
        const double quality = psnr(written, expected);
        QVERIFY2(quality >= 50.0, qPrintable(QStringLiteral("PSNR %1 dB").arg(quality)));
    }
}

void TestImageWriters::jpegIsTheEncodersOwnOutput_data()
{
    QTest::addColumn<std::shared_ptr<Picture>>("picture");
    const auto add = [](const char* name, Picture picture) {
        QTest::newRow(name) << std::make_shared<Picture>(std::move(picture));
    };
    const QRect part(13, 7, 41, 29);
    add("32-bit screen", screenLike(PixelFormat::Bgrx32, 101, 67));
    add("32-bit region in place", regionOf(screenLike(PixelFormat::Bgrx32, 101, 67), part));
    add("16-bit region in place", regionOf(screenLike(PixelFormat::Rgb565, 101, 67), part));
    add("8-bit with palette", screenLike(PixelFormat::Indexed8, 61, 40));
    add("1x1", screenLike(PixelFormat::Bgrx32, 1, 1));
    // Some megabytes of output: dozens of pieces pass from the encoder to the file.
    add("noise, many pieces", noisy(1200, 900));
}

void TestImageWriters::jpegIsTheEncodersOwnOutput()
{
    QFETCH(std::shared_ptr<Picture>, picture);
    QTemporaryDir folder;
    const QString path = SavePictureAsJpeg(*picture, folder.filePath(QStringLiteral("x.jpg")), 100);
    const QByteArray expected = encoderAlone(picture->view().convertToFormat(QImage::Format_RGB32));
    QVERIFY(!expected.isEmpty());
    const QByteArray written = readFileBytes(path);
    QCOMPARE(written.size(), expected.size());
    QVERIFY(written == expected);
}

void TestImageWriters::failedSaveLeavesNothingBehind_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<int>("failAfter"); // bytes the disk takes; -1: the folder is missing; -2: the flush fails
    QTest::addColumn<bool>("existing");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("status");
    const QString full = qt_error_string(ENOSPC);
    for (const Writer writer : {Writer::Jpeg, Writer::Bmp}) {
        const char* name = writer == Writer::Jpeg ? "JPEG" : "BMP";
        QTest::addRow("%s: missing folder", name)
            << writer << -1 << false << qt_error_string(ENOENT) << JpegStatus::CannotCreateFile;
        QTest::addRow("%s: disk full at once", name) << writer << 0 << false << full << JpegStatus::WriteFailed;
        QTest::addRow("%s: disk full in the header", name) << writer << 20 << false << full << JpegStatus::WriteFailed;
        QTest::addRow("%s: disk full in the pixels", name)
            << writer << 3000 << false << full << JpegStatus::WriteFailed;
        QTest::addRow("%s: disk full, file of that name kept", name)
            << writer << 3000 << true << full << JpegStatus::WriteFailed;
        // Past the first pieces of output, while the encoder is still at work.
        QTest::addRow("%s: disk full after some pieces", name)
            << writer << 300000 << false << full << JpegStatus::WriteFailed;
        QTest::addRow("%s: the flush fails", name)
            << writer << -2 << true << qt_error_string(EIO) << JpegStatus::WriteFailed;
    }
}

void TestImageWriters::failedSaveLeavesNothingBehind()
{
    QFETCH(Writer, writer);
    QFETCH(int, failAfter);
    QFETCH(bool, existing);
    QFETCH(QString, reason);
    QFETCH(int, status);
    QTemporaryDir temporary;
    const QString folder = failAfter == -1 ? temporary.filePath(QStringLiteral("gone")) : temporary.path();
    const QString path = folder + QStringLiteral("/Screen Capture 12_06_26_16_49_54") + extension(writer);
    const QByteArray precious("an earlier capture");
    if (existing)
        writeFileBytes(path, precious);
    const QStringList before = entries(temporary.path());
    const Picture picture =
        failAfter > 100000 ? screenLike(PixelFormat::Bgrx32, 1600, 1200) : screenLike(PixelFormat::Bgrx32, 64, 64);

    g_flushError = failAfter == -2 ? EIO : 0;
    try {
        const SafeFile::FailAfter limit(failAfter < 0 ? std::int64_t{1} << 40 : failAfter);
        save(writer, picture, path);
        g_flushError = 0;
        QFAIL("the save did not fail");
    } catch (const Failure& failure) {
        g_flushError = 0;
        if (writer == Writer::Jpeg) {
            QCOMPARE(failure.description(), QStringLiteral("Cannot save the image. GDI+ Error:%1").arg(status));
            QCOMPARE(failure.number(), 5);
        } else {
            QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: %2").arg(path, reason));
        }
    }
    QCOMPARE(entries(temporary.path()), before);
    if (existing)
        QCOMPARE(readFileBytes(path), precious);
}

void TestImageWriters::readOnlyFolder_data()
{
    addWriterRows();
}

void TestImageWriters::readOnlyFolder()
{
    QFETCH(Writer, writer);
    QTemporaryDir temporary;
    const QString folder = temporary.filePath(QStringLiteral("shots"));
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + QStringLiteral("/Screen Capture 12_06_26_16_49_54") + extension(writer);
    // Root writes into any folder whatever its mode, so as root the folder becomes a read-only filesystem.
    std::unique_ptr<ScopedMount> readOnly;
    int expectedError = EACCES;
    if (::geteuid() == 0) {
        readOnly = std::make_unique<ScopedMount>(folder, "size=64k", MS_RDONLY);
        if (!readOnly->isMounted())
            QSKIP("running as root without the right to mount a read-only tmpfs");
        expectedError = EROFS;
    } else {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }

    try {
        save(writer, screenLike(PixelFormat::Bgrx32, 8, 8), path);
        QFAIL("the save did not fail");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(),
                 writer == Writer::Jpeg
                     ? QStringLiteral("Cannot save the image. GDI+ Error:10")
                     : QStringLiteral("Cannot write %1: %2").arg(path, qt_error_string(expectedError)));
    }
    QCOMPARE(entries(folder), QStringList());
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestImageWriters::fullDiskThenRoomAgain_data()
{
    addWriterRows();
}

void TestImageWriters::fullDiskThenRoomAgain()
{
    QFETCH(Writer, writer);
    QTemporaryDir temporary;
    const QString folder = temporary.path();
    const ScopedMount small(folder, "size=64k,mode=0755", 0);
    if (!small.isMounted())
        QSKIP("cannot mount a tmpfs here (needs root)");
    const QString path = folder + QStringLiteral("/Screen Capture 12_06_26_16_49_54") + extension(writer);

    // Either format comes out well past 64 KiB.
    const Picture big = noisy(200, 200);
    try {
        save(writer, big, path);
        QFAIL("a file larger than the disk was saved");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), writer == Writer::Jpeg
                                            ? QStringLiteral("Cannot save the image. GDI+ Error:7")
                                            : QStringLiteral("Cannot write %1: %2").arg(path, qt_error_string(ENOSPC)));
    }
    QCOMPARE(entries(folder), QStringList());

    // The failed save gave its space back, so the next capture fits.
    const Picture picture = screenLike(PixelFormat::Bgrx32, 40, 30);
    QCOMPARE(save(writer, picture, path), path);
    QCOMPARE(QImage(path).size(), QSize(40, 30));
    QCOMPARE(entries(folder), QStringList(QFileInfo(path).fileName()));
}

void TestImageWriters::sameNameGetsANumber_data()
{
    addWriterRows();
}

void TestImageWriters::sameNameGetsANumber()
{
    QFETCH(Writer, writer);
    QTemporaryDir folder;
    const QString stem = folder.filePath(QStringLiteral("Screen Capture 12_06_26_16_49_54"));
    const QString ext = extension(writer);
    const Picture first = screenLike(PixelFormat::Bgrx32, 20, 10);
    const Picture second = screenLike(PixelFormat::Bgrx32, 10, 20);

    QCOMPARE(save(writer, first, stem + ext), stem + ext);
    const QByteArray firstBytes = readFileBytes(stem + ext);
    QCOMPARE(save(writer, second, stem + ext), stem + QStringLiteral(" (2)") + ext);
    QCOMPARE(save(writer, second, stem + ext), stem + QStringLiteral(" (3)") + ext);
    QCOMPARE(readFileBytes(stem + ext), firstBytes);
    QCOMPARE(QImage(stem + QStringLiteral(" (2)") + ext).size(), QSize(10, 20));
    QCOMPARE(entries(folder.path()).size(), 3);
}

void TestImageWriters::emptyPictureIsRefused_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("quality");
    QTest::newRow("JPEG: 0 x 0") << Writer::Jpeg << QSize(0, 0) << 100;
    QTest::newRow("JPEG: 5 x 0") << Writer::Jpeg << QSize(5, 0) << 100;
    QTest::newRow("JPEG: quality past 100") << Writer::Jpeg << QSize(4, 4) << 101;
    QTest::newRow("BMP: 0 x 0") << Writer::Bmp << QSize(0, 0) << 0;
    QTest::newRow("BMP: 0 x 5") << Writer::Bmp << QSize(0, 5) << 0;
}

void TestImageWriters::emptyPictureIsRefused()
{
    QFETCH(Writer, writer);
    QFETCH(QSize, size);
    QFETCH(int, quality);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("x") + extension(writer));
    const Picture picture(PixelBuffer::allocate(size.width(), size.height(), PixelFormat::Bgrx32), {});
    try {
        if (writer == Writer::Jpeg)
            SavePictureAsJpeg(picture, path, static_cast<quint8>(quality));
        else
            SavePicture(picture, path);
        QFAIL("the save did not fail");
    } catch (const Failure& failure) {
        if (writer == Writer::Jpeg) {
            QCOMPARE(failure.description(), QStringLiteral("Cannot save the image. GDI+ Error:2"));
            QCOMPARE(failure.number(), 5);
        } else {
            QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: the picture is empty (%2 x %3 pixels)")
                                                .arg(path)
                                                .arg(size.width())
                                                .arg(size.height()));
        }
    }
    QCOMPARE(entries(folder.path()), QStringList());
}

int main(int argc, char* argv[])
{
    // A piece of output lost between the encoder and the file leaves a save waiting for ever: the test then ends
    // after a minute with the row that hung, instead of at the test runner's limit.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT")) {
        qputenv("QTEST_FUNCTION_TIMEOUT", "60000");
    }
    QApplication application(argc, argv);
    TestImageWriters test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_ImageWriters.moc"
