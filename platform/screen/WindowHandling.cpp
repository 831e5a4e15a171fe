#include "platform/screen/WindowHandling.h"

#include <QWidget>
#include <QWindow>

void WindowHandling::hideShownWindow(QWidget& window)
{
    window.hide();
}

void WindowHandling::setTopmost(QWidget& window, bool topmost)
{
    Qt::WindowFlags flags = window.windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, topmost);
    // setWindowFlags() would destroy and re-create the native window; these two only change its hints.
    window.overrideWindowFlags(flags);
    if (QWindow* handle = window.windowHandle()) {
        handle->setFlags(flags);
    }
    if (topmost) {
        window.raise();
    }
}
