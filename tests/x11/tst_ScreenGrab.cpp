#include "imaging/modCapture.h"
#include "platform/errors/Failure.h"
#include "platform/screen/WindowingSystem.h"
#include "platform/screen/x11/XcbScreen.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <xcb/xcb.h>

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

Connection connectTo(const XvfbServer& server)
{
    Connection c(xcb_connect(server.display().toLatin1().constData(), nullptr));
    return xcb_connection_has_error(c.get()) ? nullptr : std::move(c);
}

xcb_screen_t* firstScreen(xcb_connection_t* c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data;
}

int bytesPerPixelAt(int depth)
{
    return depth == 8 ? 1 : depth == 16 ? 2 : 4;
}

// A pattern where every pixel of a large neighbourhood differs, so a shifted, cut or reordered grab shows.
std::uint32_t patternPixel(int x, int y, int depth, std::uint32_t seed)
{
    const std::uint32_t value =
        (static_cast<std::uint32_t>(x) * 2654435761u) ^ (static_cast<std::uint32_t>(y) * 40503u) ^ seed;
    return depth == 16 ? value & 0xffff : value & 0xffffff;
}

// Rows as the server stores them (little-endian, rows padded to 4 bytes), width x height from (0, 0).
QByteArray patternRows(int width, int top, int rows, int depth, std::uint32_t seed)
{
    const int bpp = bytesPerPixelAt(depth);
    const int stride = (width * bpp + 3) / 4 * 4;
    QByteArray bytes(stride * rows, '\0');
    for (int y = 0; y < rows; ++y) {
        auto* row = reinterpret_cast<std::uint8_t*>(bytes.data()) + y * stride;
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = patternPixel(x, top + y, depth, seed);
            for (int b = 0; b < bpp; ++b)
                row[x * bpp + b] = static_cast<std::uint8_t>(p >> (8 * b));
        }
    }
    return bytes;
}

// Paints rows [top, top + rows) of the root window with plain core requests, independent of the code under test.
bool paintRoot(xcb_connection_t* c, int top, int rows, const std::function<QByteArray(int, int)>& rowsAt, int width)
{
    xcb_screen_t* screen = firstScreen(c);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, 0, nullptr);
    const int stride = static_cast<int>(rowsAt(top, 1).size());
    const int band = std::max(1, static_cast<int>((xcb_get_maximum_request_length(c) * 4 - 64) / stride));
    bool ok = true;
    for (int y = top; y < top + rows && ok; y += band) {
        const int n = std::min(band, top + rows - y);
        const QByteArray data = rowsAt(y, n);
        const std::unique_ptr<xcb_generic_error_t, FreeDeleter> error(xcb_request_check(
            c, xcb_put_image_checked(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, gc, static_cast<std::uint16_t>(width),
                                     static_cast<std::uint16_t>(n), 0, static_cast<std::int16_t>(y), 0,
                                     screen->root_depth, static_cast<std::uint32_t>(data.size()),
                                     reinterpret_cast<const std::uint8_t*>(data.constData()))));
        ok = !error;
    }
    xcb_free_gc(c, gc);
    xcb_flush(c);
    return ok;
}

bool paintPattern(xcb_connection_t* c, QSize size, int depth, std::uint32_t seed)
{
    return paintRoot(
        c, 0, size.height(), [&](int top, int rows) { return patternRows(size.width(), top, rows, depth, seed); },
        size.width());
}

