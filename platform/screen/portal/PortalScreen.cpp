#include "platform/screen/portal/PortalScreen.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"
#include "platform/process/LaunchSteps.h"
#include "platform/screen/ImageStorage.h"
#include "platform/screen/portal/DesktopLayout.h"
#include "platform/screen/portal/PngDecoder.h"
#include "platform/screen/portal/PortalPicture.h"
#include "platform/screen/portal/PortalRequest.h"
#include "platform/screen/portal/WrittenPicture.h"
#include "platform/screen/wayland/WaylandWindows.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

const QString serviceText = PortalRequest::serviceText();

// The largest screenshot file read: a PNG or raw picture of an 8K desktop fits well within it.
constexpr qint64 maxFileBytes = 512LL * 1024 * 1024;

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

// Nanoseconds since the epoch, as file times are kept.
qint64 wallClockNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64{now.tv_sec} * 1000000000 + qint64{now.tv_nsec};
}

// A picture far larger than the desktop would take its width x height x 4 bytes to decode, gigabytes for a small
// file that merely says it is huge: it is refused on what its header says.
void checkDeclaredSize(const QByteArray& bytes, const QString& path, const QSize& root)
{
    const QSize declared = PngDecoder::recognises(bytes) ? PngDecoder::declaredSize(bytes) : declaredPictureSize(bytes);
    const QSize desktop = desktopDeviceSize(root);
    if (declared.isValid() && (qint64{declared.width()} > qint64{maxScaleMismatch} * desktop.width() ||
                               qint64{declared.height()} > qint64{maxScaleMismatch} * desktop.height())) {
        fail(QStringLiteral("the screenshot %1 is %2 x %3 pixels, far larger than the whole desktop (%4 x %5), so it "
                            "was not read")
                 .arg(path)
                 .arg(declared.width())
                 .arg(declared.height())
                 .arg(desktop.width())
                 .arg(desktop.height()));
    }
}

} // namespace

PortalScreen::PortalScreen(const QDBusConnection& bus, std::chrono::milliseconds answerLimit, PortalDesktop desktop)
    : ScreenService(desktop.windows ? std::move(desktop.windows) : std::make_unique<WaylandWindows>(nullptr))
    , m_bus(bus)
    , m_answerLimit(answerLimit)
    , m_rootSize(std::move(desktop.rootSize))
    , m_layoutInDevicePixels(desktop.layoutInDevicePixels)
    , m_direct(std::move(desktop.direct))
{}

PortalScreen::~PortalScreen() = default;

void PortalScreen::settle()
{
    if (m_unanswered) {
        m_unanswered->settle(std::chrono::seconds(1));
        m_unanswered.reset();
    }
}

bool PortalScreen::shellAnswersLate()
{
    if (!m_shellAnswersLate) {
        const QDBusConnectionInterface* names = m_bus.interface();
        m_shellAnswersLate = names && names->isServiceRegistered(QStringLiteral("org.gnome.Shell.Screenshot")).value();
    }
    return *m_shellAnswersLate;
}

void PortalScreen::warmUp()
{
    if (m_warm) {
        return;
    }
    m_warm = true;
    if (const QScreen* primary = QGuiApplication::primaryScreen(); primary && m_direct) {
        m_direct->warmUp(*primary);
    }
    PortalRequest::wake(m_bus);
    shellAnswersLate();
    // The smallest picture there is (one black pixel), through the decoder that reads the portal's.
    static const unsigned char png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x77, 0x53, 0xde, 0x00, 0x00, 0x00,
        0x0c, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x60, 0x60, 0x60, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0xf6,
        0x17, 0x38, 0x55, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    QString error;
    PngDecoder::decode(QByteArray::fromRawData(reinterpret_cast<const char*>(png), sizeof png), &error);
}

QSize PortalScreen::rootSize() const
{
    return m_rootSize ? m_rootSize() : QSize();
}

