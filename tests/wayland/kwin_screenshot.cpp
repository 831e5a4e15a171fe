// Takes KWin's picture of a screen the way the program can, through KWinScreenShot, for the KDE rows of the Wayland
// suite and for timing it against the portal. Usage: kwin_screenshot PPM_PATH [RUNS [OUTPUT]]: writes the last picture
// as PPM, prints each run's round trip in milliseconds ("ms 12.3"); on a refusal prints the report's text and exits 1.
#include "platform/errors/Failure.h"
#include "platform/screen/portal/KWinScreenShot.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kwin_screenshot PPM_PATH [RUNS [OUTPUT]]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    const QString output = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    QImage picture;
    try {
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            picture = KWinScreenShot::capture(output);
            std::printf("ms %.1f\n", static_cast<double>(timer.nsecsElapsed()) / 1e6);
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (picture.format() != QImage::Format_RGB32 || !file.open(QIODevice::WriteOnly) ||
        !picture.convertToFormat(QImage::Format_RGB888).save(&file, "PPM")) {
        std::fprintf(stderr, "kwin_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
