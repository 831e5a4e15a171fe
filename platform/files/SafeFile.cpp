#include "platform/files/SafeFile.h"

#include "platform/errors/Failure.h"
#include "platform/files/AbandonedFiles.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local const SafeFile::FailAfter* t_failAfter = nullptr;

// Tries enough names to get past every capture a person could take within one second, and stops well before a
// folder full of look-alikes makes the loop itself the problem.
constexpr int kMaxNameAttempts = 10000;

// What ends every temporary name, before the random tail of six base-36 digits: no file a user keeps is named so,
// and only a file named so is ever swept away.
constexpr char kMark[] = ".quosh-partial-";
constexpr int kTailLength = 6;

// Whether `name` is a temporary name of ours; `target` receives the name of the file it was to become.
bool isTemporaryName(QByteArrayView name, QByteArrayView& target)
{
    const qsizetype markAt = name.size() - kTailLength - qsizetype(sizeof kMark - 1);
    if (markAt < 2 || name[0] != '.' || name.sliced(markAt, sizeof kMark - 1) != QByteArrayView(kMark)) {
        return false;
    }
    const QByteArrayView tail = name.last(kTailLength);
    if (!std::all_of(tail.begin(), tail.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); })) {
        return false;
    }
    target = name.sliced(1, markAt - 1);
    return true;
}

QString failureText(const QString& fileName, int error)
{
    return QStringLiteral("Cannot write %1: %2").arg(fileName, qt_error_string(error));
}

// "dir/name.ext" -> "dir/name (n).ext"; the extension is what follows the last dot of the file name itself, and a
// leading dot (a hidden file) is part of the name.
QString numberedName(const QString& fileName, int n)
{
    if (n == 1) {
        return fileName;
    }
    const qsizetype slash = fileName.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral(" (%1)").arg(n);
    if (dot <= slash + 1) {
        return fileName + suffix;
    }
    return fileName.left(dot) + suffix + fileName.mid(dot);
}

bool noReplaceMoveUnsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

SafeFile::FailAfter::FailAfter(std::int64_t bytes, int error)
    : m_bytes(bytes)
    , m_error(error != 0 ? error : ENOSPC)
    , m_previous(t_failAfter)
{
    t_failAfter = this;
}

SafeFile::FailAfter::~FailAfter()
{
    t_failAfter = m_previous;
}

SafeFile::SafeFile(QString fileName, unsigned mode, QString shownName)
    : m_fileName(std::move(fileName))
    , m_shownName(std::move(shownName))
{
    const QByteArray native = QFile::encodeName(m_fileName);
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder = native.left(slash + 1);
    const QByteArray name = native.mid(slash + 1);
    if (name.isEmpty()) {
        throw Failure(failureText(this->shownName(), EISDIR));
    }

    // Hidden, so that file managers and viewers never show a half-written capture; named after the target so that
    // one left by a power cut says what it was. The random tail makes it unique with O_EXCL doing the checking.
    for (int attempt = 0;; ++attempt) {
        const QByteArray tail = QByteArray::number(QRandomGenerator::global()->generate64() % 2176782336u, 36);
        m_tempPath = folder + '.' + name + kMark + tail.rightJustified(kTailLength, '0');
        m_fd = ::open(m_tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        int error = m_fd >= 0 ? 0 : errno;
        // Held until the file is in place: a copy of the program sweeping this folder leaves alone what it cannot
        // lock, however long the write takes. A filesystem without locks gives none to the sweep either.
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP) {
            error = errno;
            discard();
        }
        if (error == 0) {
            return;
        }
        if (error == EINTR || ((error == EEXIST || error == EWOULDBLOCK) && attempt < 100)) {
            continue;
        }
        m_tempPath.clear();
        throw Failure(failureText(this->shownName(), error));
    }
}

SafeFile::~SafeFile()
{
    discard();
}

void SafeFile::discard() noexcept
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.isEmpty()) {
        ::unlink(m_tempPath.constData());
        m_tempPath.clear();
    }
}

void SafeFile::fail(int error)
{
    discard();
    throw Failure(failureText(shownName(), error));
}

QString SafeFile::shownName() const
{
    return m_shownName.isEmpty() ? m_fileName : m_shownName;
}

