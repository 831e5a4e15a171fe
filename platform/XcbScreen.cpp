#include "platform/XcbScreen.h"

#include "platform/Failure.h"
#include "platform/SharedSegment.h"

#include <QGuiApplication>
#include <QScreen>
#include <QString>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: ") + why);
}

QString errorName(int code)
{
    static const char* const names[] = {"",          "BadRequest", "BadValue",         "BadWindow", "BadPixmap",
                                        "BadAtom",   "BadCursor",  "BadFont",          "BadMatch",  "BadDrawable",
                                        "BadAccess", "BadAlloc",   "BadColor",         "BadGC",     "BadIDChoice",
                                        "BadName",   "BadLength",  "BadImplementation"};
    if (code > 0 && code < static_cast<int>(std::size(names))) {
        return QString::fromLatin1(names[code]);
    }
    return QStringLiteral("error %1").arg(code);
}

// An area in root-window coordinates, as the requests that read it name it.
QString areaText(const QRect& area)
{
    return QStringLiteral("%1 x %2 pixels at (%3, %4)")
        .arg(area.width())
        .arg(area.height())
        .arg(area.x())
        .arg(area.y());
}

// Waits for a reply and turns a protocol error or a broken connection into a Failure.
template <typename Reply, typename Cookie, typename ReplyFunction>
XcbReply<Reply> takeReply(xcb_connection_t* c, Cookie cookie, ReplyFunction replyFunction, const QString& request)
{
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<Reply> reply(replyFunction(c, cookie, &rawError));
    const XcbReply<xcb_generic_error_t> error(rawError);
    if (error) {
        fail(QStringLiteral("the X server refused %1 (%2)").arg(request, errorName(error->error_code)));
    }
    if (!reply) {
        fail(QStringLiteral("the connection to the X server was lost"));
    }
    return reply;
}

// How the root window keeps its pixels: the one place where a depth becomes a PixelFormat.
struct ScreenLayout {
    PixelFormat format = PixelFormat::Bgrx32;
    int bitsPerPixel = 32;
    int scanlinePad = 32; // bits; every row of an image the server sends is padded to this
    bool hasPalette = false;
};

ScreenLayout layoutFor(const xcb_setup_t* setup, const xcb_screen_t* screen)
{
    const int depth = screen->root_depth;
    ScreenLayout layout;
    bool known = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == depth) {
            layout.bitsPerPixel = f.data->bits_per_pixel;
            layout.scanlinePad = f.data->scanline_pad;
            known = true;
        }
    }
    const xcb_visualtype_t* visual = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual) {
                visual = v.data;
                break;
            }
        }
    }
    const bool littleEndian = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const auto masks = [&](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
        return visual && visual->red_mask == r && visual->green_mask == g && visual->blue_mask == b;
    };
    if (known && (depth == 24 || depth == 32) && layout.bitsPerPixel == 32 && littleEndian &&
        masks(0xff0000, 0x00ff00, 0x0000ff)) {
        layout.format = PixelFormat::Bgrx32;
        return layout;
    }
    if (known && depth == 16 && layout.bitsPerPixel == 16 && littleEndian && masks(0xf800, 0x07e0, 0x001f)) {
        layout.format = PixelFormat::Rgb565;
        return layout;
    }
    // A palette display: the pixel is an index into the 256 entries of the colormap.
    if (known && depth == 8 && layout.bitsPerPixel == 8 && visual && visual->_class <= XCB_VISUAL_CLASS_PSEUDO_COLOR &&
        visual->colormap_entries == 256) {
        layout.format = PixelFormat::Indexed8;
        layout.hasPalette = true;
        return layout;
    }
    fail(QStringLiteral("a display of depth %1 with %2 bits per pixel is not supported")
             .arg(depth)
             .arg(layout.bitsPerPixel));
}

