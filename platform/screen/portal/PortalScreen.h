#pragma once

#include "platform/screen/ScreenService.h"
#include "platform/screen/qt/QtScreen.h"

#include <QDBusConnection>
#include <QRect>
#include <QSize>

// The primary screen on Wayland (and under XWayland), through the desktop portal's Screenshot interface. Each grab
// asks the portal for a non-interactive screenshot of the whole desktop, waits for its answer as long as a person may
// need to allow it (but no longer than the portal stays on the bus), reads the file it names once into 32-bit BGRX,
// removes that file when the portal made it for this request in a temporary folder, and cuts the primary screen out
// of it. Metrics are the toolkit's, as for QtScreen. Needs a QGuiApplication.
class PortalScreen final : public ScreenService {
public:
    // `bus` is the session bus; tests hand in a private one.
    explicit PortalScreen(const QDBusConnection& bus = QDBusConnection::sessionBus());

    ScreenMetrics metrics() override;
    ScreenPixels grabArea(int left, int top, int width, int height) override;

private:
    QDBusConnection m_bus;
    QtScreen m_toolkit;
};

// Where the primary screen lies in a picture of the whole desktop: `desktop` and `primary` in the toolkit's logical
// pixels, `picture` the size the portal delivered. The picture's own scale (device pixels per logical pixel, as the
// compositor chose it) is read off its size, so that every output scale maps onto whole device pixels.
QRect primaryInDesktopPicture(const QRect& desktop, const QRect& primary, const QSize& picture);
