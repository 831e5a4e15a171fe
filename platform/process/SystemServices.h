#pragma once

#include "platform/dialogs/Clipboard.h"
#include "platform/dialogs/Shell.h"
#include "platform/process/Clock.h"

#include <random>

// The real clipboard, shell, clock and random draw.
class SystemClipboard final : public Clipboard {
public:
    void clear() override;
};

class DesktopShell final : public Shell {
public:
    QString desktopFolder() override;
    void openUrl(const QString& url) override;
};

class SystemClock final : public Clock {
public:
    QDateTime now() override;
    int doubleClickInterval() override;
};

class SystemRandom final : public RandomSource {
public:
    void seed(double secondsSinceMidnight) override;
    double nextFraction() override;

private:
    std::mt19937 m_engine{std::random_device{}()};
};
