#include "platform/settings/WriteLock.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local const WriteLock::VirtualWait* t_virtualWait = nullptr;

QString shown(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool isSameFile(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

} // namespace

WriteLock::VirtualWait::VirtualWait(std::function<void(std::chrono::milliseconds waited)> onPause)
    : m_onPause(std::move(onPause))
    , m_previous(t_virtualWait)
{
    t_virtualWait = this;
}

WriteLock::VirtualWait::~VirtualWait()
{
    t_virtualWait = m_previous;
}

WriteLock::WriteLock(const QString& lockPath, const QString& shownPath)
    : m_path(QFile::encodeName(lockPath))
{
    const auto notAFile = [&] {
        return Failure(QStringLiteral("Cannot write %1: %2, where the lock that keeps two writers apart goes, is not "
                                      "a file, so the change was not stored")
                           .arg(shown(shownPath), shown(lockPath)));
    };
    const auto start = std::chrono::steady_clock::now();
    std::chrono::milliseconds virtualWaited{0};
    for (;;) {
        // Something other than a file is not even opened (a device may act on it); what takes its place between the
        // look and the open is found by fstat(). A pipe opened without O_NONBLOCK would hold the window for good.
        struct stat status {};
        if (::lstat(m_path.constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
            throw notAFile();
        }
        FileDescriptor file(
            ::open(m_path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
        if (file.get() < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            if (error == ELOOP || error == EISDIR || error == ENXIO) {
                throw notAFile();
            }
            throw Failure(QStringLiteral("Cannot write %1: cannot create its lock %2: %3")
                              .arg(shown(shownPath), shown(lockPath), QString::fromLocal8Bit(std::strerror(error))));
        }
        if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            throw notAFile();
        }
        if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            // The writer before may have removed the name after it was opened here: a lock on a removed file orders
            // nothing, so it is taken again on whatever the name holds now.
            struct stat named {};
            if (::lstat(m_path.constData(), &named) == 0 && isSameFile(named, status)) {
                m_fd = file.release();
                return;
            }
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EWOULDBLOCK) {
            // A file system without locks (some network homes) cannot order writers; the write goes on as it would
            // have without the lock.
            m_fd = file.release();
            return;
        }
        const auto waited =
            t_virtualWait
                ? virtualWaited
                : std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (waited >= Wait) {
            throw Failure(QStringLiteral("Cannot write %1: another copy of this program is writing it and has not "
                                         "finished, so the change was not stored")
                              .arg(shown(shownPath)));
        }
        if (t_virtualWait) {
            t_virtualWait->pause(virtualWaited);
            virtualWaited += Pause;
        } else {
            std::this_thread::sleep_for(Pause);
        }
    }
}

WriteLock::~WriteLock()
{
    // Removed while still held, and only when the name is still this lock's, so that no writer is left holding a
    // removed one while another takes a new file.
    struct stat held {};
    struct stat named {};
    if (::fstat(m_fd, &held) == 0 && ::lstat(m_path.constData(), &named) == 0 && isSameFile(held, named)) {
        ::unlink(m_path.constData());
    }
    ::close(m_fd);
}
