#pragma once

#include "platform/files/RegularFile.h"
#include "platform/settings/SettingsBackend.h"

#include <QByteArray>
#include <QMap>
#include <QVariant>

#include <chrono>

// The per-user store in QSettings' INI format: the application is the file ($XDG_CONFIG_HOME/<application>.conf),
// the section is the group, the key is the key.
//
// Every call reads the file afresh, so a second copy of the program writing the same file is seen at once; only the
// parse is shared while the bytes stay the same. The file is read only when it is a regular file, without blocking
// and up to MaxFileSize, and parsed from those bytes in memory: nothing of it is copied to a file anywhere. Values
// that QSettings would decode into other types are refused before it sees them.
//
// A write is made by QSettings on a private copy beside the file (PrivateCopy), under a lock that orders the program's
// writers (WriteLock: waited for a second at most, then refused). Once every value of the copy reads back as the file
// had it, with the new one, those bytes replace the file (SafeFile::replace), but only the file that was read: when
// another program replaced it meanwhile, its file is put back and the write starts again from it. A file that a rewrite
// would not keep whole (lines that are not settings, values of other kinds) is never rewritten; a UTF-8 mark at its
// start is dropped; a link is written through only when it leads to a file that holds this program's section. A write
// that fails leaves none of the folders it made.
class QSettingsBackend final : public SettingsBackend {
public:
    QSettingsBackend() = default;
    QSettingsBackend(const QSettingsBackend&) = delete;
    QSettingsBackend& operator=(const QSettingsBackend&) = delete;

    std::optional<QString> read(const QString& application, const QString& section, const QString& key) override;
    void write(const QString& application, const QString& section, const QString& key, const QString& value) override;

    // Where the store of `application` lives; empty when the user has no known home folder.
    static QString filePath(const QString& application);

    // Removes the private copies, their locks and the new files on their way into place that writes cut short by a
    // kill or a crash left beside the store of `application`, or beside the file its link leads to: only those older
    // than `minimumAgeSeconds` that no write holds (removeAbandonedFiles). Stops at `giveUpAt`. Returns how many were
    // removed; never throws.
    static int removeAbandonedCopies(const QString& application, qint64 minimumAgeSeconds,
                                     std::chrono::steady_clock::time_point giveUpAt);

    // A settings file larger than this is not one this program wrote; it is neither read nor rewritten.
    static constexpr qint64 MaxFileSize = qint64{1024} * 1024;

private:
    // Every value of the file as QSettings reads these bytes, by "section/key"; throws UnreadableSettings.
    using Values = QMap<QString, QVariant>;
    const Values& parse(const QByteArray& bytes, const QString& path);
    std::optional<QString> readText(const QByteArray& bytes, const QString& path, const QString& section,
                                    const QString& key);

    // One attempt at the write, under the writers' lock; false when another program replaced the file meanwhile,
    // which is then left as that program made it.
    bool rewrite(const QString& path, const QString& section, const QString& key, const QString& value);
    // The file that a write of `path` rewrites: `path` itself, or where its link leads when that is a settings
    // file of this program. Throws Failure naming why it may not be rewritten.
    QString rewriteTarget(const QString& path, const QString& section);
    // The file as it is before a write, when it may be rewritten; throws Failure naming why it may not.
    static RegularFileRead readForRewrite(const QString& path, const QString& shownPath);

    QByteArray m_parsedBytes;
    Values m_parsed;
    bool m_hasParse = false;
};