// Empty when every pixel of the picture is the pattern's pixel at (x + dx, y + dy); else where it first differs.
QString patternMismatch(const Picture& picture, int depth, int dx, int dy, std::uint32_t seed)
{
    const int bpp = bytesPerPixelAt(depth);
    for (int y = 0; y < picture.height(); ++y) {
        const std::uint8_t* row = picture.bitmap().row(y);
        for (int x = 0; x < picture.width(); ++x) {
            std::uint32_t value = 0;
            for (int b = 0; b < bpp; ++b)
                value |= std::uint32_t{row[x * bpp + b]} << (8 * b);
            if (depth != 16)
                value &= 0xffffff;
            const std::uint32_t expected = patternPixel(x + dx, y + dy, depth, seed);
            if (value != expected)
                return QStringLiteral("pixel (%1, %2) is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(value, 0, 16)
                    .arg(expected, 0, 16);
        }
    }
    return {};
}

// The root window as `xwd -root` sees it: a second, independent reading. Empty when the picture matches.
QString xwdMismatch(const XvfbServer& server, const Picture& picture)
{
    QByteArray xwd;
    if (!server.runClient(QStringLiteral("xwd"), {QStringLiteral("-root"), QStringLiteral("-silent")}, &xwd))
        return QStringLiteral("xwd failed");
    const auto field = [&](int i) { return qFromBigEndian<quint32>(xwd.constData() + 4 * i); };
    if (xwd.size() < 100)
        return QStringLiteral("xwd wrote too little");
    const quint32 headerSize = field(0), width = field(4), height = field(5), byteOrder = field(7),
                  bitsPerPixel = field(11), bytesPerLine = field(12), colours = field(19);
    if (byteOrder != 0)
        return QStringLiteral("xwd image is not LSB first");
    if (int(width) != picture.width() || int(height) != picture.height())
        return QStringLiteral("xwd size %1 x %2").arg(width).arg(height);
    const qsizetype offset = headerSize + colours * 12;
    const int rowBytes = picture.width() * int(bitsPerPixel) / 8;
    if (xwd.size() < offset + qsizetype(bytesPerLine) * height)
        return QStringLiteral("xwd image is short");
    for (int y = 0; y < picture.height(); ++y) {
        if (std::memcmp(xwd.constData() + offset + qsizetype(y) * bytesPerLine, picture.bitmap().row(y), rowBytes) != 0)
            return QStringLiteral("row %1 differs from xwd").arg(y);
    }
    return {};
}

// Run in a child process: the picture size GrabScreen takes on this display, with the toolkit's own scaling.
int printGrabSize(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const auto screen = createScreenService();
    const auto picture = GrabScreen(*screen);
    std::printf("%s %dx%d\n", qPrintable(QGuiApplication::platformName()), picture->width(), picture->height());
    return 0;
}

// Run in a child process: whether a window is on the screen once shown through the screen service.
int printExposedAfterShow(int argc, char** argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setGeometry(100, 100, 200, 150);
    createScreenService()->showWindow(window);
    std::printf("%d\n", window.windowHandle()->isExposed() ? 1 : 0);
    return 0;
}

// Run in a child process: a window inside the frame of a window manager that unmaps the frame only 150 ms after the
// window's own unmap, hidden, and the screen read at once. Prints how many pixels of the frame the screen still shows.
int printFrameLeftAfterHide(int argc, char** argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setGeometry(100, 100, 200, 150);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    const Connection wm(xcb_connect(nullptr, nullptr));
    xcb_screen_t* root = firstScreen(wm.get());
    const xcb_window_t client = static_cast<xcb_window_t>(window.winId());
    const xcb_window_t frame = xcb_generate_id(wm.get());
    const QRect framed(90, 70, 220, 190);
    const std::uint32_t frameValues[] = {0xff0000, 1};
    xcb_create_window(wm.get(), XCB_COPY_FROM_PARENT, frame, root->root, framed.x(), framed.y(), framed.width(),
                      framed.height(), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, frameValues);
    xcb_map_window(wm.get(), frame);
    xcb_reparent_window(wm.get(), client, frame, 10, 30);
    const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(wm.get(), client, XCB_CW_EVENT_MASK, &structure);
    std::free(xcb_get_input_focus_reply(wm.get(), xcb_get_input_focus(wm.get()), nullptr));
    std::thread slowManager([&] {
        while (xcb_generic_event_t* event = xcb_wait_for_event(wm.get())) {
            const bool isUnmap = (event->response_type & 0x7f) == XCB_UNMAP_NOTIFY;
            std::free(event);
            if (isUnmap)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        xcb_unmap_window(wm.get(), frame);
        xcb_flush(wm.get());
    });
    QApplication::processEvents();
    createScreenService()->hideWindow(window);
    const std::unique_ptr<xcb_get_image_reply_t, FreeDeleter> image(
        xcb_get_image_reply(wm.get(),
                            xcb_get_image(wm.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root->root, framed.x(), framed.y(),
                                          framed.width(), framed.height(), ~0u),
                            nullptr));
    slowManager.join();
    if (!image)
        return 1;
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get()));
    std::printf("%ld\n", static_cast<long>(std::count_if(pixels, pixels + framed.width() * framed.height(),
                                                         [](std::uint32_t p) { return (p & 0xffffff) == 0xff0000; })));
    return 0;
}

} // namespace

