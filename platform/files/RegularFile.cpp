#include "platform/files/RegularFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

RegularFileRead failed(int error)
{
    RegularFileRead read;
    read.status = error == ENOENT ? RegularFileRead::Status::Absent : RegularFileRead::Status::Failed;
    read.error = error;
    return read;
}

} // namespace

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int FileDescriptor::release() noexcept
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool writeAllBytes(int fd, const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t step = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (step < 0 && errno == EINTR) {
            continue;
        }
        if (step <= 0) {
            return false;
        }
        done += step;
    }
    return true;
}

RegularFileRead readRegularFile(const QString& path, qint64 maxSize)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a writer that may never come.
    int fd = -1;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return failed(errno);
    }
    const FileDescriptor file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return failed(errno);
    }
    RegularFileRead read;
    read.identity = {static_cast<quint64>(status.st_dev), static_cast<quint64>(status.st_ino),
                     static_cast<uint>(status.st_uid),
                     qint64{status.st_mtim.tv_sec} * 1000000000 + qint64{status.st_mtim.tv_nsec}};
    if (!S_ISREG(status.st_mode)) {
        read.status = RegularFileRead::Status::NotRegular;
        return read;
    }
    if (status.st_size > maxSize) {
        read.status = RegularFileRead::Status::TooLarge;
        read.size = status.st_size;
        return read;
    }
    // Room for one byte more than the file had, so that a file that grew since fstat() is still found too large.
    QByteArray bytes(static_cast<qsizetype>(status.st_size + 1), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        if (total == bytes.size()) {
            if (total > maxSize) {
                break;
            }
            bytes.resize(static_cast<qsizetype>(std::min(maxSize + 1, 2 * total)));
        }
        const ssize_t done = ::read(fd, bytes.data() + total, static_cast<size_t>(bytes.size() - total));
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(errno);
        }
        if (done == 0) {
            break;
        }
        total += done;
    }
    if (total > maxSize) {
        read.status = RegularFileRead::Status::TooLarge;
        read.size = total;
        return read;
    }
    bytes.truncate(static_cast<qsizetype>(total));
    read.status = RegularFileRead::Status::Read;
    read.bytes = std::move(bytes);
    return read;
}

QString readFailureText(const QString& path, const RegularFileRead& read)
{
    const QString name = QDir::toNativeSeparators(path);
    switch (read.status) {
    case RegularFileRead::Status::NotRegular:
        return QStringLiteral("Cannot read %1: it is not a regular file").arg(name);
    case RegularFileRead::Status::TooLarge:
        return QStringLiteral("Cannot read %1: the file is too large (%2 bytes)").arg(name).arg(read.size);
    case RegularFileRead::Status::Absent:
    case RegularFileRead::Status::Failed:
    case RegularFileRead::Status::Read:
        break;
    }
    return QStringLiteral("Cannot read %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(read.error)));
}
