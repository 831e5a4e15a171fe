#include "platform/PortalScreen.h"

#include "platform/Failure.h"
#include "platform/ImageStorage.h"

#include <QBuffer>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QScreen>
#include <QUrl>

#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString serviceText = QStringLiteral("the desktop's screenshot service (xdg-desktop-portal)");

// The largest screenshot file read: a PNG or raw picture of an 8K desktop fits well within it.
constexpr qint64 maxFileBytes = 512LL * 1024 * 1024;
// Megabytes the decoder may allocate for one picture (Qt's default of 128 refuses an 8K desktop).
constexpr int maxDecodeMegabytes = 1024;

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: ") + why);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// One Screenshot request: subscribed to its Response before the call, as the portal's request pattern asks, and
// waited for in a local event loop that leaves user input queued.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    explicit PortalRequest(QDBusConnection bus)
        : m_bus(std::move(bus))
    {}
    ~PortalRequest() override { unlisten(); }
    PortalRequest(const PortalRequest&) = delete;
    PortalRequest& operator=(const PortalRequest&) = delete;

    // The file URI the portal answered with.
    QString run();

private slots:
    void response(uint code, const QVariantMap& results);
    void replied(QDBusPendingCallWatcher* call);
    void portalGone();

private:
    void listen(const QString& path);
    void unlisten();
    void finish(QString failure = {});

    QDBusConnection m_bus;
    QString m_path;
    QEventLoop m_loop;
    bool m_done = false;
    QString m_failure;
    QString m_uri;
};

QString PortalRequest::run()
{
    if (!m_bus.isConnected()) {
        fail(QStringLiteral("there is no session bus (D-Bus), so %1 cannot be reached").arg(serviceText));
    }
    static int serial = 0;
    const QString token = QStringLiteral("quosh%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    listen(QStringLiteral("%1/request/%2/%3").arg(portalPath, sender, token));

    // Once the portal is running, its leaving the bus is the one sign that no answer will come.
    QDBusServiceWatcher watcher(portalService, m_bus, QDBusServiceWatcher::WatchForUnregistration);
    connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, this, &PortalRequest::portalGone);

    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, screenshotInterface, QStringLiteral("Screenshot"));
    call << QString() << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false}};
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &PortalRequest::replied);

    // A person may have to allow the screenshot first: there is no time limit.
    while (!m_done) {
        m_loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!m_failure.isEmpty()) {
        fail(m_failure);
    }
    return m_uri;
}

void PortalRequest::listen(const QString& path)
{
    unlisten();
    m_path = path;
    m_bus.connect(portalService, m_path, requestInterface, QStringLiteral("Response"), this,
                  SLOT(response(uint, QVariantMap)));
}

void PortalRequest::unlisten()
{
    if (!m_path.isEmpty()) {
        m_bus.disconnect(portalService, m_path, requestInterface, QStringLiteral("Response"), this,
                         SLOT(response(uint, QVariantMap)));
        m_path.clear();
    }
}

void PortalRequest::finish(QString failure)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_failure = std::move(failure);
    m_loop.quit();
}

void PortalRequest::replied(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
            finish(QStringLiteral("%1 is not running").arg(serviceText));
        } else if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
                   name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
                   name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")) {
            finish(QStringLiteral("%1 has no screenshot backend for this desktop (xdg-desktop-portal-gnome, -kde or "
                                  "-wlr)")
                       .arg(serviceText));
        } else {
            finish(QStringLiteral("%1 failed: %2").arg(serviceText, reply.errorMessage()));
        }
        return;
    }
    // Portals before version 0.9 pick the request's path themselves.
    const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!path.isEmpty() && path != m_path && !m_done) {
        listen(path);
    }
}

void PortalRequest::response(uint code, const QVariantMap& results)
{
    switch (code) {
    case 0:
        m_uri = results.value(QStringLiteral("uri")).toString();
        finish();
        return;
    case 1:
        finish(QStringLiteral("the screenshot was cancelled"));
        return;
    case 2:
        finish(QStringLiteral("%1 refused to take a screenshot").arg(serviceText));
        return;
    default:
        finish(QStringLiteral("%1 answered with the unknown code %2").arg(serviceText).arg(code));
        return;
    }
}

void PortalRequest::portalGone()
{
    finish(QStringLiteral("%1 stopped before it answered").arg(serviceText));
}

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The whole file, read only if it is a regular file and no larger than the cap, never blocking on it.
QByteArray readScreenshotFile(const QString& path, struct stat& info)
{
    FileDescriptor file;
    file.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0) {
        fail(QStringLiteral("cannot open the screenshot %1: %2").arg(path, systemError(errno)));
    }
    if (::fstat(file.fd, &info) != 0) {
        fail(QStringLiteral("cannot read the screenshot %1: %2").arg(path, systemError(errno)));
    }
    if (!S_ISREG(info.st_mode)) {
        fail(QStringLiteral("the screenshot %1 is not a regular file").arg(path));
    }
    if (info.st_size > maxFileBytes) {
        fail(QStringLiteral("the screenshot %1 is larger than %2 MB").arg(path).arg(maxFileBytes / (1024 * 1024)));
    }
    QByteArray data(static_cast<qsizetype>(info.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(file.fd, data.data() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fail(QStringLiteral("cannot read the screenshot %1: %2").arg(path, systemError(errno)));
        }
        if (n == 0) {
            break; // shorter than it was; the decoder judges what is there
        }
        done += n;
    }
    data.truncate(done);
    return data;
}