class TestScreenGrab : public QObject {
    Q_OBJECT
private slots:
    void grabIsPixelExact_data();
    void grabIsPixelExact();
    void liveGrabsNeverShareMemory();
    void preparedSegmentServesTheGrabAndGoesWhenIdle();
    void grabOverABorrowedConnectionFollowsItsRequests();
    void onlyThePrimaryMonitorIsGrabbed_data();
    void onlyThePrimaryMonitorIsGrabbed();
    void areaOffTheScreenFails();
    void paletteDisplayGivesIndicesAndColours_data();
    void paletteDisplayGivesIndicesAndColours();
    void sizeUnderToolkitScaling_data();
    void sizeUnderToolkitScaling();
    void hideAndShowWaitForTheScreen_data();
    void hideAndShowWaitForTheScreen();
};

void TestScreenGrab::grabIsPixelExact_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("serverHasShm");
    QTest::addColumn<bool>("forceGetImage");
    QTest::addColumn<bool>("expectShm");
    QTest::newRow("depth 24, shared memory") << 24 << QSize(800, 600) << true << false << true;
    QTest::newRow("depth 24, GetImage") << 24 << QSize(800, 600) << true << true << false;
    QTest::newRow("depth 24, server without MIT-SHM") << 24 << QSize(800, 600) << false << false << false;
    QTest::newRow("depth 16, shared memory") << 16 << QSize(801, 601) << true << false << true;
    QTest::newRow("depth 16, GetImage, odd width") << 16 << QSize(801, 601) << true << true << false;
    QTest::newRow("depth 24, GetImage in bands") << 24 << QSize(2400, 1800) << true << true << false;
}

