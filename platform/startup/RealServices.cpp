#include "platform/startup/RealServices.h"

#include "platform/screen/WindowingSystem.h"

RealServices::RealServices(const QString& programFolder)
    : m_screen(createScreenService())
    , m_services{m_dialogs, m_clipboard, m_shell, m_settings, *m_screen, m_clock, m_random, programFolder}
{}
