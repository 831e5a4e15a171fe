#include "platform/Screens.h"

#include "platform/QtScreen.h"
#include "platform/XcbScreen.h"

#include <QGuiApplication>

std::unique_ptr<ScreenService> createScreenService()
{
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        return std::make_unique<XcbScreen>();
    }
    return std::make_unique<QtScreen>();
}