// Keeps the segment of the last grab once its picture is gone, attached to the server, so that the next grab
// neither makes a new segment nor faults in fresh pages. A segment is only ever in one place: here or in one
// picture. One that lies here unused for the spare lifetime is let go: a screenful of memory is too much to hold
// for a grab that may never come.
class SegmentPool {
public:
    explicit SegmentPool(xcb_connection_t* connection)
        : m_connection(connection)
    {
        m_idle.setSingleShot(true);
        m_idle.setInterval(kDefaultSpareLifetime);
        QObject::connect(&m_idle, &QTimer::timeout, &m_idle, [this] { release(std::move(m_spare)); });
    }
    ~SegmentPool() { release(std::move(m_spare)); }
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;

    std::unique_ptr<SharedSegment> take(std::size_t size)
    {
        if (m_spare && m_spare->size() >= size) {
            return std::move(m_spare);
        }
        release(std::move(m_spare));
        return SharedSegment::create(size);
    }
    void giveBack(std::unique_ptr<SharedSegment> segment)
    {
        if (m_spare && m_spare->size() >= segment->size()) {
            release(std::move(segment));
        } else {
            release(std::move(m_spare));
            m_spare = std::move(segment);
        }
        keepSpare();
    }
    void release(std::unique_ptr<SharedSegment> segment)
    {
        if (segment && segment->serverId != 0) {
            xcb_shm_detach(m_connection, segment->serverId);
            xcb_flush(m_connection);
        }
    }
    std::size_t spareSize() const { return m_spare ? m_spare->size() : 0; }
    // Starts the spare's lifetime again. Without an event loop on this thread nothing would ever end it; the spare
    // then simply stays, as it always did.
    void keepSpare()
    {
        if (m_spare && QCoreApplication::instance() && QThread::currentThread() == m_idle.thread()) {
            m_idle.start();
        }
    }
    void setSpareLifetime(std::chrono::milliseconds lifetime) { m_idle.setInterval(lifetime); }

private:
    static constexpr std::chrono::seconds kDefaultSpareLifetime{30};
    xcb_connection_t* m_connection; // outlives the pool
    std::unique_ptr<SharedSegment> m_spare;
    QTimer m_idle;
};

// Pixels in a shared-memory segment. The segment goes back to the pool while the screen lives; after that it is
// unmapped here, and the kernel frees it once the server lets go too, which it does when the connection closes.
class SharedMemoryStorage final : public PixelStorage {
public:
    SharedMemoryStorage(std::unique_ptr<SharedSegment> segment, std::weak_ptr<SegmentPool> pool)
        : m_segment(std::move(segment))
        , m_pool(std::move(pool))
    {}
    ~SharedMemoryStorage() override
    {
        if (const auto pool = m_pool.lock()) {
            pool->giveBack(std::move(m_segment));
        }
    }
    std::uint8_t* data() override { return m_segment->data(); }

private:
    std::unique_ptr<SharedSegment> m_segment;
    std::weak_ptr<SegmentPool> m_pool;
};

// Pixels left where xcb put them: in the GetImage reply itself.
class ReplyStorage final : public PixelStorage {
public:
    explicit ReplyStorage(XcbReply<xcb_get_image_reply_t> reply)
        : m_reply(std::move(reply))
    {}
    std::uint8_t* data() override { return xcb_get_image_data(m_reply.get()); }

private:
    XcbReply<xcb_get_image_reply_t> m_reply;
};

} // namespace

struct XcbScreen::Private {
    Connection owned;                       // empty when the connection is borrowed
    xcb_connection_t* connection = nullptr; // owned.get() or the borrowed one
    const xcb_screen_t* screen = nullptr;
    std::optional<ScreenLayout> layout;
    bool hasRandrMonitors = false;
    bool isUsingSharedMemory = false;
    std::shared_ptr<SegmentPool> pool; // declared after the connection: goes first

