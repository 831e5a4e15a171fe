#include "support/XvfbServer.h"

#include <QDeadlineTimer>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::start(const Options& options, int timeoutMs)
{
    stop();
    m_error.clear();
    // The server writes the display number it picked to the descriptor given with -displayfd once it accepts
    // connections; descriptor 1 is our pipe to its standard output.
    QStringList arguments{
        QStringLiteral("-displayfd"),
        QStringLiteral("1"),
        QStringLiteral("-screen"),
        QStringLiteral("0"),
        QStringLiteral("%1x%2x%3").arg(options.size.width()).arg(options.size.height()).arg(options.depth),
        QStringLiteral("-noreset"),
        QStringLiteral("-nolisten"),
        QStringLiteral("tcp"),
        QStringLiteral("+extension"),
        QStringLiteral("RANDR")};
    if (!options.sharedMemory)
        arguments << QStringLiteral("-extension") << QStringLiteral("MIT-SHM");
    arguments << options.extraArguments;
    // Nobody reads what the server logs; a full pipe would stop it.
    m_process.setStandardErrorFile(QProcess::nullDevice());
    // The server ends with the test even when the test is killed (a runner's timeout) and no destructor runs.
    const pid_t parent = getpid();
    m_process.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
    });
    m_process.start(QStringLiteral("Xvfb"), arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray announced;
    while (!announced.contains('\n')) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            m_error = m_process.state() == QProcess::Running
                          ? QStringLiteral("Xvfb did not announce its display in time")
                          : QStringLiteral("Xvfb exited with status %1 before it accepted connections")
                                .arg(m_process.exitCode());
            stop();
            return false;
        }
        m_process.waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 200)));
        announced += m_process.readAllStandardOutput();
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(announced.trimmed());
    return true;
}

void XvfbServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    m_display.clear();
}

QProcessEnvironment XvfbServer::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    // With DISPLAY set and no bus address, the toolkit of a client would launch a session bus that outlives the test.
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/dev/null/no-bus"));
    return environment;
}

bool XvfbServer::runClient(const QString& program, const QStringList& arguments, QByteArray* output,
                           int timeoutMs) const
{
    QProcess client;
    client.setProcessEnvironment(environment());
    client.start(program, arguments);
    if (!client.waitForStarted(timeoutMs))
        return false;
    QByteArray collected;
    const QDeadlineTimer deadline(timeoutMs);
    // Read while it runs, so that a large output (xwd of a whole screen) never blocks it on a full pipe.
    while (client.state() == QProcess::Running && !deadline.hasExpired()) {
        client.waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 200)));
        collected += client.readAllStandardOutput();
    }
    if (client.state() == QProcess::Running) {
        client.kill();
        client.waitForFinished(5000);
        return false;
    }
    collected += client.readAllStandardOutput();
    if (output)
        *output = collected;
    return client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
}
