#include "capture/PicClip.h"
#include "imaging/Picture.h"

#include <QTest>

#include <cstring>

namespace {

// Every source pixel's bytes say where it came from, so a shifted or clipped copy shows up at once.
Picture makeSource(PixelFormat format, int width, int height)
{
    PixelBuffer bitmap = PixelBuffer::allocate(width, height, format);
    const int size = bytesPerPixel(format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int b = 0; b < size; ++b)
                bitmap.row(y)[x * size + b] = static_cast<std::uint8_t>(1 + x * 16 + y + b * 64);
    std::vector<PaletteEntry> palette;
    if (format == PixelFormat::Indexed8)
        for (int i = 0; i < 256; ++i)
            palette.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 7, 0});
    return Picture(std::move(bitmap), std::move(palette));
}

} // namespace

class TestPicClip : public QObject {
    Q_OBJECT
private slots:
    void clip_data();
    void clip();
    void emptyRectangleGivesEmptyPicture_data();
    void emptyRectangleGivesEmptyPicture();
    void sourceIsLeftUnchanged();
};

void TestPicClip::clip_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<bool>("handOver"); // the source is handed over: read in place where the rectangle is on it
    const QList<QPair<const char*, QRect>> rects = {
        {"inside", QRect(2, 1, 5, 4)},
        {"inside at odd x", QRect(3, 2, 7, 5)},
        {"whole picture", QRect(0, 0, 12, 9)},
        {"2x2 at the corner", QRect(10, 7, 2, 2)},
        {"hangs off top-left", QRect(-3, -2, 6, 5)},
        {"hangs off bottom-right", QRect(9, 6, 8, 8)},
        {"larger than the picture", QRect(-1, -1, 14, 11)},
        {"entirely outside", QRect(20, 20, 3, 3)},
        {"one pixel", QRect(11, 8, 1, 1)},
    };
    const QList<QPair<const char*, PixelFormat>> formats = {
        {"bgrx32", PixelFormat::Bgrx32}, {"rgb565", PixelFormat::Rgb565}, {"indexed8", PixelFormat::Indexed8}};
    for (const bool handOver : {false, true})
        for (const auto& [formatName, format] : formats)
            for (const auto& [rectName, rect] : rects)
                QTest::addRow("%s%s: %s", handOver ? "handed over, " : "", formatName, rectName)
                    << static_cast<int>(format) << rect << handOver;
}

void TestPicClip::clip()
{
    QFETCH(int, format);
    QFETCH(QRect, rect);
    QFETCH(bool, handOver);
    const Picture source = makeSource(static_cast<PixelFormat>(format), 12, 9);
    auto owned = std::make_unique<Picture>(makeSource(static_cast<PixelFormat>(format), 12, 9));
    PicClip clip;
    clip.setPicture(handOver ? owned.get() : &source);
    clip.ClipX = static_cast<qint16>(rect.x());
    clip.ClipY = static_cast<qint16>(rect.y());
    clip.ClipWidth = static_cast<qint16>(rect.width());
    clip.ClipHeight = static_cast<qint16>(rect.height());
    const std::unique_ptr<Picture> region = handOver ? clip.Clip(owned) : clip.Clip();
    // Only a rectangle wholly on the source is read in place; the source is then the clip's alone.
    const bool inPlace = handOver && QRect(0, 0, 12, 9).contains(rect);
    QCOMPARE(owned == nullptr, inPlace);
    if (inPlace)
        QCOMPARE(region->bitmap().stride(), source.bitmap().stride());

    QCOMPARE(region->width(), rect.width());
    QCOMPARE(region->height(), rect.height());
    QCOMPARE(region->bitmap().format(), source.bitmap().format());
    QVERIFY(region->palette() == source.palette());
    const int size = bytesPerPixel(source.bitmap().format());
    const QByteArray black(size, '\0');
    const QRect inside(0, 0, source.width(), source.height());
    for (int y = 0; y < rect.height(); ++y) {
        for (int x = 0; x < rect.width(); ++x) {
            const QPoint from(rect.x() + x, rect.y() + y);
            const QByteArray got(
                reinterpret_cast<const char*>(region->bitmap().row(y)) + static_cast<qsizetype>(x) * size, size);
            const QByteArray want = inside.contains(from)
                                        ? QByteArray(reinterpret_cast<const char*>(source.bitmap().row(from.y())) +
                                                         static_cast<qsizetype>(from.x()) * size,
                                                     size)
                                        : black;
            if (got != want)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 differs").arg(x).arg(y)));
        }
    }
}

void TestPicClip::emptyRectangleGivesEmptyPicture_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QSize>("size");
    QTest::newRow("click without a drag") << QRect(4, 4, 0, 0) << QSize(0, 0);
    QTest::newRow("zero width") << QRect(4, 4, 0, 3) << QSize(0, 3);
    QTest::newRow("zero height") << QRect(4, 4, 3, 0) << QSize(3, 0);
    QTest::newRow("negative size") << QRect(4, 4, -5, -2) << QSize(0, 0);
}

void TestPicClip::emptyRectangleGivesEmptyPicture()
{
    QFETCH(QRect, rect);
    QFETCH(QSize, size);
    const Picture source = makeSource(PixelFormat::Bgrx32, 12, 9);
    PicClip clip;
    clip.setPicture(&source);
    clip.ClipX = static_cast<qint16>(rect.x());
    clip.ClipY = static_cast<qint16>(rect.y());
    clip.ClipWidth = static_cast<qint16>(rect.width());
    clip.ClipHeight = static_cast<qint16>(rect.height());
    const std::unique_ptr<Picture> region = clip.Clip();
    QCOMPARE(QSize(region->width(), region->height()), size);
    QVERIFY(region->bitmap().isNull());
}

void TestPicClip::sourceIsLeftUnchanged()
{
    // The overlay replaces its picture with the clip; the source must be unchanged by clipping it.
    const Picture source = makeSource(PixelFormat::Bgrx32, 12, 9);
    const QImage before = source.view().copy();
    PicClip clip;
    clip.setPicture(&source);
    clip.ClipX = 3;
    clip.ClipY = 3;
    clip.ClipWidth = 4;
    clip.ClipHeight = 4;
    const std::unique_ptr<Picture> region = clip.Clip();
    QCOMPARE(source.view(), before);
    QCOMPARE(region->view(), before.copy(3, 3, 4, 4));
}

QTEST_MAIN(TestPicClip)
#include "tst_PicClip.moc"
