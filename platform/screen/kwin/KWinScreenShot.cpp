#include "platform/screen/kwin/KWinScreenShot.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QImage>
#include <QScreen>
#include <QVariantMap>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The name KWin's screenshot effect takes on the bus while it is loaded.
const QString service = QStringLiteral("org.kde.KWin.ScreenShot2");
const QString path = QStringLiteral("/org/kde/KWin/ScreenShot2");
const QString interface = QStringLiteral("org.kde.KWin.ScreenShot2");
// Far beyond any screen, and small enough that rows times height stays within an int.
constexpr qint64 maxPictureBytes = 512LL * 1024 * 1024;

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: KWin's screenshot service (%1) %2").arg(interface, why));
}

// The `size` bytes of the picture, as KWin writes them into the pipe after its answer; at most until `deadline`. The
// pipe does not end after them: the pending call keeps the message it sent, and with it a copy of the write end.
QByteArray readPicture(int fd, qint64 size, const QDeadlineTimer& deadline)
{
    QByteArray data(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        pollfd ready{fd, POLLIN, 0};
        const int waited = poll(&ready, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
        if (waited < 0 && errno != EINTR) {
            fail(QStringLiteral("could not be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (waited <= 0) {
            if (deadline.hasExpired()) {
                fail(QStringLiteral("handed over %1 of the picture's %2 bytes in time").arg(done).arg(size));
            }
            continue;
        }
        const ssize_t got = read(fd, data.data() + done, static_cast<size_t>(size - done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(QStringLiteral("could not be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (got == 0) {
            fail(QStringLiteral("handed over %1 of the picture's %2 bytes").arg(done).arg(size));
        }
        done += got;
    }
    return data;
}

// The formats KWin hands over: 32-bit pixels, as QImage numbers them.
bool isFourByteFormat(uint format)
{
    switch (static_cast<QImage::Format>(format)) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return true;
    default:
        return false;
    }
}

} // namespace

KWinScreenShot::KWinScreenShot(const QDBusConnection& bus, bool outputsByName)
    : m_bus(bus)
    , m_outputsByName(outputsByName)
{}

QImage KWinScreenShot::picture(const QScreen& screen)
{
    if (!isAvailable(m_bus)) {
        fail(QStringLiteral("is not running"));
    }
    return capture(m_bus, m_outputsByName ? screen.name() : QString());
}

void KWinScreenShot::warmUp(const QScreen& /*screen*/)
{
    isAvailable(m_bus);
}

QString KWinScreenShot::pictureName() const
{
    return QStringLiteral("of KWin's screen");
}

bool KWinScreenShot::isAvailable(const QDBusConnection& bus)
{
    const QDBusConnectionInterface* names = bus.interface();
    return names && names->isServiceRegistered(service).value();
}

QImage KWinScreenShot::capture(const QDBusConnection& bus, const QString& outputName, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        fail(QStringLiteral("could not be given a pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    const FileDescriptor readEnd(ends[0]);
    QDBusPendingCall call = [&] {
        const FileDescriptor writeEnd(ends[1]);
        const QVariantMap options{{QStringLiteral("include-cursor"), false},
                                  {QStringLiteral("native-resolution"), true}};
        const QVariant pipe = QVariant::fromValue(QDBusUnixFileDescriptor(writeEnd.get()));
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, path, interface,
            outputName.isEmpty() ? QStringLiteral("CaptureActiveScreen") : QStringLiteral("CaptureScreen"));
        message.setArguments(outputName.isEmpty() ? QVariantList{options, pipe}
                                                  : QVariantList{outputName, options, pipe});
        return QDBusConnection(bus).asyncCall(message, static_cast<int>(limit.count()));
    }();
    // KWin answers once it has the picture, then writes its rows.
    call.waitForFinished();
    const QDBusPendingReply<QVariantMap> reply(call);
    if (reply.isError()) {
        const QDBusError error = reply.error();
        if (error.name() == QStringLiteral("org.kde.KWin.ScreenShot2.Error.NoAuthorized")) {
            fail(QStringLiteral("refused: KWin answers only programs that an installed desktop file names with "
                                "X-KDE-DBUS-Restricted-Interfaces=%1")
                     .arg(interface));
        }
        if (error.type() == QDBusError::ServiceUnknown) {
            fail(QStringLiteral("is not running"));
        }
        fail(QStringLiteral("failed: %1").arg(error.message()));
    }
    const QVariantMap results = reply.value();
    // KWin's numbers are unsigned; whatever comes is read as it is and checked by division, so that nothing overflows.
    bool numbers = true;
    const auto number = [&](const char* key) {
        bool ok = false;
        const qulonglong value = results.value(QLatin1String(key)).toULongLong(&ok);
        numbers = numbers && ok;
        return value;
    };
    const qulonglong width = number("width");
    const qulonglong height = number("height");
    const qulonglong stride = number("stride");
    const uint format = results.value(QStringLiteral("format")).toUInt();
    if (!isFourByteFormat(format)) {
        fail(
            QStringLiteral("handed over pixels in a format this program does not read (QImage format %1)").arg(format));
    }
    if (!numbers || width == 0 || height == 0 || width > std::numeric_limits<int>::max() / 4 || stride < width * 4 ||
        height > static_cast<qulonglong>(maxPictureBytes) / stride) {
        fail(QStringLiteral("described an impossible picture of %1 x %2 pixels, %3 bytes a row")
                 .arg(results.value(QStringLiteral("width")).toString(),
                      results.value(QStringLiteral("height")).toString(),
                      results.value(QStringLiteral("stride")).toString()));
    }
    const QByteArray data = readPicture(readEnd.get(), static_cast<qint64>(stride * height), deadline);
    // The rows are borrowed from `data`: the picture returned has rows of its own.
    const QImage rows(reinterpret_cast<const uchar*>(data.constData()), static_cast<int>(width),
                      static_cast<int>(height), static_cast<qsizetype>(stride), static_cast<QImage::Format>(format));
    return format == QImage::Format_RGB32 ? rows.copy() : rows.convertToFormat(QImage::Format_RGB32);
}
