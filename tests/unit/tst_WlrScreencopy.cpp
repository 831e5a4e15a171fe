#include "platform/screen/wlroots/FrameRows.h"

#include <QTest>

#include <cstdint>
#include <vector>

// What a wlroots compositor may say of a frame, and the rows it copies put into the picture's order. wl_shm's
// formats: ARGB8888 0, XRGB8888 1, then fourcc codes.
class TestWlrScreencopy : public QObject {
    Q_OBJECT

private slots:
    void framesThatCannotBeTakenAreRefused_data()
    {
        QTest::addColumn<uint>("format");
        QTest::addColumn<uint>("width");
        QTest::addColumn<uint>("height");
        QTest::addColumn<uint>("stride");
        QTest::addColumn<QString>("problem"); // a part of the reason; empty: taken
        QTest::newRow("XRGB8888, packed") << 1u << 1920u << 1080u << 7680u << QString();
        QTest::newRow("ARGB8888, padded rows") << 0u << 853u << 533u << 3456u << QString();
        QTest::newRow("XBGR8888") << 0x34324258u << 16u << 16u << 64u << QString();
        QTest::newRow("RGB565") << 0x36314752u << 16u << 16u << 32u << "pixel format";
        QTest::newRow("no rows") << 1u << 16u << 0u << 64u << "impossible frame of 16 x 0";
        QTest::newRow("rows shorter than the pixels") << 1u << 16u << 16u << 63u << "impossible";
        // The rows' bytes together overflow 64 bits.
        QTest::newRow("rows beyond any output") << 1u << 1073741823u << 4294967295u << 4294967292u << "impossible";
        QTest::newRow("just past 512 MiB") << 1u << 16384u << 8193u << 65536u << "impossible";
    }
    void framesThatCannotBeTakenAreRefused()
    {
        QFETCH(uint, format);
        QFETCH(uint, width);
        QFETCH(uint, height);
        QFETCH(uint, stride);
        QFETCH(QString, problem);
        const QString got = screencopyFrameProblem(format, width, height, stride);
        if (problem.isEmpty()) {
            QCOMPARE(got, QString());
        } else {
            QVERIFY2(got.contains(problem), qPrintable(got));
        }
    }

    void rowsComeTopFirstInBlueGreenRedOrder_data()
    {
        QTest::addColumn<uint>("format");
        QTest::addColumn<bool>("yInverted");
        QTest::newRow("as they came") << 1u << false;
        QTest::newRow("bottom up") << 1u << true;
        QTest::newRow("red first") << 0x34324258u << false;
        QTest::newRow("red first, bottom up") << 0x34324241u << true;
    }
    void rowsComeTopFirstInBlueGreenRedOrder()
    {
        QFETCH(uint, format);
        QFETCH(bool, yInverted);
        // 3 x 3 pixels in rows of 16 bytes: the 4 spare bytes of each row are the compositor's and stay as they are.
        const int width = 3, height = 3, stride = 16;
        const bool redFirst = format != 1u;
        std::vector<std::uint8_t> rows(stride * height, 0xee);
        for (int y = 0; y < height; ++y) {
            const int source = yInverted ? height - 1 - y : y;
            for (int x = 0; x < width; ++x) {
                const std::uint8_t blue = std::uint8_t(10 * y + x), red = std::uint8_t(100 + blue);
                std::uint8_t* p = &rows[source * stride + x * 4];
                p[0] = redFirst ? red : blue;
                p[1] = 50;
                p[2] = redFirst ? blue : red;
                p[3] = 255;
            }
        }
        orderFrameRows(rows.data(), width, height, stride, format, yInverted);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = &rows[y * stride + x * 4];
                QCOMPARE(int(p[0]), 10 * y + x);
                QCOMPARE(int(p[2]), 100 + 10 * y + x);
            }
            QCOMPARE(int(rows[y * stride + 12]), 0xee);
        }
    }
};

QTEST_APPLESS_MAIN(TestWlrScreencopy)
#include "tst_WlrScreencopy.moc"
