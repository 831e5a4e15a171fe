#pragma once

#include "platform/SettingsBackend.h"

// The per-user store in QSettings' native format: the application is the file ($XDG_CONFIG_HOME/<application>.conf
// on Linux), the section is the group, the key is the key.
//
// Every call opens the file afresh, so a second copy of the program writing the same file is seen at once. A write
// is merged into the file under QSettings' lock and reaches the disk before write() returns.
class QSettingsBackend final : public SettingsBackend {
public:
    std::optional<QString> read(const QString& application, const QString& section, const QString& key) override;
    void write(const QString& application, const QString& section, const QString& key, const QString& value) override;

    // Where the store of `application` lives.
    static QString filePath(const QString& application);

    // A settings file larger than this is not one this program wrote; it is neither read nor rewritten.
    static constexpr qint64 MaxFileSize = qint64{1024} * 1024;
};
