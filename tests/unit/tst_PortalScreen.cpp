#include "platform/errors/Failure.h"
#include "platform/screen/Screens.h"
#include "platform/screen/portal/PortalScreen.h"
#include "platform/screen/qt/QtScreen.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <utime.h>

namespace {

// The portal's front end as a test controls it, on a private bus: it answers each request with `code` and `uri`,
// or leaves the bus instead of answering.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    explicit FakePortal(QDBusConnection bus)
        : m_bus(std::move(bus))
    {}
    uint code = 0;
    QString uri;
    bool vanish = false;
    QVariantMap options;

public slots:
    QDBusObjectPath Screenshot(const QString& /*parent*/, const QVariantMap& requestOptions, const QDBusMessage& call)
    {
        options = requestOptions;
        QString sender = call.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                 .arg(sender, requestOptions.value(QStringLiteral("handle_token")).toString());
        QTimer::singleShot(0, this, [this, path] {
            if (vanish) {
                m_bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
                return;
            }
            QDBusMessage response = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                               QStringLiteral("Response"));
            response << code << QVariantMap{{QStringLiteral("uri"), uri}};
            m_bus.send(response);
        });
        return QDBusObjectPath(path);
    }

private:
    QDBusConnection m_bus;
};

QString screenshotFailure(PortalScreen& screen)
{
    const QSize size = QGuiApplication::primaryScreen()->geometry().size();
    try {
        screen.grabArea(0, 0, size.width(), size.height());
    } catch (const Failure& failure) {
        return failure.description();
    }
    return {};
}

} // namespace

class TestPortalScreen : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void picturesAreExactAndOnlyTheRequestsFileIsRemoved();
    void failures_data();
    void failures();
    void primaryScreenInTheDesktopPicture_data();
    void primaryScreenInTheDesktopPicture();
    void waylandSessionsUseThePortal_data();
    void waylandSessionsUseThePortal();

private:
    void writePicture(const QString& path);

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<FakePortal> m_portal;
    int m_connections = 0;
    std::unique_ptr<PortalScreen> m_screen;
    QImage m_desktop;
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

    const QSize size = QGuiApplication::primaryScreen()->geometry().size();
    m_desktop = QImage(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            m_desktop.setPixel(x, y, qRgb(x & 255, y & 255, (x ^ y) & 255));
        }
    }
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
    m_portal = std::make_unique<FakePortal>(service);
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), m_portal.get(),
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    m_screen = std::make_unique<PortalScreen>(QDBusConnection::connectToBus(m_address, QStringLiteral("client") + n));
}

void TestPortalScreen::cleanup()
{
    m_screen.reset();
    m_portal.reset();
    const QString n = QString::number(m_connections);
    QDBusConnection::disconnectFromBus(QStringLiteral("portal") + n);
    QDBusConnection::disconnectFromBus(QStringLiteral("client") + n);
}

void TestPortalScreen::writePicture(const QString& path)
{
    QVERIFY(m_desktop.save(path, "PNG"));
}

void TestPortalScreen::picturesAreExactAndOnlyTheRequestsFileIsRemoved()
{
    // Made for this request in the temporary folder: read, then removed.
    const QString temporary = QDir::temp().filePath(QStringLiteral("quosh-portal-test-%1.png").arg(getpid()));
    writePicture(temporary);
    m_portal->uri = QUrl::fromLocalFile(temporary).toString();
    const ScreenPixels pixels = m_screen->grabArea(5, 7, 30, 20);
    QCOMPARE(m_portal->options.value(QStringLiteral("interactive")), QVariant(false));
    QVERIFY(!QFile::exists(temporary));
    QCOMPARE(pixels.bitmap.format(), PixelFormat::Bgrx32);
    const QImage got(pixels.bitmap.bits(), 30, 20, pixels.bitmap.stride(), QImage::Format_RGB32);
    QCOMPARE(got, m_desktop.copy(5, 7, 30, 20));

    // A picture at another scale than the toolkit's (a fractional output scale) is scaled into place.
    QVERIFY(m_desktop.scaled(m_desktop.size() * 2).save(temporary, "PNG"));
    const ScreenPixels scaled = m_screen->grabArea(5, 7, 30, 20);
    QCOMPARE(QImage(scaled.bitmap.bits(), 30, 20, scaled.bitmap.stride(), QImage::Format_RGB32),
             m_desktop.copy(5, 7, 30, 20));

    // Kept: a file in another folder (the user's pictures), and one in the temporary folder older than the request.
    const QString kept = m_dir.filePath(QStringLiteral("Screenshot.png"));
    writePicture(kept);
    m_portal->uri = QUrl::fromLocalFile(kept).toString();
    m_screen->grabArea(0, 0, 10, 10);
    QVERIFY(QFile::exists(kept));
    writePicture(temporary);
    const utimbuf past{1000000000, 1000000000};
    QCOMPARE(utime(QFile::encodeName(temporary).constData(), &past), 0);
    m_portal->uri = QUrl::fromLocalFile(temporary).toString();
    m_screen->grabArea(0, 0, 10, 10);
    QVERIFY(QFile::remove(temporary));
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
    QTest::newRow("cancelled") << "code1"
                               << "the screenshot was cancelled";
    QTest::newRow("denied") << "code2" << service + " refused the screenshot or could not take it";
    QTest::newRow("not a file") << "http" << service + " gave no file to read (\"http://example.org/a.png\")";
    QTest::newRow("missing file") << "missing"
                                  << "cannot open the screenshot %1: No such file or directory";
    QTest::newRow("FIFO") << "fifo"
                          << "the screenshot %1 is not a regular file";
    QTest::newRow("not a picture") << "text"
                                   << "the screenshot %1 is not a picture that can be read (%2)";
    QTest::newRow("no session bus") << "nobus"
                                    << "there is no session bus (D-Bus), so " + service + " cannot be reached";
}

