#include "platform/errors/Failure.h"
#include "platform/files/CursorFile.h"
#include "support/PipeWatchdog.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>

namespace {

// A 32 x 24 pointer with a transparent corner and a colour in every quarter.
QImage pattern()
{
    QImage image(32, 24, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, x < 4 && y < 4 ? qRgba(0, 0, 0, 0) : qRgba(x * 8, y * 10, (x ^ y) * 4, 255));
    }
    return image;
}

QByteArray good()
{
    return encodeCursorFile(pattern(), QPoint(5, 7));
}

QByteArray patched(QByteArray bytes, int at, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// A cursor whose first entry holds a PNG image.
QByteArray pngCursor(QSize pngSize, QSize entrySize)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    pattern().scaled(pngSize).save(&buffer, "PNG");
    QByteArray bytes = good().left(22);
    bytes[6] = static_cast<char>(entrySize.width());
    bytes[7] = static_cast<char>(entrySize.height());
    bytes = patched(bytes, 14, static_cast<quint32>(png.size()), 4);
    return bytes + png;
}

} // namespace

class TestCursorFile : public QObject {
    Q_OBJECT
private slots:
    void roundTripKeepsPixelsAndHotspot();
    void pngImageIsAccepted();
    void loadsFromAFileAsAPointer();
    void badFilesAreRefused_data();
    void badFilesAreRefused();
    void hugeFileIsNotRead();
    void onlyRegularFilesAreOpened_data();
    void onlyRegularFilesAreOpened();
};

void TestCursorFile::roundTripKeepsPixelsAndHotspot()
{
    const CursorImage cursor = decodeCursorFile(good(), QStringLiteral("x.cur"));
    QCOMPARE(cursor.hotspot, QPoint(5, 7));
    QCOMPARE(cursor.image.size(), QSize(32, 24));
    const QImage expected = pattern();
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            if (qAlpha(expected.pixel(x, y)) == 0)
                QCOMPARE(qAlpha(cursor.image.pixel(x, y)), 0);
            else
                QCOMPARE(cursor.image.pixel(x, y), expected.pixel(x, y));
        }
    }
}

void TestCursorFile::pngImageIsAccepted()
{
    const CursorImage cursor = decodeCursorFile(pngCursor(QSize(32, 24), QSize(32, 24)), QStringLiteral("x.cur"));
    QCOMPARE(cursor.image.size(), QSize(32, 24));
    QCOMPARE(cursor.hotspot, QPoint(5, 7));
}

void TestCursorFile::loadsFromAFileAsAPointer()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("HAND-M.CUR"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(good());
    file.close();
    const QCursor cursor = loadCursorFile(path);
    QCOMPARE(cursor.shape(), Qt::BitmapCursor);
    QCOMPARE(cursor.hotSpot(), QPoint(5, 7));
    QCOMPARE(cursor.pixmap().size(), QSize(32, 24));
    QVERIFY_THROWS_EXCEPTION(Failure, loadCursorFile(folder.filePath(QStringLiteral("missing.cur"))));
}

void TestCursorFile::badFilesAreRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");
    const QByteArray file = good();
    QTest::newRow("empty") << QByteArray() << "the file is empty";
    QTest::newRow("shorter than a directory") << file.left(21) << "the file is truncated";
    QTest::newRow("icon, not cursor") << patched(file, 2, 1, 2) << "the file does not start like a cursor file";
    QTest::newRow("no images") << patched(file, 4, 0, 2) << "the file holds no image";
    QTest::newRow("more entries than bytes") << patched(file, 4, 5000, 2) << "the file is truncated";
    QTest::newRow("image cut off") << file.left(file.size() - 10) << "its directory points outside the file";
    QTest::newRow("length beyond the end")
        << patched(file, 14, 0xffffffffu, 4) << "its directory points outside the file";
    QTest::newRow("offset wraps around") << patched(file, 18, 0xfffffff0u, 4)
                                         << "its directory points outside the file";
    QTest::newRow("offset inside the directory") << patched(file, 18, 6, 4) << "its directory points outside the file";
    QTest::newRow("entry wider than image")
        << patched(file, 6, 48, 1) << "the sizes in its directory and in its image do not agree";
    QTest::newRow("header height not doubled")
        << patched(file, 22 + 8, 24, 4) << "the sizes in its directory and in its image do not agree";
    QTest::newRow("header size huge") << patched(file, 22, 0x7fffffff, 4) << "its image header has a wrong size";
    QTest::newRow("header size small") << patched(file, 22, 12, 4) << "its image header has a wrong size";
    QTest::newRow("odd depth") << patched(file, 22 + 14, 7, 2) << "its image has an unsupported colour depth";
    QTest::newRow("compressed") << patched(file, 22 + 16, 1, 4) << "its image is compressed";
    QTest::newRow("hotspot outside") << patched(file, 10, 32, 2) << "its hotspot lies outside its image";
    // The directory and header agree, but the pixels the header promises are not there.
    QByteArray shortImage = patched(file, 14, 40 + 32 * 4 * 12, 4);
    QTest::newRow("pixels missing") << shortImage.left(22 + 40 + 32 * 4 * 12) << "its image is truncated";
    QByteArray palette = patched(patched(file, 22 + 14, 8, 2), 22 + 32, 300, 4);
    QTest::newRow("palette larger than depth") << palette << "its palette is larger than its colour depth allows";
    QTest::newRow("png of another size") << pngCursor(QSize(16, 16), QSize(32, 24))
                                         << "the sizes in its directory and in its image do not agree";
}

void TestCursorFile::badFilesAreRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    try {
        decodeCursorFile(bytes, QStringLiteral("/opt/q/HAND-M.CUR"));
        QFAIL("accepted");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("/opt/q/HAND-M.CUR is not a loadable cursor: ") + why);
    }
}

void TestCursorFile::hugeFileIsNotRead()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("HAND-M.CUR"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(good());
    QVERIFY(file.resize(64 * 1024 * 1024)); // sparse: costs no disk
    file.close();
    try {
        loadCursorFile(path);
        QFAIL("accepted");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QDir::toNativeSeparators(path) +
                                            QStringLiteral(" is not a loadable cursor: the file is too large (67108864 "
                                                           "bytes)"));
    }
}

void TestCursorFile::onlyRegularFilesAreOpened_data()
{
    QTest::addColumn<bool>("pipe");
    QTest::newRow("named pipe, no writer") << true; // opening it plainly would wait for ever
    QTest::newRow("folder") << false;
}

void TestCursorFile::onlyRegularFilesAreOpened()
{
    QFETCH(bool, pipe);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("HAND-M.CUR"));
    QVERIFY(pipe ? ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0 : QDir().mkdir(path));
    const PipeWatchdog watchdog(path);
    try {
        loadCursorFile(path);
        QFAIL("accepted");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(),
                 QStringLiteral("Cannot read %1: it is not a regular file").arg(QDir::toNativeSeparators(path)));
    }
    QVERIFY(!watchdog.hasFired());
}

QTEST_MAIN(TestCursorFile)
#include "tst_CursorFile.moc"
