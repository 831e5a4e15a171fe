#include "platform/startup/DisplayCheck.h"

#include "platform/startup/ToolkitArguments.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The toolkit's environment variables that choose where the window goes.
const char* const Variables[] = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "QT_QPA_PLATFORM",
                                 "XDG_RUNTIME_DIR"};

} // namespace

// Every way the toolkit can be led to an X display, with one that accepts the connection and never answers.
class TestDisplayCheck : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void everyWayToAnXDisplayIsChecked_data();
    void everyWayToAnXDisplayIsChecked();

    void cleanupTestCase();

private:
    int m_silent = -1; // listens and never accepts: a client is queued and waits for an answer for ever
    QString m_silentName;
    QTemporaryDir m_runtime;        // a session folder where a Wayland desktop listens as "wayland-live" only
    QTemporaryDir m_defaultRuntime; // one where it listens under the name that an unset WAYLAND_DISPLAY means
    int m_wayland = -1;
    int m_defaultWayland = -1;
};

namespace {

// A socket at `path` that takes connections into its queue and never accepts them; -1 when it cannot be made.
int listeningSocket(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bytes.size() >= qsizetype(sizeof address.sun_path)) {
        return -1;
    }
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

void TestDisplayCheck::initTestCase()
{
    m_silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(m_silent >= 0);
    for (int number = 100; number < 200 && m_silentName.isEmpty(); ++number) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<quint16>(6000 + number));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_silent, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            m_silentName = QStringLiteral("127.0.0.1:%1").arg(number);
        }
    }
    QVERIFY(!m_silentName.isEmpty());
    QCOMPARE(::listen(m_silent, 16), 0);

    m_wayland = listeningSocket(m_runtime.filePath(QStringLiteral("wayland-live")));
    m_defaultWayland = listeningSocket(m_defaultRuntime.filePath(QStringLiteral("wayland-0")));
    QVERIFY(m_wayland >= 0 && m_defaultWayland >= 0);
}

void TestDisplayCheck::cleanupTestCase()
{
    ::close(m_silent);
    ::close(m_wayland);
    ::close(m_defaultWayland);
}

void TestDisplayCheck::everyWayToAnXDisplayIsChecked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment"); // NAME=VALUE; the other variables are unset
    QTest::addColumn<QString>("expected");        // the start of the reason; empty: no reason
    const QString silent = QStringLiteral("DISPLAY=") + m_silentName;
    const QString silentLine =
        QStringLiteral("the X display \"%1\" did not answer within 0.2 seconds").arg(m_silentName);
    const QString runtime = QStringLiteral("XDG_RUNTIME_DIR=") + m_runtime.path();
    QTest::newRow("DISPLAY") << QStringList() << QStringList{silent} << silentLine;
    QTest::newRow("-display NAME, last") << QStringList{"-display", m_silentName} << QStringList() << silentLine;
    QTest::newRow("--display NAME") << QStringList{"--display", m_silentName, "-x"} << QStringList() << silentLine;
    QTest::newRow("--display=NAME") << QStringList{"--display=" + m_silentName} << QStringList() << silentLine;
    QTest::newRow("-display=NAME over DISPLAY")
        << QStringList{"-display=" + m_silentName} << QStringList{"DISPLAY=garbage"} << silentLine;
    QTest::newRow("-display with nothing after it: DISPLAY")
        << QStringList{"-display"} << QStringList{silent} << silentLine;
    QTest::newRow("-display '': DISPLAY") << QStringList{"-display", ""} << QStringList{silent} << silentLine;
    QTest::newRow("-platform xcb") << QStringList{"-platform", "xcb"} << QStringList{silent} << silentLine;
    QTest::newRow("--platform xcb:nograb")
        << QStringList{"--platform", "xcb:nograb"} << QStringList{silent} << silentLine;
    QTest::newRow("QT_QPA_PLATFORM=wayland;xcb, no Wayland desktop")
        << QStringList() << QStringList{silent, runtime, "QT_QPA_PLATFORM=wayland;xcb"} << silentLine;
    QTest::newRow("stale WAYLAND_DISPLAY")
        << QStringList() << QStringList{silent, runtime, "WAYLAND_DISPLAY=wayland-9"} << silentLine;
    QTest::newRow("XDG_SESSION_TYPE=wayland, no Wayland desktop")
        << QStringList() << QStringList{silent, runtime, "XDG_SESSION_TYPE=wayland"} << silentLine;
    QTest::newRow("stale WAYLAND_DISPLAY, garbage DISPLAY")
        << QStringList() << QStringList{"DISPLAY=garbage", runtime, "WAYLAND_DISPLAY=wayland-9"}
        << QStringLiteral("\"garbage\" is not the name of an X display");
    QTest::newRow("stale WAYLAND_DISPLAY, no DISPLAY")
        << QStringList() << QStringList{runtime, "WAYLAND_DISPLAY=wayland-9"}
        << QStringLiteral("there is no display to show the window on");
    QTest::newRow("a Wayland desktop") << QStringList() << QStringList{silent, runtime, "WAYLAND_DISPLAY=wayland-live"}
                                       << QString();
    QTest::newRow("-display NAME in a Wayland session")
        << QStringList{"-display", m_silentName} << QStringList{runtime, "WAYLAND_DISPLAY=wayland-live"} << silentLine;
    QTest::newRow("XDG_SESSION_TYPE=wayland, a desktop at the default socket")
        << QStringList()
        << QStringList{silent, "XDG_RUNTIME_DIR=" + m_defaultRuntime.path(), "XDG_SESSION_TYPE=wayland"} << QString();
    QTest::newRow("-display NAME does not override QT_QPA_PLATFORM")
        << QStringList{"-display", m_silentName} << QStringList{"QT_QPA_PLATFORM=offscreen"} << QString();
    QTest::newRow("-platform offscreen") << QStringList{"-platform", "offscreen"} << QStringList{silent} << QString();
    QTest::newRow("QT_QPA_PLATFORM=offscreen")
        << QStringList() << QStringList{silent, "QT_QPA_PLATFORM=offscreen"} << QString();
    QTest::newRow("-platform wins over QT_QPA_PLATFORM")
        << QStringList{"-platform", "offscreen"} << QStringList{silent, "QT_QPA_PLATFORM=xcb"} << QString();
}

void TestDisplayCheck::everyWayToAnXDisplayIsChecked()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QString, expected);
    for (const char* name : Variables)
        qunsetenv(name);
    for (const QString& setting : environment)
        qputenv(qPrintable(setting.section(QLatin1Char('='), 0, 0)),
                setting.section(QLatin1Char('='), 1).toLocal8Bit());
    std::vector<QByteArray> bytes{QByteArray("quosh")};
    for (const QString& argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // The command line as the toolkit is given it.
    ToolkitArguments toolkit(int(bytes.size()), argv.data());

    QElapsedTimer elapsed;
    elapsed.start();
    const QString reason = unusableDisplayReason(toolkit.argc(), toolkit.argv(), std::chrono::milliseconds(200));
    // The limit is kept, not merely named: a generous bound, far below the next order of magnitude.
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    if (expected.isEmpty())
        QCOMPARE(reason, QString());
    else
        QVERIFY2(reason.startsWith(expected), qPrintable(reason));
}

QTEST_GUILESS_MAIN(TestDisplayCheck)
#include "tst_DisplayCheck.moc"
