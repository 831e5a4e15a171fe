#include "platform/settings/QSettingsBackend.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"
#include "platform/files/SafeFile.h"
#include "platform/files/UserFolders.h"
#include "platform/settings/IniValues.h"
#include "platform/settings/MadeFolders.h"
#include "platform/settings/PrivateCopy.h"
#include "platform/settings/WriteLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Times a write starts again because another program replaced the file while it was made.
constexpr int MaxWriteAttempts = 5;
// What some editors put at the start of a UTF-8 file; QSettings reads past it but reports a rewrite that keeps it as
// a format error.
constexpr char Utf8Mark[] = "\xEF\xBB\xBF";

QString systemMessage(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString shown(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString tooLarge(const QString& verb, const QString& path, qint64 size)
{
    return QStringLiteral("Cannot %1 %2: the file is %3 bytes long, too large to be a settings file")
        .arg(verb, shown(path))
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

// Why QSettings could not write the file in `folder`, as far as the system tells.
QString writeFailureReason(const QString& folder)
{
    const QByteArray native = QFile::encodeName(folder);
    if (::access(native.constData(), W_OK | X_OK) != 0) {
        return systemMessage(errno);
    }
    struct statvfs space {};
    if (::statvfs(native.constData(), &space) == 0 && space.f_bavail == 0) {
        return systemMessage(ENOSPC);
    }
    return QStringLiteral("the system refused the write");
}

// QSettings reads only from a path. A memory file gives it one under /proc that holds exactly the bytes that were
// checked and leaves nothing on any disk: it is gone when its descriptor is closed.
QMap<QString, QVariant> parseInMemory(const QByteArray& bytes, const QString& path)
{
    const auto cannot = [&path](int error) {
        return UnreadableSettings(QStringLiteral("Cannot read %1: no memory file can be made to parse it in: %2")
                                      .arg(shown(path), systemMessage(error)));
    };
    const FileDescriptor memory(::memfd_create("quosh-settings", MFD_CLOEXEC));
    if (memory.get() < 0 || !writeAllBytes(memory.get(), bytes)) {
        throw cannot(errno);
    }
    // QSettings keeps what it read of a path while the file's size and modification time stay the same, and the
    // path comes back with the descriptor's number: each parse of this process gets a time of its own.
    static std::atomic<time_t> parses{0};
    const struct timespec times[2] = {{0, UTIME_OMIT}, {++parses, 0}};
    const QString name = QStringLiteral("/proc/self/fd/%1").arg(memory.get());
    if (::futimens(memory.get(), times) != 0 || ::access(QFile::encodeName(name).constData(), R_OK) != 0) {
        throw cannot(errno);
    }
    QSettings settings(name, QSettings::IniFormat);
    QMap<QString, QVariant> values;
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        values.insert(key, settings.value(key));
    }
    if (settings.status() == QSettings::AccessError) {
        throw cannot(EACCES);
    }
    return values;
}

// The text a value of the file stands for; nothing when it is not text.
std::optional<QString> textOf(const QVariant& value)
{
    // An unquoted value with commas in a hand-edited file comes back as a list; the stored text had the commas.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    if (!value.canConvert<QString>()) {
        return std::nullopt;
    }
    return value.toString();
}

QString keyOf(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}

} // namespace

QString QSettingsBackend::filePath(const QString& application)
{
    const QString folder = configFolder();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(application + QStringLiteral(".conf"));
}

int QSettingsBackend::removeAbandonedCopies(const QString& application, qint64 minimumAgeSeconds,
                                            std::chrono::steady_clock::time_point giveUpAt)
{
    const QString path = filePath(application);
    if (path.isEmpty()) {
        return 0;
    }
    // The copies QSettings wrote in, and the new files that were on their way into place.
    const auto removeBeside = [&](const QString& file) {
        const QFileInfo info(file);
        return PrivateCopy::removeAbandoned(file, minimumAgeSeconds, giveUpAt) +
               SafeFile::removeStaleTemporaryFiles(info.absolutePath(),
                                                   QRegularExpression(QRegularExpression::escape(info.fileName())),
                                                   minimumAgeSeconds, giveUpAt);
    };
    int removed = removeBeside(path);
    // A write through a link makes its files beside the file the link leads to (in a dotfiles folder).
    const QByteArray native = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(native.constData(), &status) == 0 && S_ISLNK(status.st_mode)) {
        const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(native.constData(), nullptr), std::free);
        if (resolved && ::stat(resolved.get(), &status) == 0 && S_ISREG(status.st_mode)) {
            removed += removeBeside(QFile::decodeName(resolved.get()));
        }
    }
    return removed;
}