bool operator<(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Removes the screenshot when the portal made it for this request in a temporary folder: it holds the whole desktop
// and nobody else will clear it away. Anything else (a file in the user's pictures, one older than the request, one
// of another user, one that was replaced after it was read) stays.
void removeIfMadeForRequest(const QString& path, const struct stat& opened, timespec requested)
{
    const QString folder = QFileInfo(path).absoluteDir().canonicalPath();
    const bool temporary = !folder.isEmpty() && (folder == QDir(QDir::tempPath()).canonicalPath() ||
                                                 folder == QDir(QStringLiteral("/tmp")).canonicalPath());
    requested.tv_sec -= 1; // file systems with coarse time stamps
    if (!temporary || opened.st_uid != ::geteuid() || opened.st_mtim < requested) {
        return;
    }
    struct stat now {};
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == opened.st_dev &&
        now.st_ino == opened.st_ino) {
        // A file left behind costs nothing but the space; the picture is read already.
        static_cast<void>(::unlink(name.constData()));
    }
}

// Decoded once, straight into 32-bit BGRX (the picture's own format) whenever the file's format allows.
QImage decodeScreenshot(QByteArray data, const QString& path)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImageReader::setAllocationLimit(maxDecodeMegabytes);
    QImage image;
    if (!reader.read(&image)) {
        fail(
            QStringLiteral("the screenshot %1 is not a picture that can be read (%2)").arg(path, reader.errorString()));
    }
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_RGB32);
    }
    if (image.isNull()) {
        fail(QStringLiteral("out of memory for the screenshot %1").arg(path));
    }
    return image;
}

} // namespace

PortalScreen::PortalScreen(const QDBusConnection& bus)
    : m_bus(bus)
{}

ScreenMetrics PortalScreen::metrics()
{
    return m_toolkit.metrics();
}

ScreenPixels PortalScreen::grabArea(int left, int top, int width, int height)
{
    if (width <= 0 || height <= 0) {
        fail(QStringLiteral("an area of %1 x %2 pixels is empty").arg(width).arg(height));
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) {
        fail(QStringLiteral("there is no screen"));
    }
    timespec requested{};
    ::clock_gettime(CLOCK_REALTIME, &requested);
    const QString uri = PortalRequest(m_bus).run();
    const QUrl url(uri);
    if (!url.isLocalFile()) {
        fail(QStringLiteral("%1 gave no file to read (\"%2\")").arg(serviceText, uri));
    }
    const QString path = url.toLocalFile();
    struct stat opened {};
    QByteArray data = readScreenshotFile(path, opened);
    removeIfMadeForRequest(path, opened, requested);
    QImage image = decodeScreenshot(std::move(data), path);

    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens()) {
        desktop |= screen->geometry();
    }
    const QRect screen = primaryInDesktopPicture(desktop, primary->geometry(), image.size());
    const QRect area(screen.x() + left, screen.y() + top, width, height);
    if (!image.rect().contains(area)) {
        fail(QStringLiteral("the screenshot of %1 x %2 pixels does not hold the area of %3 x %4 pixels at (%5, %6)")
                 .arg(image.width())
                 .arg(image.height())
                 .arg(width)
                 .arg(height)
                 .arg(area.x())
                 .arg(area.y()));
    }
    // The primary screen's rectangle is a view into the decoded desktop with its stride: no copy.
    const auto stride = static_cast<int>(image.bytesPerLine());
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(area.y()) * stride + std::ptrdiff_t{4} * area.x();
    ScreenPixels pixels;
    pixels.bitmap = PixelBuffer(width, height, PixelFormat::Bgrx32, stride,
                                std::make_unique<ImageStorage>(std::move(image), offset));
    return pixels;
}

QRect primaryInDesktopPicture(const QRect& desktop, const QRect& primary, const QSize& picture)
{
    if (desktop.isEmpty()) {
        return QRect(QPoint(0, 0), picture);
    }
    const double scaleX = static_cast<double>(picture.width()) / desktop.width();
    const double scaleY = static_cast<double>(picture.height()) / desktop.height();
    // Both edges are rounded, so that screens side by side meet without a gap or an overlap.
    const auto edge = [](int logical, int origin, double scale) {
        return static_cast<int>(std::lround((logical - origin) * scale));
    };
    const int x0 = edge(primary.x(), desktop.x(), scaleX);
    const int y0 = edge(primary.y(), desktop.y(), scaleY);
    const int x1 = edge(primary.x() + primary.width(), desktop.x(), scaleX);
    const int y1 = edge(primary.y() + primary.height(), desktop.y(), scaleY);
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

#include "PortalScreen.moc"
