#include "platform/screen/WindowingSystem.h"

#include "platform/screen/kwin/KWinScreenShot.h"
#include "platform/screen/portal/DesktopLayout.h"
#include "platform/screen/portal/PortalScreen.h"
#include "platform/screen/qt/QtScreen.h"
#include "platform/screen/wayland/WaylandHide.h"
#include "platform/screen/wayland/WaylandWindows.h"
#include "platform/screen/wlroots/WlrScreencopy.h"
#include "platform/screen/x11/RootWindow.h"
#include "platform/screen/x11/SyncRepaint.h"
#include "platform/screen/x11/X11Windows.h"
#include "platform/screen/x11/XcbScreen.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The argument as the toolkit reads it: "--name" counts as "-name".
bool isArgument(const char* arg, const char* name)
{
    return std::strcmp(arg, name) == 0 || (arg[0] == '-' && std::strcmp(arg + 1, name) == 0);
}

// Whether a Wayland compositor listens where the session says: the toolkit's Wayland platform fails without one and
// the next platform in its list is tried.
bool isWaylandReachable()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) {
        return true; // a connection handed over by the parent
    }
    QByteArray socketPath =
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? QByteArray("wayland-0") : qgetenv("WAYLAND_DISPLAY");
    if (!socketPath.startsWith('/')) {
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            return false;
        }
        socketPath = qgetenv("XDG_RUNTIME_DIR") + '/' + socketPath;
    }
    sockaddr_un address{};
    if (socketPath.size() >= qsizetype(sizeof address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.constData(), static_cast<std::size_t>(socketPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // A Unix socket's connect answers at once: refused, missing, or taken into the listener's queue.
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// The platforms the toolkit tries, in its order: "-platform LIST", else QT_QPA_PLATFORM, else X11 when a display is
// named with -display (the program's start-up sends it there), else Wayland first when the session is one
// (WAYLAND_DISPLAY or XDG_SESSION_TYPE say so), then X11.
QByteArray platformList(int argc, char* argv[])
{
    QByteArray list;
    bool platformNamed = false;
    bool displayNamed = false;
    for (int i = 1; i < argc; ++i) {
        displayNamed = displayNamed || isArgument(argv[i], "-display");
        if (isArgument(argv[i], "-platform")) {
            platformNamed = true;
            if (i + 1 < argc) {
                list = argv[++i];
            }
        }
    }
    if (!list.isEmpty()) {
        return list;
    }
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return qgetenv("QT_QPA_PLATFORM");
    }
    if (displayNamed && !platformNamed) {
        return "xcb";
    }
    const bool isWaylandSession =
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
    return isWaylandSession ? QByteArray("wayland;xcb") : QByteArray("xcb");
}

// XWayland names its outputs XWAYLAND0, XWAYLAND1, ..., and the toolkit names its screens after them. (The XWAYLAND
// extension that would say so directly is not in the XWayland of Debian 12.)
bool isXWayland()
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(),
                       [](const QScreen* screen) { return screen->name().startsWith(QLatin1String("XWAYLAND")); });
}

// The desktop's own source of the primary output's picture, which the portal stands behind: the compositor's frame
// where it offers one to any program (wlroots compositors), else KWin's, which answers only an installed program.
// Qt on Wayland names its screens after KWin's outputs (`outputsByName`); XWayland's names are its own.
std::unique_ptr<OutputSource> directSource(std::unique_ptr<WlrScreencopy> screencopy, bool outputsByName)
{
    if (screencopy) {
        return screencopy;
    }
    return std::make_unique<KWinScreenShot>(QDBusConnection::sessionBus(), outputsByName);
}

} // namespace

ToolkitPlatform toolkitPlatform(int argc, char* argv[])
{
    // The X11 platform takes "-display NAME" (the last one given); an empty or missing NAME leaves $DISPLAY in force.
    QByteArray named;
    for (int i = 1; i + 1 < argc; ++i) {
        if (isArgument(argv[i], "-display")) {
            named = argv[++i];
        }
    }
    const QList<QByteArray> platforms = platformList(argc, argv).split(';');
    for (const QByteArray& platform : platforms) {
        const QByteArray name = platform.split(':').first().trimmed().toLower();
        if (name.isEmpty()) {
            continue;
        }
        if (name == "xcb") {
            return {true, named.isEmpty() ? qgetenv("DISPLAY") : named};
        }
        if (!name.startsWith("wayland") || isWaylandReachable()) {
            return {}; // another platform than X11 takes the window, or the toolkit says what it lacks
        }
    }
    return {};
}

std::unique_ptr<ScreenService> createScreenService()
{
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        wl_display* display = toolkitWaylandDisplay();
        PortalDesktop desktop;
        desktop.windows = std::make_unique<WaylandWindows>(display);
        desktop.direct = directSource(WlrScreencopy::create(display), true);
        desktop.layoutInDevicePixels = layoutInDevicePixels(QDBusConnection::sessionBus());
        return std::make_unique<PortalScreen>(QDBusConnection::sessionBus(), std::chrono::seconds(30),
                                              std::move(desktop));
    }
    // The toolkit's own connection: the display that its windows are on (also when named with -display), and
    // one order for hiding, mapping and grabbing.
    xcb_connection_t* x11 = toolkitX11Connection();
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11) {
        answerWindowManagerSync(x11);
        if (isXWayland()) {
            // The compositor is reached over a Wayland connection of our own.
            PortalDesktop desktop;
            desktop.windows = std::make_unique<X11Windows>(x11, X11Windows::Hide::Transparent);
            desktop.rootSize = [x11] { return rootWindowSize(x11); };
            desktop.direct = directSource(WlrScreencopy::connect(), false);
            return std::make_unique<PortalScreen>(QDBusConnection::sessionBus(), std::chrono::seconds(30),
                                                  std::move(desktop));
        }
        return std::make_unique<XcbScreen>(x11);
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
