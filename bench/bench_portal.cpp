// The desktop portal's screenshot, taken apart: the bare round trip (call to answer, the file written), reading and
// decoding that file (with the program's PNG decoder, and with Qt's reader for comparison), and the whole grab of the
// screen service. Run inside a Wayland session with the portal, e.g. through bench/wayland.py. Arguments: the number
// of timed runs, and optionally a path where a copy of the first picture is kept for bench_decode.
#include "bench/Timing.h"
#include "imaging/modCapture.h"
#include "platform/screen/portal/DesktopLayout.h"
#include "platform/screen/portal/PngDecoder.h"
#include "platform/screen/portal/PortalRequest.h"
#include "platform/screen/portal/PortalScreen.h"

#include <QDBusConnection>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<double> roundTrip;
    std::vector<double> read;
    std::vector<double> decode;
    std::vector<double> decodeWithQt;
    std::vector<double> grab;
    try {
        // Through the portal alone, laid out as the program would see this desktop.
        PortalDesktop desktop;
        desktop.layoutInDevicePixels = layoutInDevicePixels(QDBusConnection::sessionBus());
        PortalScreen screen(QDBusConnection::sessionBus(), std::chrono::seconds(30), std::move(desktop));
        for (int i = 0; i < runs + 1; ++i) {
            QString path;
            const double trip = bench::millisecondsOf([&] {
                path = QUrl(PortalRequest(QDBusConnection::sessionBus(), std::chrono::seconds(30)).run()).toLocalFile();
            });
            QByteArray bytes;
            const double reading = bench::millisecondsOf([&] {
                QFile file(path);
                if (file.open(QIODevice::ReadOnly)) {
                    bytes = file.readAll();
                }
            });
            QImage image;
            const double decoding = bench::millisecondsOf([&] {
                QString error;
                image = PngDecoder::decode(bytes, &error);
            });
            const double decodingWithQt = bench::millisecondsOf([&] { QImage().loadFromData(bytes); });
            QFile::remove(path);
            const double whole = bench::millisecondsOf([&] { GrabScreen(screen); });
            // GNOME Shell refuses the next request until it has answered this one, after its flash.
            screen.settle();
            if (i == 0) {
                if (argc > 2) {
                    QFile kept(QString::fromLocal8Bit(argv[2]));
                    if (!kept.open(QIODevice::WriteOnly) || kept.write(bytes) != bytes.size()) {
                        std::fprintf(stderr, "cannot keep the picture in %s\n", argv[2]);
                        return 1;
                    }
                }
                std::printf("picture %d x %d, format %d, file %lld bytes\n", image.width(), image.height(),
                            static_cast<int>(image.format()), static_cast<long long>(bytes.size()));
                continue; // the first run starts the backend
            }
            roundTrip.push_back(trip);
            read.push_back(reading);
            decode.push_back(decoding);
            decodeWithQt.push_back(decodingWithQt);
            grab.push_back(whole);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("portal round trip (call to answer, file written): %.1f ms\n", bench::medianOf(roundTrip));
    std::printf("reading the file: %.1f ms\n", bench::medianOf(read));
    std::printf("decoding it: %.1f ms (Qt's reader: %.1f ms)\n", bench::medianOf(decode),
                bench::medianOf(decodeWithQt));
    std::printf("GrabScreen through the portal (all of it): %.1f ms\n", bench::medianOf(grab));
    return 0;
}
