#include "platform/settings/QSettingsBackend.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"
#include "platform/files/UserFolders.h"
#include "platform/settings/IniValues.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString systemMessage(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString tooLarge(const QString& verb, const QString& path, qint64 size)
{
    return QStringLiteral("Cannot %1 %2: the file is %3 bytes long, too large to be a settings file")
        .arg(verb, QDir::toNativeSeparators(path))
        .arg(size);
}

// QSettings reads any bytes leniently and would rewrite a binary file in its own form, dropping what it could not
// parse; the file may hold other programs' sections, so only text is taken for a settings file. QSettings itself
// writes every control character below U+0020 as an escape, and DEL and the C1 controls (U+0080 to U+009F) as they
// are: those are text.
bool isSettingsText(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError()) {
        return false;
    }
    return std::none_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r');
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

// Creates the settings folder and the folders above it that are missing, private to the user as the XDG rules ask;
// names the folder that could not be made and why.
void makeFolder(const QString& folder, const QString& path)
{
    for (qsizetype slash = folder.indexOf(QLatin1Char('/'), 1);; slash = folder.indexOf(QLatin1Char('/'), slash + 1)) {
        const QString step = slash < 0 ? folder : folder.left(slash);
        const QByteArray native = QFile::encodeName(step);
        int error = 0;
        if (::mkdir(native.constData(), 0700) != 0) {
            struct stat status {};
            error = errno != EEXIST                            ? errno
                    : ::stat(native.constData(), &status) != 0 ? errno
                    : S_ISDIR(status.st_mode)                  ? 0
                                                               : ENOTDIR;
        }
        if (error != 0) {
            throw Failure(
                QStringLiteral("Cannot write %1: cannot create the folder %2: %3")
                    .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(step), systemMessage(error)));
        }
        if (slash < 0) {
            return;
        }
    }
}

// QSettings notices another process's change by the file's size and modification time (to the millisecond): each
// version of the file must carry a later time than the one before it.
void makeLaterThan(const QString& path, const QDateTime& before)
{
    const QDateTime after = QFileInfo(path).lastModified();
    QFile file(path);
    if (before.isValid() && after.isValid() && after <= before && file.open(QIODevice::ReadWrite)) {
        file.setFileTime(before.addMSecs(1), QFileDevice::FileModificationTime);
    }
}

} // namespace

QSettingsBackend::QSettingsBackend() = default;
QSettingsBackend::~QSettingsBackend()
{
    dropParse();
}

QString QSettingsBackend::filePath(const QString& application)
{
    const QString folder = configFolder();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(application + QStringLiteral(".conf"));
}

QVariant QSettingsBackend::parse(const QByteArray& bytes, const QString& section, const QString& key)
{
    // QSettings reads only from a file, and keeps what it read of a path for as long as the file's size and time
    // stay the same: each new content gets a file of its own, holding exactly the bytes that were checked. Reads of
    // the same bytes share one parse (start-up reads several keys of an unchanged file).
    if (!m_parsed || bytes != m_parsedBytes) {
        dropParse();
        if (!m_scratch) {
            m_scratch = std::make_unique<QTemporaryDir>();
        }
        const QString copy = m_scratch->filePath(QString::number(++m_parses) + QStringLiteral(".conf"));
        QFile file(copy);
        if (!m_scratch->isValid() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            file.remove();
            throw Failure(QStringLiteral("Cannot read the settings: no temporary copy can be made in %1")
                              .arg(QDir::toNativeSeparators(QDir::tempPath())));
        }
        file.close();
        m_parsed = std::make_unique<QSettings>(copy, QSettings::IniFormat);
        m_parsedBytes = bytes;
    }
    m_parsed->beginGroup(section);
    QVariant value = m_parsed->value(key);
    m_parsed->endGroup();
    return value;
}

void QSettingsBackend::dropParse()
{
    if (!m_parsed) {
        return;
    }
    const QString copy = m_parsed->fileName();
    m_parsed.reset();
    m_parsedBytes.clear();
    QFile::remove(copy);
}