void TestPortalScreen::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    const QString file = m_dir.filePath(setup);
    m_portal->uri = QUrl::fromLocalFile(file).toString();
    if (setup == QLatin1String("noportal")) {
        QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + QString::number(m_connections))
            .unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    } else if (setup == QLatin1String("noobject")) {
        QDBusConnection::connectToBus(m_address, QStringLiteral("portal") + QString::number(m_connections))
            .unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    } else if (setup == QLatin1String("vanish")) {
        m_portal->vanish = true;
    } else if (setup.startsWith(QLatin1String("code"))) {
        m_portal->code = setup.mid(4).toUInt();
    } else if (setup == QLatin1String("http")) {
        m_portal->uri = QStringLiteral("http://example.org/a.png");
    } else if (setup == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    } else if (setup == QLatin1String("text")) {
        QFile text(file);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a picture\n");
    } else if (setup == QLatin1String("nobus")) {
        m_screen = std::make_unique<PortalScreen>(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("nobus")));
    }
    QString description = screenshotFailure(*m_screen);
    description.replace(QStringLiteral("Unsupported image format"), QStringLiteral("%2"));
    QCOMPARE(description,
             QStringLiteral("Cannot read the screen: ") + QString(expected).replace(QStringLiteral("%1"), file));
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
}

void TestPortalScreen::primaryScreenInTheDesktopPicture()
{
    QFETCH(QRect, desktop);
    QFETCH(QRect, primary);
    QFETCH(QSize, picture);
    QFETCH(QRect, expected);
    QCOMPARE(primaryInDesktopPicture(desktop, primary, picture), expected);
}

void TestPortalScreen::waylandSessionsUseThePortal_data()
{
    QTest::addColumn<QByteArray>("waylandDisplay");
    QTest::addColumn<QByteArray>("sessionType");
    QTest::addColumn<bool>("portal");
    QTest::newRow("Wayland display") << QByteArray("wayland-0") << QByteArray() << true;
    QTest::newRow("Wayland session type (XWayland)") << QByteArray() << QByteArray("wayland") << true;
    QTest::newRow("neither") << QByteArray() << QByteArray("x11") << false;
}

void TestPortalScreen::waylandSessionsUseThePortal()
{
    QFETCH(QByteArray, waylandDisplay);
    QFETCH(QByteArray, sessionType);
    QFETCH(bool, portal);
    const QByteArray display = qgetenv("WAYLAND_DISPLAY");
    const QByteArray type = qgetenv("XDG_SESSION_TYPE");
    qputenv("WAYLAND_DISPLAY", waylandDisplay);
    qputenv("XDG_SESSION_TYPE", sessionType);
    const std::unique_ptr<ScreenService> service = createScreenService();
    qputenv("WAYLAND_DISPLAY", display);
    qputenv("XDG_SESSION_TYPE", type);
    QCOMPARE(dynamic_cast<PortalScreen*>(service.get()) != nullptr, portal);
    // On the offscreen platform anything else is Qt's own grab.
    QCOMPARE(dynamic_cast<QtScreen*>(service.get()) != nullptr, !portal);
}

QTEST_MAIN(TestPortalScreen)
#include "tst_PortalScreen.moc"
