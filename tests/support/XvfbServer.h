#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>

// An Xvfb server of its own for one test: started on a free display number, kept alive across client
// disconnections (-noreset, so monitors defined with xrandr stay), killed when this object goes.
class XvfbServer {
public:
    struct Options {
        QSize size{1024, 768};
        int depth = 24;
        bool sharedMemory = true; // false: start without the MIT-SHM extension
        QStringList extraArguments;
    };

    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts the server and waits until it accepts connections. False, with errorString() saying why, when it
    // does not come up within the deadline.
    bool start(const Options& options, int timeoutMs = 20000);
    void stop();

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_display.isEmpty(); }
    QString display() const { return m_display; } // ":N"
    QString errorString() const { return m_error; }

    // The calling process's environment with DISPLAY pointing at this server, and no session bus.
    QProcessEnvironment environment() const;
    // Runs an X client (xrandr, xwd, ...) against this server; true when it exits with status 0 in time.
    bool runClient(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
                   int timeoutMs = 30000) const;

private:
    QProcess m_process;
    QString m_display;
    QString m_error;
};
