#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"
#include "platform/process/TerminationSignals.h"
#include "platform/screen/ScreenService.h"
#include "platform/screen/WindowingSystem.h"
#include "platform/screen/kwin/KWinScreenShot.h"
#include "platform/screen/portal/DesktopLayout.h"
#include "platform/screen/portal/PortalPicture.h"
#include "platform/screen/portal/PortalScreen.h"
#include "platform/screen/qt/QtScreen.h"
#include "support/XvfbServer.h"

#include <QBuffer>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

const QString portalName = QStringLiteral("org.freedesktop.portal.Desktop");

// The portal's front end as a test controls it, on a private bus: it sends each of `answers` (code and uri) for a
// request, or none, or leaves the bus instead of answering. `impostor` names a connection that answers the
// request first, with `impostorUri`, as any other program on the bus could.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    FakePortal(QDBusConnection bus, QString address)
        : m_bus(std::move(bus))
        , m_address(std::move(address))
    {}
    QList<QPair<uint, QString>> answers;
    bool vanish = false;
    QString impostor;
    QString impostorUri;
    bool pathOfItsOwn = false; // answers on a request path other than the one the caller expects
    int resent = 0;
    int calls = 0;
    QVariantMap options;

public slots:
    QDBusObjectPath Screenshot(const QString& /*parent*/, const QVariantMap& requestOptions, const QDBusMessage& call)
    {
        ++calls;
        options = requestOptions;
        QString sender = call.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path =
            QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                .arg(sender, pathOfItsOwn ? QStringLiteral("own")
                                          : requestOptions.value(QStringLiteral("handle_token")).toString());
        QTimer::singleShot(0, this, [this, path] {
            if (vanish) {
                m_bus.unregisterService(portalName);
                return;
            }
            if (!impostor.isEmpty()) {
                QDBusConnection other = QDBusConnection::connectToBus(m_address, impostor);
                other.send(response(path, 0, impostorUri));
                // Answered only once the bus has taken the impostor's signal, so that it arrives first.
                other.call(QDBusMessage::createMethodCall(
                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                    QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
            }
            for (const auto& [code, uri] : answers) {
                m_bus.send(response(path, code, uri));
            }
            // A path the caller did not expect is listened on only once the reply has reached it: the answer is
            // sent again until then, as often as it takes (the first one heard counts).
            if (pathOfItsOwn) {
                auto* again = new QTimer(this);
                connect(again, &QTimer::timeout, this, [this, path, again] {
                    m_bus.send(response(path, answers.value(0).first, answers.value(0).second));
                    if (++resent == 100) {
                        again->deleteLater();
                    }
                });
                again->start(50);
            }
        });
        return QDBusObjectPath(path);
    }

private:
    static QDBusMessage response(const QString& path, uint code, const QString& uri)
    {
        QDBusMessage message = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                          QStringLiteral("Response"));
        message << code << QVariantMap{{QStringLiteral("uri"), uri}};
        return message;
    }

    QDBusConnection m_bus;
    QString m_address;
};

// GNOME's display configuration as far as the layout goes: 1 logical, 2 physical.
class FakeDisplayConfig : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Mutter.DisplayConfig")
public:
    uint layoutMode = 1;
public slots:
    uint GetCurrentState(QString& monitors, QString& logicalMonitors, QVariantMap& properties)
    {
        monitors = logicalMonitors = QString(); // not read
        properties = {{QStringLiteral("layout-mode"), layoutMode}};
        return 1;
    }
};

// KWin's screenshot service as far as one screen goes: it describes the picture as told, then writes `rows` into the
// pipe, as KWin does after its answer.
class FakeKWin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KWin.ScreenShot2")
public:
    QVariantMap description;
    QByteArray rows;
public slots:
    QVariantMap CaptureScreen(const QString& /*name*/, const QVariantMap& /*options*/,
                              const QDBusUnixFileDescriptor& pipe)
    {
        if (!rows.isEmpty() && ::write(pipe.fileDescriptor(), rows.constData(), size_t(rows.size())) < 0) {
            std::perror("FakeKWin");
        }
        return description;
    }
};

