// The primary output's frame as the compositor copies it, unscaled, written to standard output as binary PPM: the
// wlroots rows' picture of the screen in the output's own pixels, where grim resamples at fractional scales (it lays
// outputs out in rounded logical pixels). With "--time N" it copies N frames instead and prints each copy's time in
// milliseconds, one a line: the bare screencopy of one frame that the benchmark measures the program's grab against.
#include "platform/screen/wayland/WaylandHide.h"
#include "platform/screen/wlroots/WlrScreencopy.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    auto source = WlrScreencopy::create(toolkitWaylandDisplay());
    if (!source || !QGuiApplication::primaryScreen()) {
        std::fputs("output_frame: the compositor offers no screencopy\n", stderr);
        return 1;
    }
    const QScreen& screen = *QGuiApplication::primaryScreen();
    try {
        if (argc == 3 && std::strcmp(argv[1], "--time") == 0) {
            source->warmUp(screen);
            for (int i = std::atoi(argv[2]); i > 0; --i) {
                QElapsedTimer timer;
                timer.start();
                source->picture(screen);
                std::printf("%.3f\n", static_cast<double>(timer.nsecsElapsed()) / 1e6);
            }
            return 0;
        }
        const QImage frame = source->picture(screen).convertToFormat(QImage::Format_RGB888);
        std::printf("P6 %d %d 255\n", frame.width(), frame.height());
        for (int y = 0; y < frame.height(); ++y) {
            std::fwrite(frame.constScanLine(y), 3, static_cast<size_t>(frame.width()), stdout);
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception&) {
        std::fputs("output_frame: the compositor did not copy the frame\n", stderr);
        return 1;
    }
}
