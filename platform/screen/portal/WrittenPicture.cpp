#include "platform/screen/portal/WrittenPicture.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An empty IEND chunk: its length, its type and its CRC.
constexpr char pngEnd[] = "\x00\x00\x00\x00IEND\xae\x42\x60\x82";
constexpr qsizetype pngEndSize = sizeof pngEnd - 1;

qint64 nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The last bytes of `path` when it is a regular file of this user's, changed since `sinceNs` (less a second for file
// systems with coarse times); empty otherwise. Never blocks: a FIFO is not opened for reading.
QByteArray freshTail(const QString& path, qint64 sinceNs)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    QByteArray tail;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid() &&
        qint64{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec >= sinceNs - 1000000000 &&
        status.st_size >= pngEndSize) {
        tail.resize(pngEndSize);
        if (::pread(fd, tail.data(), pngEndSize, status.st_size - pngEndSize) != pngEndSize) {
            tail.clear();
        }
    }
    ::close(fd);
    return tail;
}

} // namespace

bool endsWithPngEnd(const QByteArray& tail)
{
    return tail.endsWith(QByteArray::fromRawData(pngEnd, pngEndSize));
}

WrittenPicture::WrittenPicture(const QStringList& folders)
    : m_sinceNs(nowNs())
{
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        return;
    }
    for (const QString& folder : folders) {
        const int watch = ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(),
                                              IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR);
        if (watch >= 0) {
            m_watches.push_back({watch, folder});
        }
    }
    if (m_watches.empty()) {
        ::close(m_fd);
        m_fd = -1;
    }
}

WrittenPicture::~WrittenPicture()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

QString WrittenPicture::wholePicture()
{
    if (m_fd < 0) {
        return {};
    }
    alignas(inotify_event) char events[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(m_fd, events, sizeof events);
        if (got <= 0) {
            break;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            if (!name.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)) {
                continue;
            }
            for (const Watch& watch : m_watches) {
                if (watch.descriptor != event->wd) {
                    continue;
                }
                // Only a file that appeared while watched is new: one there before was not written for this request.
                const QString path = watch.folder + QLatin1Char('/') + name;
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) && !m_seen.contains(path)) {
                    m_seen.append(path);
                }
            }
        }
    }
    for (const QString& path : std::as_const(m_seen)) {
        if (endsWithPngEnd(freshTail(path, m_sinceNs))) {
            return path;
        }
    }
    return {};
}
