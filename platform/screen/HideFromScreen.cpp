#include "platform/screen/HideFromScreen.h"

#include "platform/screen/x11/X11Hide.h"

#include <QGuiApplication>
#include <QWidget>

void hideFromScreen(QWidget& window)
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection() || !window.isVisible() || !window.isWindow()) {
        window.hide();
        return;
    }
    hideX11Window(window, x11->connection());
}
