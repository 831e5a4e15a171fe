#pragma once

#include <QByteArray>
#include <QString>

// A file descriptor that closes itself on every path; -1 holds nothing.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept
        : m_fd(fd)
    {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return m_fd; }
    // Gives the descriptor up without closing it.
    int release() noexcept;

private:
    int m_fd;
};

// Writes all of `bytes` to `fd`, however the system splits them; false, with errno set, when it cannot.
bool writeAllBytes(int fd, const QByteArray& bytes);

// Which file was read, as the system names it, and by whom and when it was last written.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    uint owner = 0;
    qint64 modifiedNs = 0; // since the epoch
};

// What reading a file that comes from outside the program found. Only a regular file is read: a named pipe, a
// device or a socket would block the program or never end, so they are refused without being opened for long.
struct RegularFileRead {
    enum class Status { Read, Absent, NotRegular, TooLarge, Failed };
    Status status = Status::Failed;
    QByteArray bytes;      // Read: the whole file
    qint64 size = 0;       // TooLarge: the size found
    int error = 0;         // Failed: the system's error number
    FileIdentity identity; // Read: the file that was read
};

// Reads the whole of `path` when it is a regular file (a link to one counts) of at most `maxSize` bytes. Never
// blocks and never throws.
RegularFileRead readRegularFile(const QString& path, qint64 maxSize);

// "Cannot read <path>: <reason>" for a read that did not give the bytes, in the words of the system where it has
// them. Not for Status::Read.
QString readFailureText(const QString& path, const RegularFileRead& read);