    xcb_connection_t* c() const { return connection; }
    void setUp(int screenNumber, Transfer transfer);
    void checkConnection() const;
    QRect primaryMonitor();
    std::vector<PaletteEntry> palette();
    int strideFor(int width);
    std::optional<PixelBuffer> grabShared(const QRect& area, int stride);
    PixelBuffer grabPlain(const QRect& area, int stride);
};

XcbScreen::XcbScreen(Transfer transfer)
    : d(std::make_unique<Private>())
{
    int screenNumber = 0;
    d->owned.reset(xcb_connect(nullptr, &screenNumber));
    d->connection = d->owned.get();
    d->setUp(screenNumber, transfer);
}

XcbScreen::XcbScreen(xcb_connection_t* borrowed, Transfer transfer)
    : d(std::make_unique<Private>())
{
    d->connection = borrowed;
    // The display name that the connection was opened with is not kept; a display with more than one screen is
    // rare enough that $DISPLAY's screen number serves.
    int screenNumber = 0;
    if (xcb_setup_roots_length(xcb_get_setup(borrowed)) > 1) {
        int display = 0;
        char* host = nullptr;
        if (xcb_parse_display(nullptr, &host, &display, &screenNumber) == 0) {
            screenNumber = 0;
        }
        std::free(host);
    }
    d->setUp(screenNumber, transfer);
}

void XcbScreen::Private::setUp(int screenNumber, Transfer transfer)
{
    if (xcb_connection_has_error(c())) {
        return; // reported by the first call that needs the display
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c()));
    for (int i = 0; i < screenNumber && screens.rem; ++i) {
        xcb_screen_next(&screens);
    }
    screen = screens.rem ? screens.data : nullptr;

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c(), &xcb_randr_id);
    if (randr && randr->present) {
        const XcbReply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c(), xcb_randr_query_version(c(), 1, 5), nullptr));
        hasRandrMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
    }
    if (transfer == Transfer::Automatic) {
        const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c(), &xcb_shm_id);
        isUsingSharedMemory = shm && shm->present;
    }
    pool = std::make_shared<SegmentPool>(c());
}

XcbScreen::~XcbScreen() = default;

bool XcbScreen::isUsingSharedMemory() const
{
    return d->isUsingSharedMemory;
}

void XcbScreen::Private::checkConnection() const
{
    if (xcb_connection_has_error(c())) {
        const QByteArray display = qgetenv("DISPLAY");
        fail(QStringLiteral("cannot connect to the X display \"%1\"").arg(QString::fromLocal8Bit(display)));
    }
    if (!screen) {
        fail(QStringLiteral("the X display has no such screen"));
    }
}

QRect XcbScreen::Private::primaryMonitor()
{
    checkConnection();
    if (hasRandrMonitors) {
        const auto reply =
            takeReply<xcb_randr_get_monitors_reply_t>(c(), xcb_randr_get_monitors(c(), screen->root, 1),
                                                      xcb_randr_get_monitors_reply, QStringLiteral("RRGetMonitors"));
        std::optional<QRect> first;
        for (auto m = xcb_randr_get_monitors_monitors_iterator(reply.get()); m.rem; xcb_randr_monitor_info_next(&m)) {
            const QRect rect(m.data->x, m.data->y, m.data->width, m.data->height);
            if (m.data->primary) {
                return rect;
            }
            if (!first) {
                first = rect;
            }
        }
        if (first) {
            return *first;
        }
    }
    const auto geometry = takeReply<xcb_get_geometry_reply_t>(c(), xcb_get_geometry(c(), screen->root),
                                                              xcb_get_geometry_reply, QStringLiteral("GetGeometry"));
    return QRect(0, 0, geometry->width, geometry->height);
}

ScreenMetrics XcbScreen::metrics()
{
    ScreenMetrics metrics;
    metrics.deviceGeometry = d->primaryMonitor();
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (const QScreen* primary = QGuiApplication::primaryScreen()) {
            metrics.logicalDpiX = primary->logicalDotsPerInchX();
            metrics.logicalDpiY = primary->logicalDotsPerInchY();
            metrics.devicePixelRatio = primary->devicePixelRatio();
        }
    }
    return metrics;
}