void TestScreenGrab::grabIsPixelExact()
{
    QFETCH(int, depth);
    QFETCH(QSize, size);
    QFETCH(bool, serverHasShm);
    QFETCH(bool, forceGetImage);
    QFETCH(bool, expectShm);
    XvfbServer server;
    QVERIFY2(server.start({size, depth, serverHasShm, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c);
    QVERIFY(paintPattern(c.get(), size, depth, 0));
    if (QByteArray(QTest::currentDataTag()).contains("bands"))
        QVERIFY(std::int64_t{size.width()} * size.height() * 4 >
                std::int64_t{xcb_get_maximum_request_length(c.get())} * 4);

    qputenv("DISPLAY", server.display().toLatin1());
    XcbScreen screen(forceGetImage ? XcbScreen::Transfer::GetImageOnly : XcbScreen::Transfer::Automatic);
    const auto picture = GrabScreen(screen);
    QCOMPARE(screen.isUsingSharedMemory(), expectShm);
    QCOMPARE(QSize(picture->width(), picture->height()), size);
    QCOMPARE(picture->bitmap().format(), depth == 16 ? PixelFormat::Rgb565 : PixelFormat::Bgrx32);
    QVERIFY(picture->palette().empty());
    const QString mismatch = patternMismatch(*picture, depth, 0, 0, 0);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    const QString xwd = xwdMismatch(server, *picture);
    QVERIFY2(xwd.isEmpty(), qPrintable(xwd));
}

void TestScreenGrab::liveGrabsNeverShareMemory()
{
    const QSize size(640, 480);
    XvfbServer server;
    QVERIFY2(server.start({size, 24, true, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c && paintPattern(c.get(), size, 24, 1));
    qputenv("DISPLAY", server.display().toLatin1());
    XcbScreen screen;
    auto first = GrabScreen(screen);
    QVERIFY(screen.isUsingSharedMemory());
    QVERIFY(paintPattern(c.get(), size, 24, 2));
    auto second = GrabScreen(screen);
    QVERIFY(patternMismatch(*first, 24, 0, 0, 1).isEmpty());
    QVERIFY(patternMismatch(*second, 24, 0, 0, 2).isEmpty());
    // With the first picture gone its segment may serve again, and must then hold the new screen.
    first.reset();
    QVERIFY(paintPattern(c.get(), size, 24, 3));
    const auto third = GrabScreen(screen);
    QVERIFY(patternMismatch(*second, 24, 0, 0, 2).isEmpty());
    QVERIFY(patternMismatch(*third, 24, 0, 0, 3).isEmpty());
    // A picture may outlive the screen service that took it.
    second.reset();
    auto kept = std::make_unique<XcbScreen>();
    auto late = GrabScreen(*kept);
    kept.reset();
    QVERIFY(patternMismatch(*late, 24, 0, 0, 3).isEmpty());
}

void TestScreenGrab::preparedSegmentServesTheGrabAndGoesWhenIdle()
{
    // The shared-memory segments mapped into this process, as address ranges.
    const auto segments = [] {
        QList<QPair<quintptr, quintptr>> ranges;
        QFile maps(QStringLiteral("/proc/self/maps"));
        if (maps.open(QIODevice::ReadOnly))
            for (const QByteArray& line : maps.readAll().split('\n'))
                if (line.contains("SYSV")) {
                    const QList<QByteArray> bounds = line.split(' ').front().split('-');
                    ranges.append({bounds[0].toULongLong(nullptr, 16), bounds[1].toULongLong(nullptr, 16)});
                }
        return ranges;
    };
    const QSize size(640, 480);
    XvfbServer server;
    QVERIFY2(server.start({size, 24, true, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c && paintPattern(c.get(), size, 24, 5));
    qputenv("DISPLAY", server.display().toLatin1());
    XcbScreen screen;
    screen.setSpareLifetime(std::chrono::milliseconds(100));
    const auto before = segments();
    screen.prepare();
    const auto prepared = segments();
    QCOMPARE(prepared.size(), before.size() + 1);
    screen.prepare(); // again while the spare is there: nothing new
    QCOMPARE(segments(), prepared);

    // Painted after the warm-up: the grab holds the screen as it is now, in the prepared segment.
    QVERIFY(paintPattern(c.get(), size, 24, 6));
    auto picture = GrabScreen(screen);
    const auto bits = reinterpret_cast<quintptr>(picture->bitmap().bits());
    QVERIFY(std::any_of(prepared.cbegin(), prepared.cend(), [&](const auto& range) {
        return !before.contains(range) && bits >= range.first && bits < range.second;
    }));
    QVERIFY(patternMismatch(*picture, 24, 0, 0, 6).isEmpty());
    picture.reset();
    QTRY_COMPARE_WITH_TIMEOUT(segments(), before, 10000);
}

void TestScreenGrab::grabOverABorrowedConnectionFollowsItsRequests()
{
    const QSize size(640, 480);
    XvfbServer server;
    QVERIFY2(server.start({size, 24, true, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c);
    qunsetenv("DISPLAY");
    xcb_screen_t* root = firstScreen(c.get());
    const xcb_window_t window = xcb_generate_id(c.get());
    const std::uint32_t values[] = {root->white_pixel, 1};
    xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, window, root->root, 100, 50, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    for (int run = 0; run < 20; ++run) {
        QVERIFY(paintPattern(c.get(), size, 24, 4));
        // Not flushed, not waited for: only the order of the requests puts the window into the grab.
        xcb_map_window(c.get(), window);
        XcbScreen screen(c.get());
        const auto picture = GrabWindowArea(screen, 100, 50, 300, 200);
        QVERIFY(screen.isUsingSharedMemory());
        for (int y = 0; y < picture->height(); ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(picture->bitmap().row(y));
            const auto white = [&](std::uint32_t pixel) {
                return (pixel & 0xffffff) == (root->white_pixel & 0xffffff);
            };
            QVERIFY2(std::all_of(row, row + picture->width(), white), qPrintable(QStringLiteral("run %1").arg(run)));
        }
        xcb_unmap_window(c.get(), window);
    }
    // The connection outlives the screens that borrowed it.
    QCOMPARE(xcb_connection_has_error(c.get()), 0);
    const std::unique_ptr<xcb_get_input_focus_reply_t, FreeDeleter> alive(
        xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
    QVERIFY(alive);
}

void TestScreenGrab::onlyThePrimaryMonitorIsGrabbed_data()
{
    QTest::addColumn<QStringList>("monitors"); // xrandr --setmonitor arguments, one monitor a row; '*' = primary
    QTest::addColumn<QRect>("primary");
    QTest::addColumn<bool>("forceGetImage");
    QTest::newRow("primary right of another, lower")
        << QStringList{QStringLiteral("left 800/200x1000/250+0+0"), QStringLiteral("*right 640/160x480/120+900+200")}
        << QRect(900, 200, 640, 480) << false;
    QTest::newRow("primary top right, another bottom left, GetImage")
        << QStringList{QStringLiteral("*top 600/150x400/100+1000+0"), QStringLiteral("bottom 1000/250x500/125+0+500")}
        << QRect(1000, 0, 600, 400) << true;
}

void TestScreenGrab::onlyThePrimaryMonitorIsGrabbed()
{
    QFETCH(QStringList, monitors);
    QFETCH(QRect, primary);
    QFETCH(bool, forceGetImage);
    const QSize size(1600, 1000);
    XvfbServer server;
    QVERIFY2(server.start({size, 24, true, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c && paintPattern(c.get(), size, 24, 7));
    for (const QString& monitor : monitors) {
        QStringList arguments{QStringLiteral("--setmonitor")};
        arguments << monitor.split(QLatin1Char(' ')) << QStringLiteral("none");
        QVERIFY2(server.runClient(QStringLiteral("xrandr"), arguments), qPrintable(monitor));
    }
    qputenv("DISPLAY", server.display().toLatin1());
    XcbScreen screen(forceGetImage ? XcbScreen::Transfer::GetImageOnly : XcbScreen::Transfer::Automatic);
    QCOMPARE(screen.metrics().deviceGeometry, primary);
    const auto picture = GrabScreen(screen);
    QCOMPARE(QSize(picture->width(), picture->height()), primary.size());
    QString mismatch = patternMismatch(*picture, 24, primary.x(), primary.y(), 7);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    // An area inside the primary monitor, counted from its corner.
    const auto area = GrabWindowArea(screen, 10, 20, 30, 40);
    QCOMPARE(QSize(area->width(), area->height()), QSize(30, 40));
    mismatch = patternMismatch(*area, 24, primary.x() + 10, primary.y() + 20, 7);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestScreenGrab::areaOffTheScreenFails()
{
    XvfbServer server;
    QVERIFY2(server.start({QSize(320, 240), 24, true, {}}), qPrintable(server.errorString()));
    qputenv("DISPLAY", server.display().toLatin1());
    for (const auto transfer : {XcbScreen::Transfer::Automatic, XcbScreen::Transfer::GetImageOnly}) {
        XcbScreen screen(transfer);
        for (const QRect& area : {QRect(300, 0, 40, 10), QRect(-1, 0, 10, 10), QRect(0, 0, 0, 10)}) {
            try {
                GrabWindowArea(screen, area.x(), area.y(), area.width(), area.height());
                QFAIL("a grab beyond the screen succeeded");
            } catch (const Failure& failure) {
                QVERIFY2(failure.description().startsWith(QStringLiteral("Cannot read the screen: ")),
                         qPrintable(failure.description()));
            }
        }
        // The connection stays usable after a refused request.
        QCOMPARE(GrabScreen(screen)->width(), 320);
    }
}

void TestScreenGrab::paletteDisplayGivesIndicesAndColours_data()
{
    QTest::addColumn<bool>("forceGetImage");
    QTest::newRow("shared memory") << false;
    QTest::newRow("GetImage") << true;
}

void TestScreenGrab::paletteDisplayGivesIndicesAndColours()
{
    QFETCH(bool, forceGetImage);
    const QSize size(320, 240);
    XvfbServer server;
    QVERIFY2(server.start({size, 8, true, {}}), qPrintable(server.errorString()));
    const Connection c = connectTo(server);
    QVERIFY(c);
    xcb_screen_t* root = firstScreen(c.get());
    // Reference colours, allocated in the default colormap; each fills a band of columns.
    const QList<QRgb> reference{qRgb(255, 0, 0),     qRgb(0, 128, 0), qRgb(18, 52, 86),
                                qRgb(250, 240, 230), qRgb(1, 2, 3),   qRgb(255, 255, 255)};
    QList<std::uint8_t> indices;
    for (const QRgb colour : reference) {
        const std::unique_ptr<xcb_alloc_color_reply_t, FreeDeleter> reply(xcb_alloc_color_reply(
            c.get(),
            xcb_alloc_color(c.get(), root->default_colormap, static_cast<std::uint16_t>(qRed(colour) * 257),
                            static_cast<std::uint16_t>(qGreen(colour) * 257),
                            static_cast<std::uint16_t>(qBlue(colour) * 257)),
            nullptr));
        QVERIFY(reply);
        indices.append(static_cast<std::uint8_t>(reply->pixel));
    }
    const int bandWidth = size.width() / int(reference.size()) + 1;
    QVERIFY(paintRoot(
        c.get(), 0, size.height(),
        [&](int, int rows) {
            QByteArray bytes(size.width() * rows, '\0');
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < size.width(); ++x)
                    bytes[y * size.width() + x] = static_cast<char>(indices[x / bandWidth]);
            return bytes;
        },
        size.width()));

    qputenv("DISPLAY", server.display().toLatin1());
    XcbScreen screen(forceGetImage ? XcbScreen::Transfer::GetImageOnly : XcbScreen::Transfer::Automatic);
    const auto picture = GrabScreen(screen);
    QCOMPARE(picture->bitmap().format(), PixelFormat::Indexed8);
    QCOMPARE(picture->palette().size(), std::size_t{256});
    for (int y = 0; y < size.height(); y += 7) {
        for (int x = 0; x < size.width(); ++x) {
            const std::uint8_t index = picture->bitmap().row(y)[x];
            QCOMPARE(index, indices[x / bandWidth]);
            const PaletteEntry& entry = picture->palette()[index];
            QCOMPARE(qRgb(entry.red, entry.green, entry.blue), reference[x / bandWidth]);
        }
    }
}

void TestScreenGrab::sizeUnderToolkitScaling_data()
{
    QTest::addColumn<QByteArray>("scale");
    QTest::addColumn<QString>("primaryMonitor"); // xrandr --setmonitor geometry, empty for the whole screen
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ratio 1") << QByteArray("1") << QString() << QByteArray("xcb 1920x1080");
    QTest::newRow("ratio 1.25") << QByteArray("1.25") << QString() << QByteArray("xcb 1920x1080");
    QTest::newRow("ratio 1.5") << QByteArray("1.5") << QString() << QByteArray("xcb 1920x1080");
    QTest::newRow("ratio 2") << QByteArray("2") << QString() << QByteArray("xcb 1920x1080");
    QTest::newRow("ratio 2, primary off the corner")
        << QByteArray("2") << QStringLiteral("800/200x600/150+1000+300") << QByteArray("xcb 800x600");
}

void TestScreenGrab::sizeUnderToolkitScaling()
{
    QFETCH(QByteArray, scale);
    QFETCH(QString, primaryMonitor);
    QFETCH(QByteArray, expected);
    XvfbServer server;
    QVERIFY2(server.start({QSize(1920, 1080), 24, true, {}}), qPrintable(server.errorString()));
    if (!primaryMonitor.isEmpty()) {
        QVERIFY(server.runClient(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("*main"),
                                                            primaryMonitor, QStringLiteral("none")}));
    }
    QProcess child;
    QProcessEnvironment environment = server.environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(scale));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--grab-size")});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput().trimmed(), expected);
}

// The hide's bounded wait is long enough for a window manager that takes its time: the grab after it holds nothing of
// the frame. The show returns with the window on the screen, so that a box shown next maps after it.
void TestScreenGrab::hideAndShowWaitForTheScreen_data()
{
    QTest::addColumn<QString>("child");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("frame pixels left after the hide") << QStringLiteral("--frame-left-after-hide") << QByteArray("0");
    QTest::newRow("exposed after the show") << QStringLiteral("--exposed-after-show") << QByteArray("1");
}

void TestScreenGrab::hideAndShowWaitForTheScreen()
{
    QFETCH(QString, child);
    QFETCH(QByteArray, printed);
    XvfbServer server;
    QVERIFY2(server.start({QSize(640, 480), 24, true, {}}), qPrintable(server.errorString()));
    QProcess process;
    QProcessEnvironment environment = server.environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(), {child});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().trimmed(), printed);
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--grab-size") == 0)
        return printGrabSize(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--frame-left-after-hide") == 0)
        return printFrameLeftAfterHide(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--exposed-after-show") == 0)
        return printExposedAfterShow(argc, argv);
    QCoreApplication application(argc, argv);
    TestScreenGrab test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ScreenGrab.moc"