// The failure's text, or an empty string and the area's pixels when the grab worked.
QString grab(PortalScreen& screen, const QRect& area, QImage* pixels = nullptr)
{
    try {
        const ScreenPixels grabbed = screen.grabArea(area.x(), area.y(), area.width(), area.height());
        if (pixels) {
            *pixels = QImage(grabbed.bitmap.bits(), grabbed.bitmap.width(), grabbed.bitmap.height(),
                             grabbed.bitmap.stride(), QImage::Format_RGB32)
                          .copy();
        }
    } catch (const Failure& failure) {
        return failure.description();
    }
    return {};
}

// A PNG whose header says it is width x height pixels, with no pixels behind it.
QByteArray pngDeclaring(quint32 width, quint32 height)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(1, 1, QImage::Format_RGB32).save(&buffer, "PNG");
    qToBigEndian(width, png.data() + 16);
    qToBigEndian(height, png.data() + 20);
    quint32 crc = 0xffffffff; // the chunk's CRC-32, over its type and data
    for (int i = 12; i < 29; ++i) {
        crc ^= static_cast<quint8>(png[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
        }
    }
    qToBigEndian(~crc, png.data() + 29);
    return png;
}

QByteArray damagedHeader(QByteArray png)
{
    png[29] = static_cast<char>(png.at(29) ^ 0x01); // the header chunk's CRC
    return png;
}

QElapsedTimer startedTimer()
{
    QElapsedTimer timer;
    timer.start();
    return timer;
}

} // namespace

class TestPortalScreen : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void picturesArriveExactAndTheirFileGoes_data();
    void picturesArriveExactAndTheirFileGoes();
    void picturesAtAnotherScaleAreCutAsTheyCame_data();
    void picturesAtAnotherScaleAreCutAsTheyCame();
    void onlyTheFileMadeForTheRequestIsRemoved_data();
    void onlyTheFileMadeForTheRequestIsRemoved();
    void failures_data();
    void failures();
    void terminationSignalEndsTheWait();
    void gnomeLayoutInDevicePixels_data();
    void gnomeLayoutInDevicePixels();
    void primaryScreenInTheDesktopPicture_data();
    void primaryScreenInTheDesktopPicture();
    void kwinDescriptionsAreCheckedBeforeAnythingIsRead_data();
    void kwinDescriptionsAreCheckedBeforeAnythingIsRead();
    void screenServiceFollowsTheDisplay_data();
    void screenServiceFollowsTheDisplay();

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<FakePortal> m_portal;
    int m_connections = 0;
    std::unique_ptr<PortalScreen> m_screen;
    QImage m_desktop;  // at most 256 colours,
    QImage m_paletted; // so that a palette holds it
};

void TestPortalScreen::initTestCase()
{
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                                "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                     .arg(m_dir.path())
                     .toUtf8());
    config.close();
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QVERIFY(m_daemon.waitForStarted());
    QTRY_VERIFY(m_daemon.canReadLine());
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    // The pictures folder is looked for where a cancelled screenshot is reported.
    qputenv("HOME", QFile::encodeName(m_dir.path()));

    const QSize size = QGuiApplication::primaryScreen()->geometry().size();
    QImage indexed(size, QImage::Format_Indexed8);
    for (int i = 0; i < 256; ++i) {
        indexed.setColor(i, qRgb(i, 255 - i, (i * 37) & 255));
    }
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            indexed.setPixel(x, y, static_cast<uint>(x * x + 3 * y * y + x * y) & 255);
        }
    }
    m_desktop = indexed.convertToFormat(QImage::Format_RGB32);
    m_paletted = indexed;
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("Pictures")));
}

void TestPortalScreen::cleanupTestCase()
{
    m_daemon.terminate();
    m_daemon.waitForFinished();
}

void TestPortalScreen::init()
{
    // Fresh connections each time, so that a portal that left the bus in one test is back in the next.
    const QString n = QString::number(++m_connections);
    QDBusConnection service = QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + n);
    m_portal = std::make_unique<FakePortal>(service, m_address);
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), m_portal.get(),
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(portalName));
    m_screen = std::make_unique<PortalScreen>(QDBusConnection::connectToBus(m_address, QStringLiteral("client") + n));
}

void TestPortalScreen::cleanup()
{
    m_screen.reset();
    m_portal.reset();
    for (const QString& name : {QStringLiteral("portal"), QStringLiteral("client"), QStringLiteral("impostor")}) {
        QDBusConnection::disconnectFromBus(name + QString::number(m_connections));
    }
}