std::vector<PaletteEntry> XcbScreen::Private::palette()
{
    std::uint32_t pixels[256];
    for (std::uint32_t i = 0; i < 256; ++i) {
        pixels[i] = i;
    }
    const auto reply =
        takeReply<xcb_query_colors_reply_t>(c(), xcb_query_colors(c(), screen->default_colormap, 256, pixels),
                                            xcb_query_colors_reply, QStringLiteral("QueryColors"));
    const xcb_rgb_t* colours = xcb_query_colors_colors(reply.get());
    const int count = xcb_query_colors_colors_length(reply.get());
    std::vector<PaletteEntry> palette(256);
    for (int i = 0; i < count && i < 256; ++i) {
        // The server keeps 16 bits a channel; the palette has 8.
        palette[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(colours[i].red >> 8),
                                                static_cast<std::uint8_t>(colours[i].green >> 8),
                                                static_cast<std::uint8_t>(colours[i].blue >> 8), 0};
    }
    return palette;
}

// Bytes in one row of an image of `width` pixels as the server sends it.
int XcbScreen::Private::strideFor(int width)
{
    if (!layout) {
        layout = layoutFor(xcb_get_setup(c()), screen);
    }
    const int pad = layout->scanlinePad;
    const std::int64_t rowBits = std::int64_t{width} * layout->bitsPerPixel;
    return static_cast<int>((rowBits + pad - 1) / pad * pad / 8);
}

// Nothing when the server cannot attach a segment (a remote display) or no segment can be had; the caller then
// takes the plain path.
std::optional<PixelBuffer> XcbScreen::Private::grabShared(const QRect& area, int stride)
{
    const std::size_t size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(area.height());
    std::unique_ptr<SharedSegment> segment = pool->take(size);
    if (!segment) {
        return std::nullopt;
    }
    if (segment->serverId == 0) {
        const xcb_shm_seg_t id = xcb_generate_id(c());
        const XcbReply<xcb_generic_error_t> error(
            xcb_request_check(c(), xcb_shm_attach_checked(c(), id, static_cast<std::uint32_t>(segment->id()), 0)));
        if (error) {
            isUsingSharedMemory = false;
            return std::nullopt;
        }
        segment->serverId = id;
    }
    const auto cookie =
        xcb_shm_get_image(c(), screen->root, static_cast<std::int16_t>(area.x()), static_cast<std::int16_t>(area.y()),
                          static_cast<std::uint16_t>(area.width()), static_cast<std::uint16_t>(area.height()), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment->serverId, 0);
    xcb_generic_error_t* rawError = nullptr;
    const XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c(), cookie, &rawError));
    const XcbReply<xcb_generic_error_t> error(rawError);
    if (error || !reply) {
        pool->giveBack(std::move(segment));
        if (error) {
            fail(QStringLiteral("the X server refused ShmGetImage of %1 (%2)")
                     .arg(areaText(area), errorName(error->error_code)));
        }
        fail(QStringLiteral("the connection to the X server was lost"));
    }
    return PixelBuffer(area.width(), area.height(), layout->format, stride,
                       std::make_unique<SharedMemoryStorage>(std::move(segment), pool));
}

