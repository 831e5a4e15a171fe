#pragma once

#include "platform/Services.h"
#include "platform/dialogs/QtDialogs.h"
#include "platform/process/SystemServices.h"
#include "platform/screen/ScreenService.h"
#include "platform/settings/QSettingsBackend.h"

#include <memory>

// The real services, built once at start-up and handed down by reference. Needs a QApplication.
class RealServices {
public:
    explicit RealServices(const QString& programFolder);
    RealServices(const RealServices&) = delete;
    RealServices& operator=(const RealServices&) = delete;

    Services& services() { return m_services; }

private:
    QtDialogs m_dialogs;
    SystemClipboard m_clipboard;
    DesktopShell m_shell;
    QSettingsBackend m_settings;
    std::unique_ptr<ScreenService> m_screen;
    SystemClock m_clock;
    SystemRandom m_random;
    Services m_services;
};