void TestPortalScreen::picturesArriveExactAndTheirFileGoes_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("true colour") << "rgb32";
    QTest::newRow("paletted, named file://localhost/...") << "indexed8";
    QTest::newRow("16 bits a channel") << "rgbx64";
    QTest::newRow("two answers: the first counts") << "two answers";
    QTest::newRow("answered on a request path of the portal's choosing") << "own path";
    QTest::newRow("warmed up while the program waited: nothing asked until the grab") << "warmed up";
}

void TestPortalScreen::picturesArriveExactAndTheirFileGoes()
{
    QFETCH(QString, setup);
    // Saved where GNOME and KDE save screenshots, beside a picture of the user's own.
    const QDir pictures(m_dir.filePath(QStringLiteral("Pictures")));
    const QString path = pictures.filePath(QStringLiteral("Screenshot.png"));
    const QString own = pictures.filePath(QStringLiteral("Screenshot-1.png"));
    QVERIFY(m_desktop.mirrored(true, false).save(own, "PNG"));
    QImage picture = m_desktop;
    if (setup == QLatin1String("indexed8")) {
        picture = m_paletted;
    } else if (setup == QLatin1String("rgbx64")) {
        picture = m_desktop.convertToFormat(QImage::Format_RGBX64);
    }
    QVERIFY(picture.save(path, "PNG"));
    QString uri = QUrl::fromLocalFile(path).toString();
    if (setup == QLatin1String("indexed8")) {
        uri.replace(QStringLiteral("file://"), QStringLiteral("file://localhost"));
    }
    m_portal->answers = {{0, uri}};
    if (setup == QLatin1String("two answers")) {
        m_portal->answers.append({0, QUrl::fromLocalFile(own).toString()});
    }
    m_portal->pathOfItsOwn = setup == QLatin1String("own path");
    if (setup == QLatin1String("warmed up")) {
        m_screen->warmUp();
        m_screen->warmUp();
        QTest::qWait(50);
        QCOMPARE(m_portal->calls, 0);
    }

    QImage got;
    QCOMPARE(grab(*m_screen, QRect(5, 7, 30, 20), &got), QString());
    QCOMPARE(m_portal->options.value(QStringLiteral("interactive")), QVariant(false));
    QCOMPARE(got, m_desktop.copy(5, 7, 30, 20));
    QVERIFY(!QFile::exists(path));
    QVERIFY(QFile::remove(own));
}

void TestPortalScreen::picturesAtAnotherScaleAreCutAsTheyCame_data()
{
    // The picture's pixels per toolkit device pixel, across and down.
    QTest::addColumn<double>("across");
    QTest::addColumn<double>("down");
    QTest::newRow("125%, drawn at 2") << 0.625 << 0.625;
    QTest::newRow("150%, drawn at 2") << 0.75 << 0.75;
    QTest::newRow("150%, a row lost to rounding") << 0.75 << -0.75;
    QTest::newRow("175%, drawn at 2") << 0.875 << 0.875;
    QTest::newRow("150% under XWayland, drawn at 1") << 1.5 << 1.5;
    QTest::newRow("200% under XWayland, drawn at 1") << 2.0 << 2.0;
}

void TestPortalScreen::picturesAtAnotherScaleAreCutAsTheyCame()
{
    QFETCH(double, across);
    QFETCH(double, down);
    const QSize measured = m_screen->metrics().deviceGeometry.size();
    const QSize size(qRound(measured.width() * across), qRound(measured.height() * std::abs(down)) - (down < 0));
    const QImage picture = m_desktop.scaled(size);
    const QString path = m_dir.filePath(QStringLiteral("Pictures/Screenshot.png"));
    QVERIFY(picture.save(path, "PNG"));
    m_portal->answers = {{0, QUrl::fromLocalFile(path).toString()}};

    // The whole screen, measured in the toolkit's pixels, comes as the picture's own: not one pixel resampled.
    QImage got;
    QCOMPARE(grab(*m_screen, QRect(QPoint(0, 0), measured), &got), QString());
    QCOMPARE(got, picture);
    // From then on the screen is measured in the picture's pixels, and the scale is the picture's over the layout's.
    const ScreenMetrics after = m_screen->metrics();
    QCOMPARE(after.deviceGeometry.size(), size);
    const QSize logical = QGuiApplication::primaryScreen()->size();
    QCOMPARE(after.devicePixelRatio, double(size.width()) / logical.width());
    QCOMPARE(after.ratioY(), double(size.height()) / logical.height());
    QVERIFY(picture.save(path, "PNG"));
    QCOMPARE(grab(*m_screen, QRect(3, 5, 41, 17), &got), QString());
    QCOMPARE(got, picture.copy(3, 5, 41, 17));
}

