#include "platform/screen/Screens.h"

#include "platform/screen/portal/PortalScreen.h"
#include "platform/screen/qt/QtScreen.h"
#include "platform/screen/x11/XcbScreen.h"

#include <QGuiApplication>

namespace {

// A Wayland session shows X11 clients through XWayland, whose root window holds only those clients: there the
// desktop portal is the one way to the whole screen, whichever platform the toolkit runs on.
bool isWaylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

} // namespace

std::unique_ptr<ScreenService> createScreenService()
{
    if (isWaylandSession()) {
        return std::make_unique<PortalScreen>();
    }
    // The toolkit's own connection: the display that its windows are on (also when named with -display), and
    // one order for hiding, mapping and grabbing.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11 && x11->connection()) {
        return std::make_unique<XcbScreen>(x11->connection());
    }
    return std::make_unique<QtScreen>();
}
