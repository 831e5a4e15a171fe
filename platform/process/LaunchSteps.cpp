#include "platform/process/LaunchSteps.h"

#include <QLoggingCategory>

#include <ctime>

namespace {
Q_LOGGING_CATEGORY(launchSteps, "quosh.launch", QtWarningMsg)
}

void noteLaunchStep(const char* step)
{
    if (!launchSteps().isDebugEnabled()) {
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double milliseconds = static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
    qCDebug(launchSteps, "%.3f %s", milliseconds, step);
}
