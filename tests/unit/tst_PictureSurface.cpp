#include "platform/screen/PixelBuffer.h"
#include "platform/screen/wayland/PictureSurface.h"

#include <QRect>
#include <QRegion>
#include <QTest>

#include <cstring>

namespace {

// A picture whose every pixel is told apart by its place: B = x, G = y, R = x ^ y.
PixelBuffer patterned(int width, int height)
{
    PixelBuffer buffer = PixelBuffer::allocate(width, height, PixelFormat::Bgrx32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t pixel[4] = {std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y), 0};
            std::memcpy(buffer.row(y) + x * 4, pixel, 4);
        }
    }
    return buffer;
}

// The first pixel where `shown` is not `picture` with `band` painted in blue; empty when there is none.
QString firstDifference(const PixelBuffer& shown, const PixelBuffer& picture, const QRegion& band)
{
    static const std::uint8_t blue[4] = {0xff, 0, 0, 0};
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const std::uint8_t* expected = band.contains(QPoint(x, y)) ? blue : picture.row(y) + x * 4;
            if (std::memcmp(shown.row(y) + x * 4, expected, 3) != 0)
                return QStringLiteral("(%1, %2)").arg(x).arg(y);
        }
    }
    return {};
}

QRegion border(const QRect& rect)
{
    return QRegion(rect) - QRegion(rect.adjusted(1, 1, -1, -1));
}

} // namespace

class TestPictureSurface : public QObject {
    Q_OBJECT
private slots:
    void spanCoversTheOutputInWholePixels_data();
    void spanCoversTheOutputInWholePixels();
    void bandMovesLeaveNoStaleLine();
};

void TestPictureSurface::spanCoversTheOutputInWholePixels_data()
{
    QTest::addColumn<int>("pixels");  // the output's
    QTest::addColumn<int>("logical"); // the window's, as the compositor laid the output out
    QTest::addColumn<int>("span");    // the surface's logical pixels
    QTest::addColumn<int>("buffer");  // the buffer's pixels
    QTest::newRow("1.25: the window covers the output exactly") << 1280 << 1024 << 1024 << 1280;
    QTest::newRow("1.5, a whole logical size") << 1920 << 1280 << 1280 << 1920;
    QTest::newRow("1.5: 853.33 laid out as 853, one pixel past the end") << 1280 << 853 << 854 << 1281;
    QTest::newRow("1.75: 731.43 laid out as 731") << 1280 << 731 << 732 << 1281;
    QTest::newRow("1.75: 457.14 laid out as 457, whole pixels every 4") << 800 << 457 << 460 << 805;
    QTest::newRow("1.75: a picture a pixel short of the output (KWin)") << 1279 << 731 << 732 << 1281;
    QTest::newRow("a scale that makes the logical size whole (mutter)") << 1280 << 856 << 856 << 1280;
    QTest::newRow("no logical size") << 1280 << 0 << 0 << 1280;
}

void TestPictureSurface::spanCoversTheOutputInWholePixels()
{
    QFETCH(int, pixels);
    QFETCH(int, logical);
    QFETCH(int, span);
    QFETCH(int, buffer);
    QCOMPARE(pictureSpan(pixels, logical), (PictureSpan{span, buffer}));
}

void TestPictureSurface::bandMovesLeaveNoStaleLine()
{
    const PixelBuffer picture = patterned(40, 30);
    PixelBuffer shown = patterned(40, 30);
    QRegion before;
    // Grown, shrunk inside itself, moved off, past the picture's edges, one pixel thin, then gone.
    for (const QRegion& band : {border(QRect(5, 5, 20, 10)), border(QRect(7, 6, 10, 5)), border(QRect(20, 15, 8, 8)),
                                border(QRect(-3, 25, 50, 10)), QRegion(10, 3, 1, 9), QRegion()}) {
        redrawBand(shown, picture, before, band, qRgb(0, 0, 0xff));
        const QString difference = firstDifference(shown, picture, band);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        before = band;
    }
    // Buffers that do not match are left alone.
    PixelBuffer small = patterned(10, 10);
    redrawBand(small, picture, {}, QRegion(0, 0, 10, 10), qRgb(0, 0, 0xff));
    QVERIFY(firstDifference(small, patterned(10, 10), {}).isEmpty());
}

QTEST_GUILESS_MAIN(TestPictureSurface)
#include "tst_PictureSurface.moc"