void TestPortalScreen::onlyTheFileMadeForTheRequestIsRemoved_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("removed");
    QTest::newRow("made for the request") << "" << true;
    QTest::newRow("replaced after it was read") << "replaced" << false;
    QTest::newRow("older than the request") << "older" << false;
    QTest::newRow("a few seconds older than the request") << "seconds older" << false;
    QTest::newRow("dated after the answer") << "newer" << false;
    QTest::newRow("another user's") << "owner" << false;
    QTest::newRow("a link to the picture") << "link" << false;
}

void TestPortalScreen::onlyTheFileMadeForTheRequestIsRemoved()
{
    QFETCH(QString, setup);
    QFETCH(bool, removed);
    const qint64 requested = QDateTime::currentMSecsSinceEpoch() * 1000000;
    const QString picture = m_dir.filePath(QStringLiteral("picture.png"));
    const QString link = m_dir.filePath(QStringLiteral("link.png"));
    QVERIFY(m_desktop.save(picture, "PNG"));
    const QByteArray name = QFile::encodeName(picture);
    if (setup == QLatin1String("older") || setup == QLatin1String("seconds older") || setup == QLatin1String("newer")) {
        const time_t now = requested / 1000000000;
        const time_t at = setup == QLatin1String("older")   ? 1000000000
                          : setup == QLatin1String("newer") ? now + 86400
                                                            : now - 5;
        const utimbuf times{at, at};
        QCOMPARE(utime(name.constData(), &times), 0);
    } else if (setup == QLatin1String("owner")) {
        if (geteuid() != 0) {
            QSKIP("only root can give a file to another user");
        }
        QCOMPARE(chown(name.constData(), 65534, 65534), 0);
    } else if (setup == QLatin1String("link")) {
        QVERIFY(QFile::link(picture, link));
    }
    const QString named = setup == QLatin1String("link") ? link : picture;
    const RegularFileRead read = readRegularFile(named, 1 << 24);
    QCOMPARE(read.status, RegularFileRead::Status::Read);
    if (setup == QLatin1String("replaced")) {
        const QString other = m_dir.filePath(QStringLiteral("other.png"));
        QVERIFY(m_desktop.save(other, "PNG"));
        QCOMPARE(::rename(QFile::encodeName(other).constData(), name.constData()), 0);
    }

    QCOMPARE(removePortalPicture(named, read.identity, requested, QDateTime::currentMSecsSinceEpoch() * 1000000),
             removed);
    QCOMPARE(QFileInfo::exists(named), !removed);
    QCOMPARE(QFileInfo::exists(picture), !removed);
    QFile::remove(picture);
    QFile::remove(link);
}

