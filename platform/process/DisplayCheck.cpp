#include "platform/process/DisplayCheck.h"

#include <QByteArray>

#include <cstring>

QString missingDisplayReason(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-display") == 0 || std::strcmp(arg, "--display") == 0 ||
            std::strcmp(arg, "-platform") == 0 || std::strcmp(arg, "--platform") == 0) {
            return {};
        }
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool x11Asked = platform.startsWith("xcb");
    if ((!platform.isEmpty() && !x11Asked) || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        (!x11Asked && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))) {
        return {};
    }
    return QStringLiteral("there is no display to show the window on: neither DISPLAY nor WAYLAND_DISPLAY is set "
                          "(start it from a desktop session, or name a display with -display)");
}
