#pragma once

#include "platform/errors/Failure.h"

#include <QString>

#include <optional>

// What SettingsBackend::read() throws when the store as a whole cannot be read, as opposed to one value of it: no
// stored value can be known, so none may be taken as the default.
class UnreadableSettings : public Failure {
public:
    using Failure::Failure;
};

// Per-user text values addressed by application, section and key.
class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    // The stored text (which may be empty), or nothing when the key is absent. Throws UnreadableSettings when the
    // store cannot be read, Failure when this one value cannot.
    virtual std::optional<QString> read(const QString& application, const QString& section, const QString& key) = 0;
    // Creates or overwrites the key; the value is on disk when this returns. Throws Failure when it is not.
    virtual void write(const QString& application, const QString& section, const QString& key,
                       const QString& value) = 0;
};
