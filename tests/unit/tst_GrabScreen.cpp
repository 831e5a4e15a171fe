#include "fakes/FakeScreen.h"
#include "imaging/modCapture.h"
#include "platform/screen/qt/QtScreen.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QWidget>

namespace {

// A palette display whose grab hands out one known buffer, so a test can see whether the picture kept it.
class PaletteScreen final : public ScreenService {
public:
    std::vector<PaletteEntry> colours;
    const std::uint8_t* handedOut = nullptr;

    ScreenMetrics metrics() override { return {QRect(0, 0, 64, 48), 96.0, 96.0, 1.0}; }
    ScreenPixels grabArea(int, int, int width, int height) override
    {
        PixelBuffer buffer = PixelBuffer::allocate(width, height, PixelFormat::Indexed8);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                buffer.row(y)[x] = static_cast<std::uint8_t>(x + y);
        handedOut = buffer.bits();
        return {std::move(buffer), colours};
    }
};

} // namespace

class TestGrabScreen : public QObject {
    Q_OBJECT
private slots:
    void sizeIsTheDeviceSize_data();
    void sizeIsTheDeviceSize();
    void screenObjectInTwips_data();
    void screenObjectInTwips();
    void areaStartsAtThePrimaryScreensCorner();
    void paletteAndPixelsPassThroughUncopied();
    void grabFailureReachesTheCaller();
    void windowAreaIsTakenAsAsked();
    void qtFallbackGrabsWhatIsShown();
};

void TestGrabScreen::sizeIsTheDeviceSize_data()
{
    QTest::addColumn<double>("dpi");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<QSize>("device");
    QTest::newRow("96 dpi, ratio 1") << 96.0 << 1.0 << QSize(1920, 1080);
    QTest::newRow("ratio 1.25: 12 twips") << 96.0 << 1.25 << QSize(1920, 1080);
    QTest::newRow("ratio 1.5: 10 twips") << 96.0 << 1.5 << QSize(1920, 1080);
    QTest::newRow("ratio 2: 7.5 twips") << 96.0 << 2.0 << QSize(1920, 1080);
    QTest::newRow("ratio 2, 4K") << 96.0 << 2.0 << QSize(3840, 2160);
    QTest::newRow("ratio 1.75: 8.57 twips") << 96.0 << 1.75 << QSize(2560, 1440);
    QTest::newRow("ratio 1.875 (Xft 120 dpi at 1.5)") << 96.0 << 1.875 << QSize(1920, 1080);
    QTest::newRow("120 dpi: 12 twips") << 120.0 << 1.0 << QSize(1366, 768);
    QTest::newRow("72 dpi: 20 twips") << 72.0 << 1.0 << QSize(1024, 768);
    QTest::newRow("110 dpi: 13.09 twips") << 110.0 << 1.0 << QSize(1366, 768);
    QTest::newRow("odd size at ratio 1.25") << 96.0 << 1.25 << QSize(1365, 767);
    QTest::newRow("odd size at ratio 2") << 96.0 << 2.0 << QSize(1365, 767);
}

void TestGrabScreen::sizeIsTheDeviceSize()
{
    QFETCH(double, dpi);
    QFETCH(double, ratio);
    QFETCH(QSize, device);
    FakeScreen screen;
    screen.screen = {QRect(QPoint(0, 0), device), dpi, dpi, ratio};
    const auto picture = GrabScreen(screen);
    QCOMPARE(QSize(picture->width(), picture->height()), device);
    QCOMPARE(screen.grabs, 1);
}

void TestGrabScreen::screenObjectInTwips_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<float>("twipsPerPixel");
    QTest::addColumn<float>("width");
    QTest::addColumn<float>("height");
    QTest::newRow("ratio 1") << 1.0 << 15.0f << 28800.0f << 16200.0f;
    QTest::newRow("ratio 1.25") << 1.25 << 12.0f << 23040.0f << 12960.0f;
    QTest::newRow("ratio 1.5") << 1.5 << 10.0f << 19200.0f << 10800.0f;
    QTest::newRow("ratio 2") << 2.0 << 7.5f << 14400.0f << 8100.0f;
}

