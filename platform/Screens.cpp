#include "platform/Screens.h"

#include "platform/QtScreen.h"
#include "platform/XcbScreen.h"

#include <QGuiApplication>

std::unique_ptr<ScreenService> createScreenService()
{
    // The toolkit's own connection: the display that its windows are on (also when named with -display), and
    // one order for hiding, mapping and grabbing.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11 && x11->connection()) {
        return std::make_unique<XcbScreen>(x11->connection());
    }
    return std::make_unique<QtScreen>();
}
