#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

// The lock that orders the program's writers of one settings file: a file beside it, locked with flock() while a
// write is under way and removed when it ends. A lock dies with its process, so none is ever left held; the old kind
// (QLockFile), which older copies of the program take on the same name, holds the same flock and is waited for too.
// Only a regular file is taken for the lock, opened without following a link or waiting on a pipe.
class WriteLock {
public:
    // Takes the lock of `path` (the settings file `shownPath` names in messages), waiting up to Wait for another
    // writer to finish. Throws Failure naming why the change was not stored.
    WriteLock(const QString& lockPath, const QString& shownPath);
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    // A write takes milliseconds; the window does not answer while the lock is waited for.
    static constexpr std::chrono::milliseconds Wait{1000};

    // Test seam: while one lives on this thread, the wait for the lock takes no real time. Each pause counts as
    // Pause of waiting and first calls `onPause` with the time waited so far.
    class VirtualWait {
    public:
        explicit VirtualWait(std::function<void(std::chrono::milliseconds waited)> onPause);
        ~VirtualWait();
        VirtualWait(const VirtualWait&) = delete;
        VirtualWait& operator=(const VirtualWait&) = delete;

        void pause(std::chrono::milliseconds waited) const { m_onPause(waited); }

    private:
        std::function<void(std::chrono::milliseconds)> m_onPause;
        const VirtualWait* m_previous;
    };
    static constexpr std::chrono::milliseconds Pause{2};

private:
    QByteArray m_path; // native encoding
    int m_fd = -1;
};