void TestPortalScreen::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected");
    const QString service = QStringLiteral("the desktop's screenshot service (xdg-desktop-portal)");
    QTest::newRow("no portal") << "noportal" << service + " is not running";
    QTest::newRow("no Screenshot interface") << "noobject"
                                             << service + " has no screenshot backend for this desktop "
                                                          "(xdg-desktop-portal-gnome, -kde or -wlr)";
    QTest::newRow("portal leaves") << "vanish" << service + " stopped before it answered";
    QTest::newRow("no answer within the limit") << "silent" << service + " did not answer within 0.2 seconds";
    QTest::newRow("cancelled") << "code1"
                               << "the screenshot was cancelled";
    QTest::newRow("refused") << "code2"
                             << service +
                                    " refused the screenshot or could not take it. If you answered \"Deny\" when the "
                                    "desktop asked whether applications may take screenshots, it keeps that answer; "
                                    "to be asked again, run: gdbus call --session --dest "
                                    "org.freedesktop.impl.portal.PermissionStore --object-path "
                                    "/org/freedesktop/impl/portal/PermissionStore --method "
                                    "org.freedesktop.impl.portal.PermissionStore.DeletePermission screenshot "
                                    "screenshot \"\"";
    QTest::newRow("an answer from another connection") << "impostor"
                                                       << "the screenshot was cancelled";
    QTest::newRow("not a file") << "http" << service + " gave no file to read (\"http://example.org/a.png\")";
    QTest::newRow("a file on another host") << "host" << service + " gave no file to read (\"file://elsewhere%1\")";
    QTest::newRow("missing file") << "missing"
                                  << "cannot open the screenshot %1: No such file or directory";
    QTest::newRow("FIFO") << "fifo"
                          << "the screenshot %1 is not a regular file";
    QTest::newRow("not a picture") << "text"
                                   << "the screenshot %1 is not a picture that can be read (%2)";
    QTest::newRow("a small file that says it is 16000 x 16000 pixels")
        << "huge"
        << "the screenshot %1 is 16000 x 16000 pixels, far larger than the whole desktop (%3), so it was not read";
    QTest::newRow("a small file that says it is 16000 x 1 pixels")
        << "hugewide"
        << "the screenshot %1 is 16000 x 1 pixels, far larger than the whole desktop (%3), so it was not read";
    QTest::newRow("a small file that says it is 1 x 16000 pixels")
        << "hugehigh"
        << "the screenshot %1 is 1 x 16000 pixels, far larger than the whole desktop (%3), so it was not read";
    // Refused by our own decoder, which says why in the report, with no word from any decoder on standard error.
    QTest::newRow("a header whose checksum is wrong")
        << "badcrc"
        << "the screenshot %1 is not a picture that can be read (IHDR: CRC error)";
    QTest::newRow("a picture of 1 x 1 pixels")
        << "tiny"
        << "the screenshot %1 is 1 x 1 pixels, which cannot be the desktop of %3 at any scale, so it was not used";
    QTest::newRow("a picture of another shape")
        << "shape"
        << "the screenshot %1 is %4 pixels, which cannot be the desktop of %3 at any scale, so it was not used";
    // Each side alone at a scale there is, twice across and once down: only the sides' ratio gives it away.
    QTest::newRow("a picture twice as wide")
        << "wide"
        << "the screenshot %1 is %6 pixels, which cannot be the desktop of %3 at any scale, so it was not used";
    QTest::newRow("cancelled without a pictures folder")
        << "code1 nopictures"
        << "the screenshot was cancelled. The desktop's screenshot service saves its picture in your pictures folder, "
           "%5, which does not exist (KDE's then answers \"cancelled\"): create it (mkdir -p \"%5\") and try again";
    QTest::newRow("no session bus") << "nobus"
                                    << "there is no session bus (D-Bus), so " + service + " cannot be reached";
}

void TestPortalScreen::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    const QString file = m_dir.filePath(setup);
    m_portal->answers = {{0, QUrl::fromLocalFile(file).toString()}};
    const QString n = QString::number(m_connections);
    if (setup == QLatin1String("noportal")) {
        QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + n).unregisterService(portalName);
    } else if (setup == QLatin1String("noobject")) {
        QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + n)
            .unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    } else if (setup == QLatin1String("vanish")) {
        m_portal->vanish = true;
    } else if (setup == QLatin1String("silent")) {
        m_portal->answers.clear();
        m_screen = std::make_unique<PortalScreen>(
            QDBusConnection::connectToBus(m_address, QStringLiteral("client") + n), std::chrono::milliseconds(200));
    } else if (setup.startsWith(QLatin1String("code"))) {
        m_portal->answers = {{setup.mid(4, 1).toUInt(), {}}};
        if (setup.endsWith(QLatin1String("nopictures"))) {
            qputenv("HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("elsewhere"))));
        }
    } else if (setup == QLatin1String("impostor")) {
        m_portal->impostor = QStringLiteral("impostor") + n;
        m_portal->impostorUri = QUrl::fromLocalFile(file).toString();
        m_portal->answers = {{1, {}}};
    } else if (setup == QLatin1String("http")) {
        m_portal->answers = {{0, QStringLiteral("http://example.org/a.png")}};
    } else if (setup == QLatin1String("host")) {
        m_portal->answers = {{0, QStringLiteral("file://elsewhere") + file}};
    } else if (setup == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    } else if (setup == QLatin1String("text") || setup.startsWith(QLatin1String("huge")) ||
               setup == QLatin1String("badcrc")) {
        QFile text(file);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(setup == QLatin1String("text")       ? QByteArray("not a picture\n")
                   : setup == QLatin1String("hugewide") ? pngDeclaring(16000, 1)
                   : setup == QLatin1String("hugehigh") ? pngDeclaring(1, 16000)
                   : setup == QLatin1String("badcrc")   ? damagedHeader(pngDeclaring(640, 400))
                                                        : pngDeclaring(16000, 16000));
    } else if (setup == QLatin1String("tiny") || setup == QLatin1String("shape") || setup == QLatin1String("wide")) {
        const QSize size = setup == QLatin1String("tiny")   ? QSize(1, 1)
                           : setup == QLatin1String("wide") ? QSize(m_desktop.width() * 2, m_desktop.height())
                                                            : QSize(m_desktop.width(), m_desktop.height() / 4);
        QVERIFY(m_desktop.scaled(size).save(file, "PNG"));
    } else if (setup == QLatin1String("nobus")) {
        m_screen = std::make_unique<PortalScreen>(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("nobus")));
    }
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const QElapsedTimer waited = startedTimer();
    QString description = grab(*m_screen, QRect(QPoint(0, 0), screen));
    const qint64 elapsed = waited.elapsed();
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    description.replace(QStringLiteral("Unsupported image format"), QStringLiteral("%2"));
    description.replace(QStringLiteral("%1 x %2").arg(screen.width()).arg(screen.height()), QStringLiteral("%3"));
    description.replace(QStringLiteral("%1 x %2").arg(screen.width()).arg(screen.height() / 4), QStringLiteral("%4"));
    description.replace(QStringLiteral("%1 x %2").arg(screen.width() * 2).arg(screen.height()), QStringLiteral("%6"));
    description.replace(m_dir.filePath(QStringLiteral("elsewhere/Pictures")), QStringLiteral("%5"));
    QCOMPARE(description,
             QStringLiteral("Cannot read the screen: ") + QString(expected).replace(QStringLiteral("%1"), file));
    // A file that was read is gone whatever was wrong with it: it holds the whole desktop.
    QVERIFY(!QFileInfo::exists(file) || setup == QLatin1String("fifo"));
    if (setup == QLatin1String("silent")) {
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed))); // a limit of 0.2 s, not one far longer
    }
    QFile::remove(file);
}

