#pragma once

#include <QString>

#include <optional>

// Per-user text values addressed by application, section and key.
class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    // The stored text (which may be empty), or nothing when the key is absent. Throws Failure when the store
    // cannot be read.
    virtual std::optional<QString> read(const QString& application, const QString& section, const QString& key) = 0;
    // Creates or overwrites the key; the value is on disk when this returns. Throws Failure when it is not.
    virtual void write(const QString& application, const QString& section, const QString& key,
                       const QString& value) = 0;
};
