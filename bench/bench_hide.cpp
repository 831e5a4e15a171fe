// What "hidden = gone from the screen" costs before the grab: a window of the main window's size is hidden with the
// screen service's hideWindow() and with a plain hide(), again and again, on the running display, and the whole screen
// at the return is set beside the screen a second later: a difference is a window that a fade still showed. Run it
// through bench/run.sh, which runs it without and with a compositing manager that fades closing windows out. Usage:
// bench_hide [runs]   (default 21)

#include "platform/screen/WindowingSystem.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Shows the window and lets it settle: mapped, painted and (under a compositor) faded in.
void showAndSettle(QWidget& window)
{
    window.show();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) && Clock::now() < deadline) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    const auto settled = Clock::now() + std::chrono::milliseconds(700);
    while (Clock::now() < settled) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

QImage screenAt(const QRect& area)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

// Times each hide, and counts the hides after which the screen still changed: a fade that had not ended when the
// hide returned.
void timeHides(const char* what, QWidget& window, int runs, const std::function<void()>& hide)
{
    std::vector<double> times;
    int stillChanging = 0;
    for (int i = 0; i < runs; ++i) {
        showAndSettle(window);
        const QRect area = QGuiApplication::primaryScreen()->geometry();
        const auto start = Clock::now();
        hide();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const QImage atReturn = screenAt(area);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        stillChanging += screenAt(area) != atReturn ? 1 : 0;
        QApplication::processEvents();
    }
    std::sort(times.begin(), times.end());
    std::printf("  %-18s median %8.3f ms   min %8.3f ms   max %8.3f ms   screen still changing after %d of %d\n", what,
                times[times.size() / 2], times.front(), times.back(), stillChanging, runs);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    QLabel window(QStringLiteral("A window of the main window's size, with something to fade out"));
    window.setAlignment(Qt::AlignCenter);
    window.setStyleSheet(QStringLiteral("background: white; color: black; font-size: 20px"));
    window.setFixedSize(536, 216);
    timeHides("hide()", window, runs, [&] { window.hide(); });
    const std::unique_ptr<ScreenService> screen = createScreenService();
    timeHides("hideWindow()", window, runs, [&] { screen->hideWindow(window); });
    return 0;
}
