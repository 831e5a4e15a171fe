#include "platform/screen/Screens.h"

#include "platform/screen/portal/PortalScreen.h"
#include "platform/screen/qt/QtScreen.h"
#include "platform/screen/x11/RootWindow.h"
#include "platform/screen/x11/XcbScreen.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstring>

namespace {

bool isArgument(const char* arg, const char* name)
{
    // Qt takes both "-display" and "--display".
    return std::strcmp(arg, name) == 0 || (arg[0] == '-' && std::strcmp(arg + 1, name) == 0);
}

} // namespace

// XWayland names its outputs XWAYLAND0, XWAYLAND1, ..., and the toolkit names its screens after them. (The XWAYLAND
// extension that would say so directly is not in the XWayland of Debian 12.)
bool isXWayland()
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(),
                       [](const QScreen* screen) { return screen->name().startsWith(QLatin1String("XWAYLAND")); });
}

std::unique_ptr<ScreenService> createScreenService()
{
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return std::make_unique<PortalScreen>();
    }
    // The toolkit's own connection: the display that its windows are on (also when named with -display), and
    // one order for hiding, mapping and grabbing.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11 && x11->connection()) {
        if (isXWayland()) {
            return std::make_unique<PortalScreen>(
                QDBusConnection::sessionBus(), std::chrono::seconds(30),
                [connection = x11->connection()] { return rootWindowSize(connection); });
        }
        return std::make_unique<XcbScreen>(x11->connection());
    }
    return std::make_unique<QtScreen>();
}

void followNamedDisplay(int argc, char* argv[])
{
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        if (isArgument(argv[i], "-platform")) {
            return;
        }
        named = named || isArgument(argv[i], "-display");
    }
    if (named && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}
