#pragma once

#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

// Guards a step that must never wait on a named pipe. Should the step still be at it after three seconds, the
// watchdog opens the pipe's two ends once, which ends an open or a read that waits there (the read sees the end of the
// data), and remembers that it had to: the test fails in seconds instead of at the test runner's timeout.
class PipeWatchdog {
public:
    explicit PipeWatchdog(const QString& path)
        : m_path(QFile::encodeName(path))
        , m_thread([this] { watch(); })
    {}
    ~PipeWatchdog()
    {
        m_isDone = true;
        m_thread.join();
        if (m_readEnd >= 0) {
            ::close(m_readEnd);
        }
    }
    PipeWatchdog(const PipeWatchdog&) = delete;
    PipeWatchdog& operator=(const PipeWatchdog&) = delete;

    bool hasFired() const { return m_hasFired; }

private:
    void watch()
    {
        using namespace std::chrono_literals;
        for (auto waited = 0ms; waited < 3s && !m_isDone; waited += 10ms) {
            std::this_thread::sleep_for(10ms);
        }
        if (m_isDone) {
            return;
        }
        m_hasFired = true;
        // The read end stays open to the end, so that a writer let through does not die of SIGPIPE.
        m_readEnd = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int writeEnd = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writeEnd >= 0) {
            ::close(writeEnd);
        }
    }

    QByteArray m_path;
    std::atomic<bool> m_isDone = false;
    std::atomic<bool> m_hasFired = false;
    int m_readEnd = -1; // written by the watch thread before it ends, read after the join
    std::thread m_thread;
};