void TestPortalScreen::terminationSignalEndsTheWait()
{
    // The program itself, as far as the wait goes, in a process of its own that the test can end.
    m_portal->answers.clear();
    QProcess waiting;
    waiting.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--wait-for-portal"), m_address});
    QVERIFY(waiting.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->calls, 1, 20000);
    waiting.terminate();
    // Well within the wait's own limit of a minute.
    QVERIFY(waiting.waitForFinished(20000));
    QCOMPARE(waiting.exitStatus(), QProcess::CrashExit);
    QCOMPARE(waiting.readAllStandardOutput(), QByteArray("Cannot read the screen: the program is ending\n"));
}

void TestPortalScreen::gnomeLayoutInDevicePixels_data()
{
    QTest::addColumn<uint>("layoutMode");
    QTest::addColumn<bool>("devicePixels");
    QTest::newRow("GNOME, physical layout") << 2U << true;
    QTest::newRow("GNOME, logical layout (fractional scaling)") << 1U << false;
    QTest::newRow("another desktop") << 0U << false;
}

void TestPortalScreen::gnomeLayoutInDevicePixels()
{
    QFETCH(uint, layoutMode);
    QFETCH(bool, devicePixels);
    QDBusConnection bus =
        QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + QString::number(m_connections));
    FakeDisplayConfig config;
    config.layoutMode = layoutMode;
    const QString name = QStringLiteral("org.gnome.Mutter.DisplayConfig");
    if (layoutMode != 0) {
        QVERIFY(bus.registerObject(QStringLiteral("/org/gnome/Mutter/DisplayConfig"), &config,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(name));
    }
    QCOMPARE(layoutInDevicePixels(
                 QDBusConnection::connectToBus(m_address, QStringLiteral("client") + QString::number(m_connections))),
             devicePixels);
    bus.unregisterService(name);
    bus.unregisterObject(QStringLiteral("/org/gnome/Mutter/DisplayConfig"));
}

