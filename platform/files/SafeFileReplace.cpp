// SafeFile's replace of a file that was read: the new file swaps places with the old one in one step, and another
// program's save that came in between is put back.

#include "platform/files/SafeFile.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Times the files are swapped back when other programs save again while one of their saves is being put back.
constexpr int MaxPutBacks = 8;

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

void SafeFile::setPermissions(unsigned mode)
{
    if (m_fd < 0 || ::fchmod(m_fd, mode) != 0) {
        fail(m_fd < 0 ? EBADF : errno);
    }
}

bool SafeFile::replace(const RegularFileRead& read)
{
    if (m_fd < 0) {
        fail(EBADF);
    }
    // Durable first, with its permissions, so that a power cut leaves the old file or the new one, never a part.
    int result;
    do {
        result = ::fsync(m_fd);
    } while (result != 0 && errno == EINTR);
    struct stat mine {};
    if (result != 0 || ::fstat(m_fd, &mine) != 0) {
        fail(errno);
    }
    const QByteArray to = QFile::encodeName(m_fileName);

    if (read.status != RegularFileRead::Status::Read) {
        // No file to swap with: the new one goes in only while there is still none. A file system without a
        // no-replace rename gets a link, which refuses an existing name just the same.
        int error =
            ::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0 ? 0 : errno;
        const bool linked = isUnsupported(error) && ::link(m_tempPath.constData(), to.constData()) == 0;
        if (isUnsupported(error) && !linked) {
            error = errno;
        }
        if (error == 0 || linked) {
            if (linked) {
                ::unlink(m_tempPath.constData()); // the link is in place; the temporary name goes
            }
            m_tempPath.clear();
            discard();
            return true;
        }
        if (error == EEXIST) {
            discard();
            return false;
        }
        fail(error);
    }
    if (::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            discard();
            return false; // removed meanwhile: the change is made again where there is none
        }
        if (!isUnsupported(error)) {
            fail(error);
        }
        // A file system that cannot swap two names (some network ones): checked, then moved, which leaves a narrow
        // gap for another program's save to be lost in.
        struct stat now {};
        if (::stat(to.constData(), &now) != 0 || !isFileRead(now, read)) {
            discard();
            return false;
        }
        if (::rename(m_tempPath.constData(), to.constData()) != 0) {
            fail(errno);
        }
        m_tempPath.clear();
        discard();
        return true;
    }
    // Swapped in one step, so nothing can come in between: the file now under the temporary name is the one that was
    // in place, and when it is not the one read, another program saved its own after the read.
    struct stat out {};
    if (::lstat(m_tempPath.constData(), &out) != 0 || isFileRead(out, read)) {
        discard();
        return true;
    }
    return putBack(mine, out);
}

// Puts another program's save back in place of the new file. `lastPut`: what this process last put under the
// target's name; `nowHeld`: what the temporary name holds now. Returns false once the save is back.
bool SafeFile::putBack(const struct stat& lastPut, const struct stat& nowHeld)
{
    struct stat put = lastPut;
    struct stat held = nowHeld;
    const QByteArray to = QFile::encodeName(m_fileName);
    QString reason = QStringLiteral("another program kept replacing it");
    for (int swap = 0; swap < MaxPutBacks; ++swap) {
        if (::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
            const int error = errno;
            // Removed meanwhile, and the change with it: the other program's save goes back under its name.
            if (error == ENOENT &&
                ::renameat2(AT_FDCWD, m_tempPath.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
                m_tempPath.clear();
                discard();
                return false;
            }
            reason = qt_error_string(error);
            break;
        }
        struct stat out {};
        if (::lstat(m_tempPath.constData(), &out) != 0 || isSameFile(out, put)) {
            // What came out is what was put there last: the new file, or a save that a later one replaced.
            discard();
            return false;
        }
        // Yet another save came in between, the latest of all: it goes in place too.
        put = held;
        held = out;
    }
    // What the temporary name holds now is another program's save, which must not be removed with it.
    const QString kept = QDir::toNativeSeparators(QFile::decodeName(std::exchange(m_tempPath, QByteArray())));
    discard();
    throw Failure(QStringLiteral("Cannot write %1: %2, so the change was not stored; another program's save of it "
                                 "is kept as %3")
                      .arg(shownName(), reason, kept));
}
