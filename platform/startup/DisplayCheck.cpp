#include "platform/startup/DisplayCheck.h"

#include "platform/screen/WindowingSystem.h"

#include <QByteArray>
#include <QGuiApplication>

#include <future>
#include <optional>
#include <string>
#include <thread>

#include <xcb/xcb.h>

namespace {

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
    const ToolkitPlatform choice = toolkitPlatform(argc, argv);
    if (!choice.isX11) {
        return {};
    }
    if (choice.display.isEmpty()) {
        return QStringLiteral("there is no display to show the window on: DISPLAY is not set and no Wayland desktop "
                              "answers (start it from a desktop session, or name a display with -display)");
    }
    const QString name = QString::fromLocal8Bit(choice.display);
    const std::optional<int> error = tryConnect(choice.display, timeLimit);
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

QString nothingToCaptureReason()
{
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
        return {};
    }
    return QStringLiteral("there is no screen to capture: the toolkit's platform \"%1\" shows nothing (leave -platform "
                          "and QT_QPA_PLATFORM out, or name a display with -display)")
        .arg(platform);
}