void TestPortalScreen::primaryScreenInTheDesktopPicture_data()
{
    QTest::addColumn<QRect>("desktop");
    QTest::addColumn<QRect>("primary");
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("one screen, scale 1") << QRect(0, 0, 1280, 800) << QRect(0, 0, 1280, 800) << QSize(1280, 800)
                                         << QRect(0, 0, 1280, 800);
    QTest::newRow("one screen, scale 2") << QRect(0, 0, 640, 400) << QRect(0, 0, 640, 400) << QSize(1280, 800)
                                         << QRect(0, 0, 1280, 800);
    QTest::newRow("primary right of another, scale 2")
        << QRect(0, 0, 1600, 600) << QRect(800, 0, 800, 600) << QSize(3200, 1200) << QRect(1600, 0, 1600, 1200);
    QTest::newRow("another above and left of the primary") << QRect(-1024, -768, 3584, 2208) << QRect(0, 0, 2560, 1440)
                                                           << QSize(3584, 2208) << QRect(1024, 768, 2560, 1440);
    QTest::newRow("scale 1.5 drawn at 2")
        << QRect(0, 0, 853, 533) << QRect(0, 0, 853, 533) << QSize(1706, 1066) << QRect(0, 0, 1706, 1066);
    // An edge between the picture's pixels goes to the nearest: 333 x 1.333 is 443.9, and the primary starts at 444.
    QTest::newRow("scale 1.333, the left edge rounded up")
        << QRect(0, 0, 1000, 500) << QRect(333, 0, 667, 500) << QSize(1333, 667) << QRect(444, 0, 889, 667);
    QTest::newRow("x scale 2, y scale 1.5")
        << QRect(0, 0, 2560, 800) << QRect(1280, 0, 1280, 800) << QSize(5120, 1200) << QRect(2560, 0, 2560, 1200);
}

void TestPortalScreen::primaryScreenInTheDesktopPicture()
{
    QFETCH(QRect, desktop);
    QFETCH(QRect, primary);
    QFETCH(QSize, picture);
    QFETCH(QRect, expected);
    QCOMPARE(primaryInDesktopPicture(desktop, primary, picture), expected);
    // An area mapped from the desktop's pixels to the picture's has the same edges: a selection made over the primary
    // screen is cut from the picture along the primary's own edges.
    QCOMPARE(scaledEdges(primary.translated(-desktop.topLeft()), desktop.size(), picture), expected);
}

void TestPortalScreen::kwinDescriptionsAreCheckedBeforeAnythingIsRead_data()
{
    QTest::addColumn<QVariant>("width");
    QTest::addColumn<QVariant>("height");
    QTest::addColumn<QVariant>("stride");
    QTest::addColumn<QString>("failure"); // empty: the picture comes
    const QString impossible = QStringLiteral("described an impossible picture of %1 x %2 pixels, %3 bytes a row");
    QTest::newRow("4 x 2, padded rows") << QVariant(4u) << QVariant(2u) << QVariant(20u) << QString();
    // The bytes of all the rows overflow 64 bits; KWin's numbers are unsigned.
    QTest::newRow("rows overflowing 64 bits")
        << QVariant(qulonglong(1) << 32) << QVariant(qulonglong(1) << 40) << QVariant(qulonglong(1) << 34)
        << impossible.arg(qulonglong(1) << 32).arg(qulonglong(1) << 40).arg(qulonglong(1) << 34);
    QTest::newRow("beyond a signed number")
        << QVariant(4u) << QVariant(~qulonglong(0)) << QVariant(16u) << impossible.arg(4).arg(~qulonglong(0)).arg(16);
    QTest::newRow("rows shorter than the pixels")
        << QVariant(4u) << QVariant(2u) << QVariant(15u) << impossible.arg(4).arg(2).arg(15);
    QTest::newRow("not a number") << QVariant(QStringLiteral("wide")) << QVariant(2u) << QVariant(16u)
                                  << impossible.arg(QStringLiteral("wide")).arg(2).arg(16);
}