PixelBuffer XcbScreen::Private::grabPlain(const QRect& area, int stride)
{
    // A reply may not be longer than the longest request the server takes; larger areas go in bands of rows.
    const std::uint64_t maxBytes = std::uint64_t{xcb_get_maximum_request_length(c())} * 4;
    const int rowsPerBand =
        static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(area.height(), (maxBytes - 32) / stride)));
    const auto band = [&](int top, int rows) {
        auto reply = takeReply<xcb_get_image_reply_t>(
            c(),
            xcb_get_image(c(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<std::int16_t>(area.x()),
                          static_cast<std::int16_t>(area.y() + top), static_cast<std::uint16_t>(area.width()),
                          static_cast<std::uint16_t>(rows), ~0u),
            xcb_get_image_reply,
            QStringLiteral("GetImage of ") + areaText(QRect(area.x(), area.y() + top, area.width(), rows)));
        if (xcb_get_image_data_length(reply.get()) < static_cast<std::int64_t>(stride) * rows) {
            fail(QStringLiteral("the X server sent a short image"));
        }
        return reply;
    };
    if (rowsPerBand >= area.height()) {
        return PixelBuffer(area.width(), area.height(), layout->format, stride,
                           std::make_unique<ReplyStorage>(band(0, area.height())));
    }
    PixelBuffer buffer = PixelBuffer::allocate(area.width(), area.height(), layout->format);
    for (int top = 0; top < area.height(); top += rowsPerBand) {
        const int rows = std::min(rowsPerBand, area.height() - top);
        const auto reply = band(top, rows);
        const std::uint8_t* source = xcb_get_image_data(reply.get());
        for (int y = 0; y < rows; ++y) {
            std::memcpy(buffer.row(top + y), source + static_cast<std::ptrdiff_t>(y) * stride, buffer.stride());
        }
    }
    return buffer;
}

void XcbScreen::prepare()
{
    if (!d->isUsingSharedMemory || !d->pool) {
        return;
    }
    try {
        const QRect monitor = d->primaryMonitor();
        const auto stride = static_cast<std::size_t>(d->strideFor(monitor.width()));
        if (d->pool->spareSize() >= stride * static_cast<std::size_t>(monitor.height())) {
            d->pool->keepSpare();
            return;
        }
        const ScreenPixels pixels = grabArea(0, 0, monitor.width(), monitor.height());
        // The server has written every page; reading one byte of each maps them here too, as a paint would.
        const PixelBuffer& bitmap = pixels.bitmap;
        const std::size_t size = static_cast<std::size_t>(bitmap.stride()) * static_cast<std::size_t>(bitmap.height());
        const volatile std::uint8_t* bytes = bitmap.bits();
        std::uint8_t sink = 0;
        for (std::size_t at = 0; at < size; at += 4096) {
            sink ^= bytes[at];
        }
        static_cast<void>(sink);
    } catch (const std::exception&) {
        // The grab itself meets the same trouble, and reports it.
    }
}

void XcbScreen::setSpareLifetime(std::chrono::milliseconds lifetime)
{
    if (d->pool) {
        d->pool->setSpareLifetime(lifetime);
    }
}

ScreenPixels XcbScreen::grabArea(int left, int top, int width, int height)
{
    d->checkConnection();
    if (!d->layout) {
        d->layout = layoutFor(xcb_get_setup(d->c()), d->screen);
    }
    if (width <= 0 || height <= 0) {
        fail(QStringLiteral("an area of %1 x %2 pixels is empty").arg(width).arg(height));
    }
    const QRect monitor = d->primaryMonitor();
    const QRect area(monitor.x() + left, monitor.y() + top, width, height);
    // The protocol carries 16-bit coordinates; the server itself refuses areas beyond the root window.
    if (area.left() < -32768 || area.top() < -32768 || area.right() > 32767 || area.bottom() > 32767 || width > 65535 ||
        height > 65535) {
        fail(QStringLiteral("the area of %1 is not on the screen").arg(areaText(area)));
    }
    const int stride = d->strideFor(width);

    ScreenPixels pixels;
    std::optional<PixelBuffer> shared;
    if (d->isUsingSharedMemory) {
        shared = d->grabShared(area, stride);
    }
    pixels.bitmap = shared ? std::move(*shared) : d->grabPlain(area, stride);
    if (d->layout->hasPalette) {
        pixels.palette = d->palette();
    }
    return pixels;
}