const QSettingsBackend::Values& QSettingsBackend::parse(const QByteArray& bytes, const QString& path)
{
    // Reads of the same bytes share one parse (start-up reads several keys of an unchanged file).
    if (!m_hasParse || bytes != m_parsedBytes) {
        m_hasParse = false;
        m_parsed = parseInMemory(bytes, path);
        m_parsedBytes = bytes;
        m_hasParse = true;
    }
    return m_parsed;
}

std::optional<QString> QSettingsBackend::readText(const QByteArray& bytes, const QString& path, const QString& section,
                                                  const QString& key)
{
    const Values& values = parse(withoutTypedValues(bytes), path);
    const auto found = values.constFind(keyOf(section, key));
    if (found == values.cend()) {
        return std::nullopt;
    }
    if (found->typeId() == QMetaType::QString && found->toString() == QString(QChar(TypedValueMark))) {
        throw Failure(QStringLiteral("Cannot read the setting \"%1\" in %2: its value is of a kind that this program "
                                     "does not read")
                          .arg(key, shown(path)));
    }
    std::optional<QString> text = textOf(*found);
    if (!text) {
        throw Failure(
            QStringLiteral("Cannot read the setting \"%1\" in %2: its value is not text").arg(key, shown(path)));
    }
    return text;
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
        throw UnreadableSettings(tooLarge(QStringLiteral("read"), path, file.size));
    case RegularFileRead::Status::Failed:
        throw UnreadableSettings(readFailureText(path, file));
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
    // Declared first, so that the lock inside them is removed before them.
    MadeFolders made;
    made.make(QFileInfo(path).absolutePath(), shown(path));

    // One writer at a time, each reading the file afresh, so that no write puts back what another one replaced.
    const WriteLock order(path + QStringLiteral(".order"), path);
    for (int attempt = 0; attempt < MaxWriteAttempts; ++attempt) {
        if (rewrite(path, section, key, value)) {
            made.keep();
            return;
        }
    }
    throw Failure(QStringLiteral("Cannot write %1: another program kept replacing it while the change was made, so "
                                 "the change was not stored")
                      .arg(shown(path)));
}

bool QSettingsBackend::rewrite(const QString& path, const QString& section, const QString& key, const QString& value)
{
    const QString target = rewriteTarget(path, section);
    const RegularFileRead old = readForRewrite(target, path);
    struct stat status {};
    std::optional<uint> mode;
    if (old.status == RegularFileRead::Status::Read && ::stat(QFile::encodeName(target).constData(), &status) == 0) {
        mode = status.st_mode & 07777;
    }
    QByteArray bytes = old.bytes;
    if (bytes.startsWith(Utf8Mark)) {
        bytes.remove(0, qsizetype(sizeof Utf8Mark - 1));
    }
    Values expected = old.status == RegularFileRead::Status::Read ? parse(bytes, path) : Values();
    expected.remove(keyOf(section, key));

    // The new file is made first: a folder that takes no new file refuses the change before anything is written.
    SafeFile file(target, 0666, shown(path));
    if (mode) {
        file.setPermissions(*mode);
    }
    const PrivateCopy copy(target, bytes, shown(path));
    {
        QSettings settings(copy.path(), QSettings::IniFormat);
        settings.beginGroup(section);
        settings.setValue(key, value);
        settings.endGroup();
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            throw Failure(QStringLiteral("Cannot write %1: %2")
                              .arg(shown(path), writeFailureReason(QFileInfo(target).absolutePath())));
        }
    }

    // What the next start reads is what is checked here: every other value as it was, and this one as given.
    const RegularFileRead written = readRegularFile(copy.path(), MaxFileSize);
    Values got;
    if (written.status == RegularFileRead::Status::Read && isSettingsText(written.bytes)) {
        got = parse(written.bytes, path);
    }
    const std::optional<QVariant> back =
        got.contains(keyOf(section, key)) ? std::optional<QVariant>(got.take(keyOf(section, key))) : std::nullopt;
    if (got != expected) {
        throw Failure(QStringLiteral("Cannot write %1: its other settings would not read back the same after a "
                                     "rewrite, so the file was left as it is")
                          .arg(shown(path)));
    }
    if (!back || textOf(*back) != value) {
        throw Failure(QStringLiteral("Cannot write %1: the text for \"%2\" cannot be stored so that it reads back "
                                     "the same, so it was not stored")
                          .arg(shown(path), key));
    }
    file.write(written.bytes.constData(), static_cast<std::size_t>(written.bytes.size()));
    return file.replace(old);
}