void TestGrabScreen::screenObjectInTwips()
{
    QFETCH(double, ratio);
    QFETCH(float, twipsPerPixel);
    QFETCH(float, width);
    QFETCH(float, height);
    FakeScreen screen;
    screen.screen = {QRect(0, 0, 1920, 1080), 96.0, 96.0, ratio};
    const ScreenObject object = screenObject(screen);
    QCOMPARE(object.TwipsPerPixelX, twipsPerPixel);
    QCOMPARE(object.TwipsPerPixelY, twipsPerPixel);
    QCOMPARE(object.Width, width);
    QCOMPARE(object.Height, height);
}

void TestGrabScreen::areaStartsAtThePrimaryScreensCorner()
{
    FakeScreen screen;
    screen.screen = {QRect(1920, 300, 1280, 1024), 96.0, 96.0, 1.0};
    const auto picture = GrabScreen(screen);
    QCOMPARE(screen.lastArea, QRect(0, 0, 1280, 1024));
    QCOMPARE(picture->bitmap().format(), PixelFormat::Bgrx32);
    QVERIFY(picture->palette().empty());
}

void TestGrabScreen::paletteAndPixelsPassThroughUncopied()
{
    PaletteScreen screen;
    for (int i = 0; i < 256; ++i)
        screen.colours.push_back(
            {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 3), 0});
    const auto picture = GrabScreen(screen);
    QCOMPARE(picture->bitmap().bits(), screen.handedOut);
    QCOMPARE(picture->bitmap().format(), PixelFormat::Indexed8);
    QVERIFY(picture->palette() == screen.colours);
    const QImage view = picture->view();
    QCOMPARE(view.pixel(10, 7), qRgb(17, 238, 51));
}

void TestGrabScreen::grabFailureReachesTheCaller()
{
    FakeScreen screen;
    screen.grabFails = true;
    try {
        GrabScreen(screen);
        QFAIL("the grab did not fail");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("Cannot read the screen"));
    }
}

void TestGrabScreen::windowAreaIsTakenAsAsked()
{
    FakeScreen screen;
    const auto picture = GrabWindowArea(screen, 5, 7, 30, 20);
    QCOMPARE(screen.lastArea, QRect(5, 7, 30, 20));
    QCOMPARE(QSize(picture->width(), picture->height()), QSize(30, 20));
    // FakeScreen paints B = x, G = y of the screen pixel: the picture's (0, 0) is the screen's (5, 7).
    QCOMPARE(picture->view().pixel(0, 0), qRgb(5 ^ 7, 7, 5));
}

void TestGrabScreen::qtFallbackGrabsWhatIsShown()
{
    QWidget window;
    window.setWindowFlag(Qt::FramelessWindowHint);
    window.setStyleSheet(QStringLiteral("background: #c81e32"));
    window.setGeometry(40, 30, 100, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QtScreen screen;
    const auto picture = GrabScreen(screen);
    const QSize device =
        QGuiApplication::primaryScreen()->geometry().size() * QGuiApplication::primaryScreen()->devicePixelRatio();
    QCOMPARE(QSize(picture->width(), picture->height()), device);
    QCOMPARE(picture->bitmap().format(), PixelFormat::Bgrx32);
    QCOMPARE(picture->view().pixel(90, 70), qRgb(0xc8, 0x1e, 0x32));
    const auto area = GrabWindowArea(screen, 40, 30, 100, 80);
    QCOMPARE(area->view().pixel(0, 0), qRgb(0xc8, 0x1e, 0x32));
    QCOMPARE(area->view().pixel(99, 79), qRgb(0xc8, 0x1e, 0x32));
    QVERIFY_THROWS_EXCEPTION(Failure, GrabWindowArea(screen, device.width() - 10, 0, 20, 20));
}

QTEST_MAIN(TestGrabScreen)
#include "tst_GrabScreen.moc"
