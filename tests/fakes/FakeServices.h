#pragma once

#include "platform/dialogs/Clipboard.h"
#include "platform/dialogs/Shell.h"
#include "platform/errors/Failure.h"
#include "platform/errors/FaultProbe.h"
#include "platform/process/Clock.h"
#include "platform/settings/SettingsBackend.h"

#include <QMap>
#include <QPair>
#include <QSet>
#include <QStringList>

// A clipboard that stays locked for a number of attempts.
class FakeClipboard final : public Clipboard {
public:
    int lockedAttempts = 0; // attempts that fail before one succeeds; negative: locked for ever
    int attempts = 0;
    void clear() override
    {
        ++attempts;
        if (lockedAttempts < 0 || attempts <= lockedAttempts)
            throw Failure(QStringLiteral("Clipboard locked"));
    }
};

class FakeShell final : public Shell {
public:
    QString desktop = QStringLiteral("/home/user/Desktop");
    bool desktopFails = false;
    bool openFails = false;
    QStringList opened;
    QString desktopFolder() override
    {
        if (desktopFails)
            throw Failure(QStringLiteral("No desktop folder"));
        return desktop;
    }
    void openUrl(const QString& url) override
    {
        if (openFails)
            throw Failure(QStringLiteral("Cannot start the browser"));
        opened.append(url);
    }
};

class FakeClock final : public Clock {
public:
    QDateTime time = QDateTime(QDate(2026, 12, 6), QTime(16, 49, 54));
    QDateTime now() override { return time; }
    int doubleClick = 400; // milliseconds
    int doubleClickInterval() override { return doubleClick; }
};

class FakeRandom final : public RandomSource {
public:
    double fraction = 0.5;
    double seededWith = -1;
    void seed(double secondsSinceMidnight) override { seededWith = secondsSinceMidnight; }
    double nextFraction() override { return fraction; }
};

// A settings store in memory, keyed "application/section/key".
class FakeSettings final : public SettingsBackend {
public:
    QMap<QString, QString> values;
    QStringList writes; // "key=value" in order
    bool writeFails = false;
    QString readFailure; // not empty: every read throws UnreadableSettings with this text
    std::optional<QString> read(const QString& application, const QString& section, const QString& key) override
    {
        if (!readFailure.isEmpty())
            throw UnreadableSettings(readFailure);
        const QString path = application + QLatin1Char('/') + section + QLatin1Char('/') + key;
        if (!values.contains(path))
            return std::nullopt;
        return values.value(path);
    }
    void write(const QString& application, const QString& section, const QString& key, const QString& value) override
    {
        if (writeFails)
            throw Failure(QStringLiteral("Cannot write the settings"));
        values.insert(application + QLatin1Char('/') + section + QLatin1Char('/') + key, value);
        writes.append(key + QLatin1Char('=') + value);
    }
};

// Makes chosen steps of chosen handlers fail, and records every step that ran.
class FakeProbe final : public FaultProbe {
public:
    QSet<QPair<QString, int>> failing; // (location, line)
    QList<QPair<QString, int>> steps;
    QString description = QStringLiteral("Injected failure");
    void beforeStep(const QString& location, int line) override
    {
        steps.append({location, line});
        if (failing.contains({location, line}))
            throw Failure(description);
    }
};
