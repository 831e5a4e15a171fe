#include "platform/settings/PrivateCopy.h"

#include "platform/errors/Failure.h"
#include "platform/files/AbandonedFiles.h"
#include "platform/files/RegularFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Times the files are swapped back when other programs save again while one of their saves is being put back.
constexpr int MaxPutBacks = 8;

Failure cannotWrite(const QString& shownPath, int error)
{
    return Failure(QStringLiteral("Cannot write %1: %2").arg(shownPath, qt_error_string(error)));
}

bool isSameFile(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether `status` is, by its device, inode, time and size, the file that `read` found.
bool isFileRead(const struct stat& status, const RegularFileRead& read)
{
    const FileIdentity& was = read.identity;
    return read.status == RegularFileRead::Status::Read && S_ISREG(status.st_mode) &&
           static_cast<quint64>(status.st_dev) == was.device && static_cast<quint64>(status.st_ino) == was.inode &&
           qint64{status.st_mtim.tv_sec} * 1000000000 + qint64{status.st_mtim.tv_nsec} == was.modifiedNs &&
           status.st_size == read.bytes.size();
}

bool isUnsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

PrivateCopy::PrivateCopy(const QString& target, const QByteArray& bytes, std::optional<uint> mode,
                         const QString& shownPath)
{
    static std::atomic<int> copies{0};
    const QString prefix = namePrefix(target);
    for (;;) {
        m_path = prefix + QStringLiteral("%1-%2").arg(::getpid()).arg(++copies);
        m_fd =
            ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0666));
        if (m_fd < 0 && errno == EEXIST) {
            continue; // left by a copy of the program that had this process number and ended in the middle
        }
        // Locked, so that the tidy-up of copies a kill left behind never takes it; QSettings writes it anew as
        // another file, which is young until moveOnto() locks it again.
        if (m_fd >= 0) {
            static_cast<void>(::flock(m_fd, LOCK_EX | LOCK_NB));
        }
        struct stat status {};
        const bool written = m_fd >= 0 && writeAllBytes(m_fd, bytes) && (!mode || ::fchmod(m_fd, *mode) == 0) &&
                             ::fstat(m_fd, &status) == 0;
        if (!written) {
            const int error = errno;
            remove();
            throw cannotWrite(shownPath, error);
        }
        m_mode = status.st_mode & 07777;
        return;
    }
}

PrivateCopy::~PrivateCopy()
{
    remove();
}

QString PrivateCopy::namePrefix(const QString& target)
{
    const QFileInfo info(target);
    return info.absoluteDir().filePath(QStringLiteral(".%1.new-").arg(info.fileName()));
}

