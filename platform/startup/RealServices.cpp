#include "platform/startup/RealServices.h"

#include "platform/screen/WindowingSystem.h"

RealServices::RealServices(const QString& programFolder)
    : m_screen(createScreenService())
    , m_services{m_dialogs, m_clipboard, m_shell, m_settings, *m_screen, m_clock, m_random, programFolder}
{
    // A box leaves the screen as the main window does before a capture: one started right after it does not hold it.
    m_dialogs.closeBoxesWith([this](QWidget& window) { m_screen->hideWindow(window); });
}