QString QSettingsBackend::rewriteTarget(const QString& path, const QString& section)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat link {};
    if (::lstat(native.constData(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    // A link kept with the user's other configuration (a dotfiles folder) is written through; a link to anything
    // else, even a text file that would parse, is not: it may be someone else's file that happens to be writable.
    const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(native.constData(), nullptr), std::free);
    if (!resolved) {
        throw Failure(QStringLiteral("Cannot write %1: it is a link to a file that cannot be reached (%2), so it was "
                                     "left as it is")
                          .arg(shown(path), systemMessage(errno)));
    }
    QString target = QFile::decodeName(resolved.get());
    const RegularFileRead file = readRegularFile(target, MaxFileSize);
    // Only a file that holds our section: an empty one may be anything (a Python package's __init__.py).
    bool ours = false;
    if (file.status == RegularFileRead::Status::Read && isSettingsText(file.bytes) &&
        firstUnkeptLine(file.bytes) == 0) {
        const QString prefix = section + QLatin1Char('/');
        const QStringList keys = parse(withoutTypedValues(file.bytes), path).keys();
        ours =
            std::any_of(keys.cbegin(), keys.cend(), [&prefix](const QString& key) { return key.startsWith(prefix); });
    }
    if (!ours) {
        throw Failure(QStringLiteral("Cannot write %1: it is a link to %2, which is not a settings file of this "
                                     "program, so neither was changed")
                          .arg(shown(path), shown(target)));
    }
    return target;
}

RegularFileRead QSettingsBackend::readForRewrite(const QString& path, const QString& shownPath)
{
    const QString name = shown(shownPath);
    RegularFileRead old = readRegularFile(path, MaxFileSize);
    switch (old.status) {
    case RegularFileRead::Status::Read:
    case RegularFileRead::Status::Absent:
        break;
    case RegularFileRead::Status::NotRegular:
        throw Failure(QStringLiteral("Cannot write %1: it is not a regular file, so it was left as it is").arg(name));
    case RegularFileRead::Status::TooLarge:
        throw Failure(tooLarge(QStringLiteral("write"), shownPath, old.size));
    case RegularFileRead::Status::Failed:
        throw Failure(QStringLiteral("Cannot write %1: %2").arg(name, systemMessage(old.error)));
    }
    if (!isSettingsText(old.bytes)) {
        throw Failure(QStringLiteral("Cannot write %1: the file is not in the settings format, so it was left as it is")
                          .arg(name));
    }
    // QSettings decodes every value of the file when it rewrites it, and drops what it does not take for a setting.
    QStringList typed;
    withoutTypedValues(old.bytes, &typed);
    if (!typed.isEmpty()) {
        throw Failure(QStringLiteral("Cannot write %1: the setting \"%2\" holds a value of a kind that this program "
                                     "does not read, so the file was left as it is")
                          .arg(name, typed.first()));
    }
    if (const qsizetype line = firstUnkeptLine(old.bytes); line > 0) {
        throw Failure(QStringLiteral("Cannot write %1: line %2 is not a setting, and rewriting the file would lose "
                                     "it, so the file was left as it is")
                          .arg(name)
                          .arg(line));
    }
    return old;
}