int PrivateCopy::removeAbandoned(const QString& target, qint64 minimumAgeSeconds,
                                 std::chrono::steady_clock::time_point giveUpAt)
{
    // ".<file>.new-<process>-<count>", as copies are named; "<that>.lock", which QSettings takes on it, and
    // "<that>.XXXXXX", where it writes the copy anew.
    const QByteArray prefix = QFile::encodeName(QFileInfo(namePrefix(target)).fileName());
    const auto isCopy = [&prefix](QByteArrayView name) {
        if (!name.startsWith(prefix)) {
            return false;
        }
        name = name.sliced(prefix.size());
        const qsizetype dot = name.indexOf('.');
        const QByteArrayView suffix = dot < 0 ? QByteArrayView() : name.sliced(dot + 1);
        if (dot >= 0 && suffix != "lock" &&
            (suffix.size() != 6 || !std::all_of(suffix.begin(), suffix.end(), [](char c) {
                 return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
             }))) {
            return false;
        }
        if (dot >= 0) {
            name.truncate(dot);
        }
        const qsizetype dash = name.indexOf('-');
        const auto isNumber = [](QByteArrayView digits) {
            return !digits.isEmpty() &&
                   std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        return dash > 0 && isNumber(name.first(dash)) && isNumber(name.sliced(dash + 1));
    };
    return removeAbandonedFiles(QFileInfo(target).absolutePath(), isCopy, minimumAgeSeconds, giveUpAt);
}

void PrivateCopy::remove() noexcept
{
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        m_path.clear();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool PrivateCopy::moveOnto(const QString& target, const RegularFileRead& read, const QString& shownPath)
{
    // Durable first, so that a power cut leaves the old file or the new one, never a part. QSettings writes the copy
    // anew; its permissions are put back as they were made.
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(target);
    const FileDescriptor fd(::open(from.constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() >= 0) {
        static_cast<void>(::flock(fd.get(), LOCK_EX | LOCK_NB));
    }
    int result = fd.get() < 0 ? -1 : ::fchmod(fd.get(), m_mode);
    if (result == 0) {
        do {
            result = ::fsync(fd.get());
        } while (result != 0 && errno == EINTR);
    }
    struct stat mine {};
    if (result != 0 || ::fstat(fd.get(), &mine) != 0) {
        throw cannotWrite(shownPath, errno);
    }

    if (read.status != RegularFileRead::Status::Read) {
        // No file to swap with: the copy goes in only while there is still none.
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0) {
            const int error = errno;
            if (error == EEXIST) {
                return false;
            }
            if (!isUnsupported(error) || ::link(from.constData(), to.constData()) != 0) {
                if (errno == EEXIST) {
                    return false;
                }
                throw cannotWrite(shownPath, isUnsupported(error) ? errno : error);
            }
            remove(); // the link is in place; the copy's own name goes
            return true;
        }
        m_path.clear();
        return true;
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return false; // removed meanwhile: the change is made again where there is none
        }
        if (!isUnsupported(error)) {
            throw cannotWrite(shownPath, error);
        }
        // A file system that cannot swap two names (some network ones): checked, then moved, which leaves a narrow
        // gap for another program's save to be lost in.
        struct stat now {};
        if (::stat(to.constData(), &now) != 0 || !isFileRead(now, read)) {
            return false;
        }
        if (::rename(from.constData(), to.constData()) != 0) {
            throw cannotWrite(shownPath, errno);
        }
        m_path.clear();
        return true;
    }
    // Swapped in one step, so nothing can come in between: the file now under the copy's name is the one that was in
    // place, and when it is not the one read, another program saved its own after the read.
    struct stat out {};
    if (::lstat(from.constData(), &out) != 0 || isFileRead(out, read)) {
        remove();
        return true;
    }
    putBack(target, mine, out, shownPath);
    return false;
}

// Puts another program's save back in place of the copy. `put`: what this process last put under the target's
// name; `held`: what the copy's name holds now.
void PrivateCopy::putBack(const QString& target, const struct stat& lastPut, const struct stat& nowHeld,
                          const QString& shownPath)
{
    struct stat put = lastPut;
    struct stat held = nowHeld;
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(target);
    for (int swap = 0; swap < MaxPutBacks; ++swap) {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
            const int error = errno;
            // Removed meanwhile, and the change with it: the other program's save goes back under its name.
            if (error == ENOENT &&
                ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
                m_path.clear();
                return;
            }
            throw keptAside(shownPath, qt_error_string(error));
        }
        struct stat out {};
        if (::lstat(from.constData(), &out) != 0 || isSameFile(out, put)) {
            // What came out is what was put there last: the copy, or a save that a later one replaced.
            remove();
            return;
        }
        // Yet another save came in between, the latest of all: it goes in place too.
        put = held;
        held = out;
    }
    throw keptAside(shownPath, QStringLiteral("another program kept replacing it"));
}

Failure PrivateCopy::keptAside(const QString& shownPath, const QString& reason)
{
    // What the copy's name holds now is another program's save, which must not be removed with the copy.
    const QString kept = QDir::toNativeSeparators(std::exchange(m_path, QString()));
    return Failure(QStringLiteral("Cannot write %1: %2, so the change was not stored; another program's save of it "
                                  "is kept as %3")
                       .arg(shownPath, reason, kept));
}
