#include "platform/QSettingsBackend.h"

#include "platform/Failure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString systemMessage(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void checkSize(const QString& path, const QString& verb)
{
    const QFileInfo info(path);
    if (info.exists() && info.size() > QSettingsBackend::MaxFileSize) {
        throw Failure(QStringLiteral("Cannot %1 %2: the file is %3 bytes long, too large to be a settings file")
                          .arg(verb, QDir::toNativeSeparators(path))
                          .arg(info.size()));
    }
}

// QSettings reads any bytes leniently and would rewrite a binary file in its own form, dropping what it could not
// parse; the file may hold other programs' sections, so only text is taken for a settings file.
bool isSettingsText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return true; // absent or unreadable: QSettings reports that itself
    }
    const QByteArray bytes = file.read(QSettingsBackend::MaxFileSize + 1);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError()) {
        return false;
    }
    return std::none_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
               c != QLatin1Char('\r');
    });
}

// Why a write that QSettings reported as failed did not happen, as far as the system tells.
QString writeFailureReason(const QString& path, QSettings::Status status)
{
    if (status == QSettings::FormatError) {
        return QStringLiteral("the file is not in the settings format, so it was left as it is");
    }
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    if (::access(folder.constData(), F_OK) != 0) {
        return systemMessage(errno);
    }
    if (!QFileInfo(info.absolutePath()).isDir()) {
        return systemMessage(ENOTDIR);
    }
    if (::access(folder.constData(), W_OK | X_OK) != 0) {
        return systemMessage(errno);
    }
    const QByteArray file = QFile::encodeName(info.absoluteFilePath());
    if (::access(file.constData(), F_OK) == 0 && ::access(file.constData(), W_OK) != 0) {
        return systemMessage(errno);
    }
    struct statvfs space {};
    if (::statvfs(folder.constData(), &space) == 0 && space.f_bavail == 0) {
        return systemMessage(ENOSPC);
    }
    return QStringLiteral("the system refused the write");
}

} // namespace

QString QSettingsBackend::filePath(const QString& application)
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, application).fileName();
}

std::optional<QString> QSettingsBackend::read(const QString& application, const QString& section, const QString& key)
{
    const QString path = filePath(application);
    checkSize(path, QStringLiteral("read"));
    const QFileInfo info(path);
    if (info.exists() && !info.isReadable()) {
        throw Failure(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), systemMessage(EACCES)));
    }
    // What cannot be parsed reads as absent; writing to such a file fails and leaves it untouched.
    if (!isSettingsText(path)) {
        return std::nullopt;
    }
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application);
    settings.beginGroup(section);
    const QVariant value = settings.value(key);
    if (!value.isValid()) {
        return std::nullopt;
    }
    // An unquoted value with commas in a hand-edited file comes back as a list; the stored text had the commas.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    if (!value.canConvert<QString>()) {
        throw Failure(QStringLiteral("Cannot read the setting \"%1\" in %2: its value is not text")
                          .arg(key, QDir::toNativeSeparators(path)));
    }
    return value.toString();
}

void QSettingsBackend::write(const QString& application, const QString& section, const QString& key,
                             const QString& value)
{
    const QString path = filePath(application);
    checkSize(path, QStringLiteral("write"));
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        throw Failure(QStringLiteral("Cannot write %1: %2")
                          .arg(QDir::toNativeSeparators(path), writeFailureReason(path, QSettings::AccessError)));
    }

    // QSettings notices another process's change by the file's size and modification time (to the millisecond).
    // Two copies rewriting a value of the same length within one millisecond would leave a stale copy unnoticed,
    // so every writer takes this lock and makes sure each version of the file carries a later time than the one
    // before it.
    QLockFile order(path + QStringLiteral(".order"));
    order.setStaleLockTime(10000);
    const bool ordered = order.tryLock(10000);
    const QDateTime before = QFileInfo(path).lastModified();

    QSettings::Status status = QSettings::FormatError;
    if (isSettingsText(path)) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application);
        // QSettings finds lines it cannot parse only while reading, and would drop them on the rewrite (another
        // program's section included): read first, and leave such a file as it is.
        settings.allKeys();
        status = settings.status();
        if (status == QSettings::NoError) {
            settings.beginGroup(section);
            settings.setValue(key, value);
            settings.endGroup();
            settings.sync();
            status = settings.status();
        }
    }
    if (status != QSettings::NoError) {
        throw Failure(QStringLiteral("Cannot write %1: %2")
                          .arg(QDir::toNativeSeparators(path), writeFailureReason(path, status)));
    }

    if (ordered && before.isValid()) {
        QFile file(path);
        const QDateTime after = QFileInfo(path).lastModified();
        if (after.isValid() && after <= before && file.open(QIODevice::ReadWrite)) {
            file.setFileTime(before.addMSecs(1), QFileDevice::FileModificationTime);
        }
    }
}
