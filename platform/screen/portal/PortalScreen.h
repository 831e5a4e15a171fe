#pragma once

#include "platform/screen/OutputSource.h"
#include "platform/screen/ScreenService.h"
#include "platform/screen/qt/QtScreen.h"

#include <QDBusConnection>
#include <QImage>
#include <QRect>
#include <QSize>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class PortalRequest;
class QScreen;

// What start-up found out about the desktop that a PortalScreen reads, and how the program's windows are handled on it.
struct PortalDesktop {
    // Wayland's own (WaylandWindows), or X11 windows under XWayland; null: Wayland's without a connection, which
    // only hides them.
    std::unique_ptr<WindowHandling> windows;
    // Under XWayland, the X root window's size, which is the true logical size of the desktop; empty elsewhere.
    std::function<QSize()> rootSize;
    // Whether the desktop lays its screens out in device pixels (see layoutInDevicePixels() in DesktopLayout.h).
    bool layoutInDevicePixels = false;
    // The desktop's own source of the primary output's picture, asked first; null where the desktop has none.
    std::unique_ptr<OutputSource> direct;
};

// The primary screen on Wayland (and under XWayland): through the desktop's own source of an output's picture where it
// has one and it answers (wlroots' screencopy, KWin's screenshot service), else through the desktop portal's
// Screenshot interface, which every Wayland desktop has. There each grab asks the portal for a non-interactive
// screenshot of the whole desktop, waits for its answer as long as a person may need to allow it (but no longer than
// the portal stays on the bus), reads the file it names once into 32-bit BGRX, removes that file wherever the portal
// saved it when it is the one made for this request, and cuts the primary screen out of it. Metrics are the toolkit's,
// as for QtScreen, but for GNOME's layout in device pixels. Needs a QGuiApplication.
class PortalScreen final : public ScreenService {
public:
    // `bus` is the session bus; tests hand in a private one. Past `answerLimit` without an answer the grab fails:
    // long enough for a person to answer the desktop's question whether screenshots may be taken.
    explicit PortalScreen(const QDBusConnection& bus = QDBusConnection::sessionBus(),
                          std::chrono::milliseconds answerLimit = std::chrono::seconds(30), PortalDesktop desktop = {});
    ~PortalScreen() override;

    ScreenMetrics metrics() override;
    ScreenPixels grabArea(int left, int top, int width, int height) override;
    // The desktop's own source made ready, the portal woken and the decoder's code brought in, once.
    void warmUp() override;
    // Waits, at most a second, until the portal has answered a request whose picture was taken before its answer
    // (GNOME's, during its flash): the desktop refuses another while it works on one. Every grab does so first.
    void settle();

private:
    // The primary screen as the last picture showed it, for the layout of screens it was taken under.
    struct PictureGeometry {
        QRect layout;  // every screen, in the toolkit's logical pixels
        QRect primary; // the primary screen, likewise
        QSize pixels;  // the primary screen's pixels in the picture
        QSize whole;   // the whole picture's
        double scaleX = 1.0;
        double scaleY = 1.0;
    };

    QSize rootSize() const;
    // Whether the desktop is GNOME Shell, whose screenshot service writes its picture well before it answers.
    bool shellAnswersLate();
    // The whole desktop as the portal gives it, decoded; `path` names its file in reports.
    QImage portalPicture(const QSize& root, QString* path);
    // The primary screen as the desktop's own source gives it, or nothing where there is none or it fails.
    std::optional<QImage> directPicture(const QScreen& primary);

    QDBusConnection m_bus;
    std::chrono::milliseconds m_answerLimit;
    std::function<QSize()> m_rootSize;
    bool m_layoutInDevicePixels;
    std::unique_ptr<OutputSource> m_direct;
    QtScreen m_toolkit;
    std::optional<PictureGeometry> m_picture;
    std::optional<bool> m_shellAnswersLate;
    std::unique_ptr<PortalRequest> m_unanswered;
    bool m_warm = false;
};
