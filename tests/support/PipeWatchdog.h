#pragma once

#include <QFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

// Guards a step that must never wait on a named pipe. Should the step still be at it after `limit`, the watchdog
// opens the pipe's two ends once, which ends an open or a read that waits there (the read sees the end of the data),
// and remembers that it had to: the test fails in seconds instead of at the test runner's timeout.
class PipeWatchdog {
public:
    explicit PipeWatchdog(const QString& path, std::chrono::seconds limit = std::chrono::seconds(3))
        : m_path(QFile::encodeName(path))
        , m_thread([this, limit] { watch(limit); })
    {}
    ~PipeWatchdog()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_isDone = true;
        }
        m_wake.notify_one();
        m_thread.join();
        if (m_readEnd >= 0) {
            ::close(m_readEnd);
        }
    }
    PipeWatchdog(const PipeWatchdog&) = delete;
    PipeWatchdog& operator=(const PipeWatchdog&) = delete;

    bool hasFired() const
    {
        const std::lock_guard lock(m_mutex);
        return m_hasFired;
    }

private:
    void watch(std::chrono::seconds limit)
    {
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, limit, [this] { return m_isDone; })) {
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
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_isDone = false;
    bool m_hasFired = false;
    int m_readEnd = -1;
    std::thread m_thread;
};