std::optional<QString> QSettingsBackend::readText(const QByteArray& bytes, const QString& path, const QString& section,
                                                  const QString& key)
{
    const QVariant value = parse(withoutTypedValues(bytes), section, key);
    if (!value.isValid()) {
        return std::nullopt;
    }
    if (value.typeId() == QMetaType::QString && value.toString() == QString(QChar(TypedValueMark))) {
        throw Failure(QStringLiteral("Cannot read the setting \"%1\" in %2: its value is of a kind that this program "
                                     "does not read")
                          .arg(key, QDir::toNativeSeparators(path)));
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

std::optional<QString> QSettingsBackend::read(const QString& application, const QString& section, const QString& key)
{
    const QString path = filePath(application);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    const RegularFileRead file = readRegularFile(path, MaxFileSize);
    switch (file.status) {
    case RegularFileRead::Status::Read:
        break;
    case RegularFileRead::Status::Absent:
    case RegularFileRead::Status::NotRegular: // reads as empty; writing to it fails and names it
        return std::nullopt;
    case RegularFileRead::Status::TooLarge:
        throw Failure(tooLarge(QStringLiteral("read"), path, file.size));
    case RegularFileRead::Status::Failed:
        throw Failure(readFailureText(path, file));
    }
    // What cannot be parsed reads as absent; writing to such a file fails and leaves it untouched.
    if (!isSettingsText(file.bytes)) {
        return std::nullopt;
    }
    return readText(file.bytes, path, section, key);
}

void QSettingsBackend::write(const QString& application, const QString& section, const QString& key,
                             const QString& value)
{
    const QString path = filePath(application);
    if (path.isEmpty()) {
        throw Failure(QStringLiteral("Cannot write the settings: the home folder is not known"));
    }
    makeFolder(QFileInfo(path).absolutePath(), path);

    // Two copies rewriting a value of the same length within one millisecond would leave a stale copy unnoticed, so
    // every writer takes this lock before it reads the file.
    QLockFile order(path + QStringLiteral(".order"));
    order.setStaleLockTime(10000);
    const bool ordered = order.tryLock(10000);
    const QDateTime before = QFileInfo(path).lastModified();

    const RegularFileRead old = readForRewrite(path);
    mergeValue(path, old.bytes, section, key, value);
    if (ordered) {
        makeLaterThan(path, before);
    }
    if (!readsBack(path, section, key, value)) {
        putBack(path, old);
        throw Failure(QStringLiteral("Cannot write %1: the text for \"%2\" cannot be stored so that it reads back "
                                     "the same, so it was not stored")
                          .arg(QDir::toNativeSeparators(path), key));
    }
}

RegularFileRead QSettingsBackend::readForRewrite(const QString& path)
{
    const QString name = QDir::toNativeSeparators(path);
    RegularFileRead old = readRegularFile(path, MaxFileSize);
    switch (old.status) {
    case RegularFileRead::Status::Read:
    case RegularFileRead::Status::Absent:
        break;
    case RegularFileRead::Status::NotRegular:
        throw Failure(QStringLiteral("Cannot write %1: it is not a regular file, so it was left as it is").arg(name));
    case RegularFileRead::Status::TooLarge:
        throw Failure(tooLarge(QStringLiteral("write"), path, old.size));
    case RegularFileRead::Status::Failed:
        throw Failure(QStringLiteral("Cannot write %1: %2").arg(name, systemMessage(old.error)));
    }
    // QSettings decodes every value of the file when it rewrites it.
    QStringList typed;
    withoutTypedValues(old.bytes, &typed);
    if (!typed.isEmpty()) {
        throw Failure(QStringLiteral("Cannot write %1: the setting \"%2\" holds a value of a kind that this program "
                                     "does not read, so the file was left as it is")
                          .arg(name, typed.first()));
    }
    return old;
}

void QSettingsBackend::mergeValue(const QString& path, const QByteArray& old, const QString& section,
                                  const QString& key, const QString& value)
{
    QSettings::Status status = QSettings::FormatError;
    if (isSettingsText(old)) {
        QSettings settings(path, QSettings::IniFormat);
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
}

bool QSettingsBackend::readsBack(const QString& path, const QString& section, const QString& key, const QString& value)
{
    // What is on the disk now is what the next start reads.
    const RegularFileRead written = readRegularFile(path, MaxFileSize);
    std::optional<QString> back;
    if (written.status == RegularFileRead::Status::Read && isSettingsText(written.bytes)) {
        try {
            back = readText(written.bytes, path, section, key);
        } catch (const Failure&) {
        }
    }
    return back == value;
}

void QSettingsBackend::putBack(const QString& path, const RegularFileRead& old)
{
    const QDateTime rejected = QFileInfo(path).lastModified();
    if (old.status == RegularFileRead::Status::Absent) {
        QFile::remove(path);
        return;
    }
    QSaveFile restore(path);
    if (restore.open(QIODevice::WriteOnly) && restore.write(old.bytes) == old.bytes.size() && restore.commit()) {
        makeLaterThan(path, rejected);
    }
}
