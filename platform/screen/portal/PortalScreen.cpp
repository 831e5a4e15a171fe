#include "platform/screen/portal/PortalScreen.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"
#include "platform/screen/ImageStorage.h"
#include "platform/screen/portal/PortalRequest.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QScreen>
#include <QUrl>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString serviceText = PortalRequest::serviceText();

// The largest screenshot file read: a PNG or raw picture of an 8K desktop fits well within it.
constexpr qint64 maxFileBytes = 512LL * 1024 * 1024;
// Megabytes the decoder may allocate for one picture (Qt's default of 128 refuses an 8K desktop). The limit is the
// process's; nothing else here decodes anything near that size.
constexpr int maxDecodeMegabytes = 1024;

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: ") + why);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The whole file, read only if it is a regular file and no larger than the cap, never blocking on it.
RegularFileRead readScreenshotFile(const QString& path)
{
    RegularFileRead read = readRegularFile(path, maxFileBytes);
    switch (read.status) {
    case RegularFileRead::Status::Read:
        break;
    case RegularFileRead::Status::NotRegular:
        fail(QStringLiteral("the screenshot %1 is not a regular file").arg(path));
    case RegularFileRead::Status::TooLarge:
        fail(QStringLiteral("the screenshot %1 is larger than %2 MB").arg(path).arg(maxFileBytes / (1024LL * 1024)));
    case RegularFileRead::Status::Absent:
        fail(QStringLiteral("cannot open the screenshot %1: %2").arg(path, systemError(read.error)));
    case RegularFileRead::Status::Failed:
        fail(QStringLiteral("cannot read the screenshot %1: %2").arg(path, systemError(read.error)));
    }
    return read;
}

// Removes the screenshot when the portal made it for this request in a temporary folder: it holds the whole desktop
// and nobody else will clear it away. Anything else (a file in the user's pictures, one older than the request, one
// of another user, one that was replaced after it was read) stays.
void removeIfMadeForRequest(const QString& path, const FileIdentity& opened, qint64 requestedNs)
{
    const QString folder = QFileInfo(path).absoluteDir().canonicalPath();
    const bool temporary = !folder.isEmpty() && (folder == QDir(QDir::tempPath()).canonicalPath() ||
                                                 folder == QDir(QStringLiteral("/tmp")).canonicalPath());
    constexpr qint64 CoarseTimeStampsNs = 1000000000; // file systems with coarse time stamps
    if (!temporary || opened.owner != ::geteuid() || opened.modifiedNs < requestedNs - CoarseTimeStampsNs) {
        return;
    }
    struct stat now {};
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &now) == 0 && S_ISREG(now.st_mode) &&
        static_cast<quint64>(now.st_dev) == opened.device && static_cast<quint64>(now.st_ino) == opened.inode) {
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
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 requestedNs = qint64{now.tv_sec} * 1000000000 + qint64{now.tv_nsec};
    const QString uri = PortalRequest(m_bus).run();
    const QUrl url(uri);
    if (!url.isLocalFile()) {
        fail(QStringLiteral("%1 gave no file to read (\"%2\")").arg(serviceText, uri));
    }
    const QString path = url.toLocalFile();
    RegularFileRead read = readScreenshotFile(path);
    removeIfMadeForRequest(path, read.identity, requestedNs);
    QImage image = decodeScreenshot(std::move(read.bytes), path);

    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens()) {
        desktop |= screen->geometry();
    }
    QRect screen = primaryInDesktopPicture(desktop, primary->geometry(), image.size());
    const QSize deviceSize = m_toolkit.metrics().deviceGeometry.size();
    if (screen.size() != deviceSize && !screen.isEmpty()) {
        // A fractional output scale: the toolkit draws at the next whole ratio and the compositor scales its
        // buffers down, while the picture holds the output's own pixels. Scaled to the toolkit's device pixels, the
        // picture lies under the overlay in place, though no longer pixel for pixel.
        image = image.copy(screen)
                    .scaled(deviceSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .convertToFormat(QImage::Format_RGB32);
        screen = image.rect();
    }
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
