#pragma once

#include "platform/files/RegularFile.h"
#include "platform/settings/SettingsBackend.h"

#include <QByteArray>

#include <memory>

class QSettings;
class QTemporaryDir;
class QVariant;

// The per-user store in QSettings' INI format: the application is the file ($XDG_CONFIG_HOME/<application>.conf),
// the section is the group, the key is the key.
//
// Every call reads the file afresh, so a second copy of the program writing the same file is seen at once; only the
// parse is shared while the bytes stay the same. The file is read only when it is a regular file, without blocking
// and up to MaxFileSize, and values that QSettings would decode into other types are refused before it sees them. A
// write is merged into the file under QSettings' lock, reaches the disk before write() returns, and is read back
// from the disk: a value that would not come back the same is refused and the file is put back as it was.
class QSettingsBackend final : public SettingsBackend {
public:
    QSettingsBackend();
    ~QSettingsBackend() override;
    QSettingsBackend(const QSettingsBackend&) = delete;
    QSettingsBackend& operator=(const QSettingsBackend&) = delete;

    std::optional<QString> read(const QString& application, const QString& section, const QString& key) override;
    void write(const QString& application, const QString& section, const QString& key, const QString& value) override;

    // Where the store of `application` lives; empty when the user has no known home folder.
    static QString filePath(const QString& application);

    // A settings file larger than this is not one this program wrote; it is neither read nor rewritten.
    static constexpr qint64 MaxFileSize = qint64{1024} * 1024;

private:
    // What QSettings reads from these bytes for the key; an invalid value when it is absent.
    QVariant parse(const QByteArray& bytes, const QString& section, const QString& key);
    std::optional<QString> readText(const QByteArray& bytes, const QString& path, const QString& section,
                                    const QString& key);

    void dropParse();

    // The file as it is before a write, when it may be rewritten; throws Failure naming why it may not.
    static RegularFileRead readForRewrite(const QString& path);
    // Sets the key in the file through QSettings, which keeps the rest of the file; `old` is the file as read.
    static void mergeValue(const QString& path, const QByteArray& old, const QString& section, const QString& key,
                           const QString& value);
    // Whether the file on the disk now gives `value` for the key.
    bool readsBack(const QString& path, const QString& section, const QString& key, const QString& value);
    // Puts the file back as `old` found it: removed when it was absent.
    static void putBack(const QString& path, const RegularFileRead& old);

    std::unique_ptr<QTemporaryDir> m_scratch;
    std::unique_ptr<QSettings> m_parsed; // the parse of m_parsedBytes, from a private copy
    QByteArray m_parsedBytes;
    quint64 m_parses = 0;
};