void SafeFile::write(const void* data, std::size_t size)
{
    if (m_fd < 0) {
        fail(EBADF);
    }
    const auto* bytes = static_cast<const char*>(data);
    std::size_t allowed = size;
    int injected = 0;
    if (const FailAfter* limit = t_failAfter) {
        const std::int64_t room = std::max<std::int64_t>(0, limit->bytes() - m_written);
        if (static_cast<std::uint64_t>(room) < size) {
            allowed = static_cast<std::size_t>(room);
            injected = limit->error();
        }
    }
    while (allowed > 0) {
        const ssize_t done = ::write(m_fd, bytes, allowed);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        if (done == 0) {
            fail(EIO); // a regular file never accepts nothing; do not spin on it
        }
        bytes += done;
        allowed -= static_cast<std::size_t>(done);
        m_written += done;
    }
    if (injected != 0) {
        fail(injected);
    }
}

void SafeFile::startWriteback() noexcept
{
    if (m_fd < 0 || m_written <= m_writebackFrom) {
        return;
    }
    static_cast<void>(::sync_file_range(m_fd, m_writebackFrom, m_written - m_writebackFrom, SYNC_FILE_RANGE_WRITE));
    m_writebackFrom = m_written;
}

std::size_t SafeFile::preferredWriteSize() const noexcept
{
    struct stat status {};
    if (m_fd < 0 || ::fstat(m_fd, &status) != 0 || status.st_blksize <= 0) {
        return 4096;
    }
    return static_cast<std::size_t>(status.st_blksize);
}

QString SafeFile::commit()
{
    if (m_fd < 0) {
        fail(EBADF);
    }
    // The data reaches the disk before the name appears, so that a power cut never leaves a truncated or empty
    // capture under its final name; it is also where delayed allocation and network filesystems report a full
    // disk. One flush per capture is a cost the user does not notice. The folder is not flushed after the move:
    // if that is lost, the capture is missing, never partial.
    int result;
    do {
        result = ::fdatasync(m_fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        fail(errno);
    }
    // Moved while the descriptor still holds the lock, so that no sweep takes the file between the two. What the
    // disk had to say it said to fdatasync(); close() is not retried on EINTR: on Linux the descriptor is gone either
    // way.
    QString placed = moveIntoPlace();
    ::close(std::exchange(m_fd, -1));
    return placed;
}

QString SafeFile::moveIntoPlace()
{
    bool useLink = false;
    for (int n = 1; n <= kMaxNameAttempts; ++n) {
        QString candidate = numberedName(m_fileName, n);
        const QByteArray target = QFile::encodeName(candidate);
        if (!useLink) {
            if (::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0) {
                m_tempPath.clear();
                return candidate;
            }
            const int error = errno;
            if (error == EEXIST) {
                continue;
            }
            if (!noReplaceMoveUnsupported(error)) {
                fail(error);
            }
            useLink = true;
        }
        // Filesystems without a no-replace rename: link() refuses an existing name just the same.
        if (::link(m_tempPath.constData(), target.constData()) == 0) {
            // The capture is saved under its name now; a temporary name that cannot be removed is not worth
            // reporting the save as failed.
            ::unlink(m_tempPath.constData());
            m_tempPath.clear();
            return candidate;
        }
        const int error = errno;
        if (error != EEXIST) {
            fail(error);
        }
    }
    fail(EEXIST);
}

QString SafeFile::writeNew(const QString& fileName, const void* data, std::size_t size)
{
    SafeFile file(fileName);
    file.write(data, size);
    return file.commit();
}

int SafeFile::removeStaleTemporaryFiles(const QString& folder, const QRegularExpression& targetName,
                                        qint64 minimumAgeSeconds, std::chrono::steady_clock::time_point giveUpAt)
{
    try {
        const QRegularExpression target(QRegularExpression::anchoredPattern(targetName.pattern()),
                                        targetName.patternOptions());
        const auto isOurs = [&target](QByteArrayView name) {
            QByteArrayView targetBytes;
            return isTemporaryName(name, targetBytes) &&
                   target.match(QFile::decodeName(targetBytes.toByteArray())).hasMatch();
        };
        return removeAbandonedFiles(folder, isOurs, minimumAgeSeconds, giveUpAt);
    } catch (...) {
        // Tidying up is never worth a failure of its own.
        return 0;
    }
}
