#include "platform/process/DisplayCheck.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

struct DisplayChoice {
    bool isX11 = false;
    QByteArray name; // empty: no display named anywhere
};

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

DisplayChoice chosenDisplay(int argc, char* argv[])
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

// What xcb_connect found, or nothing when the server did not answer in time. The attempt goes on in a thread of its
// own, which a server that never answers keeps for the life of the process.
std::optional<int> tryConnect(const QByteArray& name, std::chrono::milliseconds timeLimit)
{
    std::promise<int> outcome;
    std::future<int> result = outcome.get_future();
    std::thread([display = std::string(name.constData()), outcome = std::move(outcome)]() mutable {
        int screen = 0;
        xcb_connection_t* c = xcb_connect(display.c_str(), &screen);
        const int error = xcb_connection_has_error(c);
        xcb_disconnect(c);
        outcome.set_value(error);
    }).detach();
    if (result.wait_for(timeLimit) != std::future_status::ready) {
        return std::nullopt;
    }
    return result.get();
}

} // namespace

QString unusableDisplayReason(int argc, char* argv[], std::chrono::milliseconds timeLimit)
{
    const DisplayChoice choice = chosenDisplay(argc, argv);
    if (!choice.isX11) {
        return {};
    }
    if (choice.name.isEmpty()) {
        return QStringLiteral("there is no display to show the window on: DISPLAY is not set and no Wayland desktop "
                              "answers (start it from a desktop session, or name a display with -display)");
    }
    const QString name = QString::fromLocal8Bit(choice.name);
    const std::optional<int> error = tryConnect(choice.name, timeLimit);
    if (!error) {
        return QStringLiteral("the X display \"%1\" did not answer within %2 seconds")
            .arg(name)
            .arg(static_cast<double>(timeLimit.count()) / 1000.0);
    }
    switch (*error) {
    case 0:
        return {};
    case XCB_CONN_CLOSED_PARSE_ERR:
        return QStringLiteral("\"%1\" is not the name of an X display (one looks like :0)").arg(name);
    case XCB_CONN_CLOSED_INVALID_SCREEN:
        return QStringLiteral("the X display \"%1\" has no such screen").arg(name);
    default:
        return QStringLiteral("cannot open the X display \"%1\": no X server runs there, or it refused the connection")
            .arg(name);
    }
}
