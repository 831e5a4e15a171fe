#include "platform/screen/portal/PortalPicture.h"

#include "platform/files/RegularFile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Megabytes the decoder may allocate for one picture (Qt's default of 128 refuses an 8K desktop). The limit is the
// process's; nothing else here decodes anything near that size.
constexpr int maxDecodeMegabytes = 1024;

constexpr qint64 coarseTimeStampsNs = 1000000000;

} // namespace

QString localPathOfUri(const QString& uri)
{
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("file")) {
        return {};
    }
    // QUrl::toLocalFile() makes "//localhost/tmp/a.png" of a named host, which is a path on no machine.
    if (!url.host().isEmpty() && url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) {
        return {};
    }
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QChar(0))) {
        return {};
    }
    return path;
}

QSize declaredPictureSize(const QByteArray& bytes)
{
    QByteArray data = bytes; // shared, not copied
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).size();
}

QImage decodePicture(QByteArray bytes, QString* error)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImageReader::setAllocationLimit(maxDecodeMegabytes);
    QImage image;
    if (!reader.read(&image)) {
        *error = reader.errorString();
        return {};
    }
    // Palettes, grey levels and 16 bits a channel come out of the decoder as they are stored.
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_RGB32);
        if (image.isNull()) {
            *error = QStringLiteral("out of memory");
        }
    }
    return image;
}

bool removePortalPicture(const QString& path, const FileIdentity& read, qint64 requestedNs, qint64 answeredNs)
{
    const QFileInfo info(path);
    // The folder is taken as it is named (the pictures folder may well be a link); the name in it is looked at and
    // removed through the same open folder, so that a folder swapped in between cannot redirect the removal.
    const int folder = ::open(QFile::encodeName(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return false;
    }
    const QByteArray name = QFile::encodeName(info.fileName());
    struct stat now {};
    bool removed = false;
    // The same device and inode as the file read: not replaced since, and not a link (whose own inode differs).
    if (::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<quint64>(now.st_dev) == read.device && static_cast<quint64>(now.st_ino) == read.inode &&
        now.st_uid == ::geteuid()) {
        // Written while the portal worked on the request, and at no other time: a file of the user's that the answer
        // names, dated before the request or after the answer, is theirs.
        const qint64 written = qint64{now.st_mtim.tv_sec} * 1000000000 + qint64{now.st_mtim.tv_nsec};
        if (written >= requestedNs - coarseTimeStampsNs && written <= answeredNs + coarseTimeStampsNs) {
            removed = ::unlinkat(folder, name.constData(), 0) == 0;
        }
    }
    ::close(folder);
    return removed;
}