void TestPortalScreen::kwinDescriptionsAreCheckedBeforeAnythingIsRead()
{
    QFETCH(QVariant, width);
    QFETCH(QVariant, height);
    QFETCH(QVariant, stride);
    QFETCH(QString, failure);
    const QString n = QString::number(m_connections);
    QDBusConnection service = QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + n);
    // On a thread of its own: the capture waits for KWin's answer without running this thread's events.
    QThread thread;
    FakeKWin kwin;
    kwin.moveToThread(&thread);
    thread.start();
    kwin.description = {{QStringLiteral("width"), width},
                        {QStringLiteral("height"), height},
                        {QStringLiteral("stride"), stride},
                        {QStringLiteral("format"), uint(QImage::Format_RGB32)}};
    kwin.rows = failure.isEmpty() ? QByteArray(40, '\x7f') : QByteArray();
    QVERIFY(
        service.registerObject(QStringLiteral("/org/kde/KWin/ScreenShot2"), &kwin, QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.kde.KWin.ScreenShot2")));
    try {
        const QImage picture = KWinScreenShot::capture(
            QDBusConnection::connectToBus(m_address, QStringLiteral("client") + n), QStringLiteral("Virtual-0"));
        QVERIFY2(failure.isEmpty(), "an impossible picture was read");
        QCOMPARE(picture.size(), QSize(4, 2));
        QCOMPARE(picture.pixel(3, 1), 0xff7f7f7fu);
    } catch (const Failure& error) {
        QCOMPARE(error.description(),
                 QStringLiteral("Cannot read the screen: KWin's screenshot service (org.kde.KWin.ScreenShot2) ") +
                     failure);
    }
    service.unregisterService(QStringLiteral("org.kde.KWin.ScreenShot2"));
    service.unregisterObject(QStringLiteral("/org/kde/KWin/ScreenShot2"));
    thread.quit();
    thread.wait();
}

void TestPortalScreen::screenServiceFollowsTheDisplay_data()
{
    // What the environment says does not count; what the toolkit runs on does.
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<bool>("displayArgument");
    QTest::newRow("X server, a Wayland display left in the environment")
        << QStringList{"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=wayland-0"} << false;
    QTest::newRow("X server, session type wayland")
        << QStringList{"QT_QPA_PLATFORM=xcb", "XDG_SESSION_TYPE=wayland"} << false;
    QTest::newRow("-display in a Wayland session")
        << QStringList{"WAYLAND_DISPLAY=wayland-0", "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=sway"} << true;
}

void TestPortalScreen::screenServiceFollowsTheDisplay()
{
    QFETCH(QStringList, environment);
    QFETCH(bool, displayArgument);
    XvfbServer x;
    QVERIFY2(x.start({}), qPrintable(x.errorString()));
    QProcessEnvironment env = x.environment();
    // The private bus: a toolkit on X11 with no session bus would start one of its own that outlives the test.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"}) {
        env.remove(QString::fromLatin1(name));
    }
    for (const QString& variable : environment) {
        env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    }
    QStringList arguments{QStringLiteral("--screen-service")};
    if (displayArgument) {
        env.remove(QStringLiteral("DISPLAY"));
        arguments << QStringLiteral("-display") << x.display();
    }
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.readAllStandardOutput(), QByteArray("xcb\n"));
    if (displayArgument) {
        // Here the toolkit fell back to X11 for want of a compositor; in a real Wayland session only this makes it
        // use the display named.
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        qunsetenv("QT_QPA_PLATFORM");
        QByteArray program("quosh"), option("-display"), display(":9");
        char* argv[] = {program.data(), option.data(), display.data()};
        followNamedDisplay(3, argv);
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("xcb"));
        qputenv("QT_QPA_PLATFORM", platform);
    }
}

namespace {

// Child: the screen service chosen for the display the arguments and environment name.
int printScreenService(int argc, char** argv)
{
    followNamedDisplay(argc, argv);
    QGuiApplication application(argc, argv);
    const std::unique_ptr<ScreenService> service = createScreenService();
    std::printf("%s\n", dynamic_cast<PortalScreen*>(service.get()) ? "portal"
                        : dynamic_cast<QtScreen*>(service.get())   ? "qt"
                                                                   : "xcb");
    return 0;
}

// Child: a grab waiting for the portal on the bus at argv[2], inside the event loop and with the termination
// signals handled as in the program.
int waitForPortal(int argc, char** argv)
{
    int received = 0;
    {
        QGuiApplication application(argc, argv);
        TerminationSignals termination;
        PortalScreen screen(QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[2]), QStringLiteral("child")),
                            std::chrono::minutes(1));
        QTimer::singleShot(0, &application, [&screen] {
            std::printf("%s\n", qPrintable(grab(screen, QRect(0, 0, 1, 1))));
            std::fflush(stdout);
        });
        QGuiApplication::exec();
        received = termination.received();
    }
    if (received != 0) {
        std::signal(received, SIG_DFL);
        std::raise(received);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--screen-service") == 0) {
        return printScreenService(argc, argv);
    }
    if (argc == 3 && std::strcmp(argv[1], "--wait-for-portal") == 0) {
        return waitForPortal(argc, argv);
    }
    QGuiApplication application(argc, argv);
    TestPortalScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_PortalScreen.moc"