ScreenMetrics PortalScreen::metrics()
{
    ScreenMetrics metrics = m_toolkit.metrics();
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (m_layoutInDevicePixels && primary) {
        metrics.deviceGeometry = primary->geometry();
    }
    // The last picture tells the output's own pixels, which the toolkit may not draw at (the next whole scale under
    // Qt before 6.5, or scale 1 under XWayland), as long as the screens are laid out as they were then.
    const QSize root = rootSize();
    if (m_picture && primary && m_picture->layout == desktopLayout(root) &&
        m_picture->primary == screenGeometry(primary, root)) {
        metrics.deviceGeometry.setSize(m_picture->pixels);
        metrics.devicePixelRatio = m_picture->scaleX;
        metrics.devicePixelRatioY = m_picture->scaleY;
    }
    return metrics;
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
    // The pixels the caller measured the area in: the toolkit's, until a picture has shown the output's own.
    const QSize measured = metrics().deviceGeometry.size();
    const QSize root = rootSize();
    // The desktop's own source hands over the primary output alone, without the pointer that KDE's portal draws in;
    // where there is none, or it refuses (KWin answers only a program that an installed desktop file names) or fails,
    // the portal gives the whole desktop.
    QString source;
    std::optional<QImage> direct = directPicture(*primary);
    QImage image = direct ? std::move(*direct) : portalPicture(root, &source);
    if (direct) {
        source = m_direct->pictureName();
    }

    const QRect primaryGeometry = screenGeometry(primary, root);
    const QRect layout = direct ? primaryGeometry : desktopLayout(root);
    if (const QString why = implausiblePictureReason(image.size(), layout.size()); !why.isEmpty()) {
        fail(QStringLiteral("the screenshot %1 %2").arg(source, why));
    }
    // The primary screen's pixels as they came: the file holds the output's own pixels, never a resampled copy.
    const QRect screen = primaryInDesktopPicture(layout, primaryGeometry, image.size());
    const QSize logical = m_layoutInDevicePixels
                              ? (QSizeF(primaryGeometry.size()) / primary->devicePixelRatio()).toSize()
                              : primaryGeometry.size();
    m_picture = PictureGeometry{layout,
                                primaryGeometry,
                                screen.size(),
                                image.size(),
                                static_cast<double>(screen.width()) / std::max(1, logical.width()),
                                static_cast<double>(screen.height()) / std::max(1, logical.height())};
    const QRect area =
        scaledEdges(QRect(left, top, width, height), measured, screen.size()).translated(screen.topLeft());
    if (!image.rect().contains(area)) {
        fail(QStringLiteral("the screenshot of %1 x %2 pixels does not hold the area of %3 x %4 pixels at (%5, %6)")
                 .arg(image.width())
                 .arg(image.height())
                 .arg(area.width())
                 .arg(area.height())
                 .arg(area.x())
                 .arg(area.y()));
    }
    // The primary screen's rectangle is a view into the decoded desktop with its stride: no copy.
    const auto stride = static_cast<int>(image.bytesPerLine());
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(area.y()) * stride + std::ptrdiff_t{4} * area.x();
    ScreenPixels pixels;
    pixels.bitmap = PixelBuffer(area.width(), area.height(), PixelFormat::Bgrx32, stride,
                                std::make_unique<ImageStorage>(std::move(image), offset));
    return pixels;
}

QImage PortalScreen::portalPicture(const QSize& root, QString* path)
{
    const qint64 requestedNs = wallClockNs();
    // Memory for the picture at the size it most likely has, brought in while the portal works: fresh memory comes
    // page by page, at a cost the decoding would otherwise pay after the answer (17 ms for a 3840 x 2160 desktop).
    QImage memory;
    // GNOME Shell answers only once its flash has faded, half a second after it wrote the picture, where it saves its
    // screenshots.
    settle();
    std::unique_ptr<WrittenPicture> early;
    if (shellAnswersLate()) {
        early = std::make_unique<WrittenPicture>(
            QStringList{QStandardPaths::writableLocation(QStandardPaths::PicturesLocation), QDir::homePath()});
    }
    auto request = std::make_unique<PortalRequest>(m_bus, m_answerLimit);
    const QString uri = request->run(
        [&] {
            const QSize expected = m_picture && m_picture->layout == desktopLayout(root) ? m_picture->whole
                                   : m_layoutInDevicePixels                              ? desktopLayout(root).size()
                                                                                         : desktopDeviceSize(root);
            memory = QImage(expected, QImage::Format_RGB32);
            memory.fill(0);
        },
        early.get());
    if (request->answeredEarly()) {
        m_unanswered = std::move(request);
    }
    const qint64 answeredNs = wallClockNs();
    *path = localPathOfUri(uri);
    if (path->isEmpty()) {
        fail(QStringLiteral("%1 gave no file to read (\"%2\")").arg(serviceText, uri));
    }
    RegularFileRead read = readScreenshotFile(*path);
    // Gone before anything can fail on it: it holds the whole desktop, and the portal never clears it away.
    removePortalPicture(*path, read.identity, requestedNs, answeredNs);
    checkDeclaredSize(read.bytes, *path, root);
    QString error;
    QImage image = PngDecoder::recognises(read.bytes) ? PngDecoder::decode(read.bytes, &error, std::move(memory))
                                                      : decodePicture(std::move(read.bytes), &error);
    noteLaunchStep("picture decoded");
    if (image.isNull()) {
        fail(QStringLiteral("the screenshot %1 is not a picture that can be read (%2)").arg(*path, error));
    }

    return image;
}

std::optional<QImage> PortalScreen::directPicture(const QScreen& primary)
{
    if (!m_direct) {
        return std::nullopt;
    }
    try {
        QImage image = m_direct->picture(primary);
        noteLaunchStep("picture decoded");
        return image;
    } catch (const Failure& failure) {
        noteLaunchStep(qPrintable(QStringLiteral("no direct picture (%1)").arg(failure.description())));
        return std::nullopt;
    }
}
