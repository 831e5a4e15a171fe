// Speed of the screen grab on the running X display, side by side with what bounds it (a memcpy of the same
// bytes), the plain GetImage request, and Qt's own screen grab. Run it through bench/run.sh.
#include "bench/Timing.h"
#include "imaging/modCapture.h"
#include "platform/screen/WindowingSystem.h"
#include "platform/screen/x11/SharedSegment.h"
#include "platform/screen/x11/XcbScreen.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace {

// Median of `runs` timed runs after two untimed ones.
double median(int runs, const std::function<void()>& work)
{
    work();
    work();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(bench::millisecondsOf(work));
    return bench::medianOf(times);
}

// The resident set now, in MiB (the second field of /proc/self/statm, in pages).
double residentMiB()
{
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%*d %ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return static_cast<double>(pages) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;

    // The first grab in a process: making the screen service (connecting, asking for the extensions) and the
    // first GrabScreen (a new segment, attached to the server, its pages faulted in).
    std::unique_ptr<ScreenService> screen;
    const double connectMs = bench::millisecondsOf([&] { screen = createScreenService(); });
    std::unique_ptr<Picture> picture;
    const double firstMs = bench::millisecondsOf([&] { picture = GrabScreen(*screen); });
    const int width = picture->width();
    const int height = picture->height();
    const std::size_t bytes = static_cast<std::size_t>(picture->bitmap().stride()) * static_cast<std::size_t>(height);
    picture.reset();

    // The first grab again, in a second screen service readied beforehand as the main window readies it when the
    // pointer enters "Start Capturing"; the memory the ready segment holds, and what is left once it has lain
    // unused for its lifetime (shortened here from the program's 30 s).
    std::unique_ptr<ScreenService> readied = createScreenService();
    const std::chrono::milliseconds lifetime(300);
    if (auto* readiedXcb = dynamic_cast<XcbScreen*>(readied.get()))
        readiedXcb->setSpareLifetime(lifetime);
    const double unreadyMiB = residentMiB();
    const double prepareMs = bench::millisecondsOf([&] { readied->prepare(); });
    const double readyMiB = residentMiB();
    const double readiedFirstMs = bench::millisecondsOf([&] { picture = GrabScreen(*readied); });
    picture.reset();
    {
        QEventLoop idle;
        QTimer::singleShot(lifetime * 2, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const double idleMiB = residentMiB();
    readied.reset();

    // What the overlay does on every capture: grab, keep the picture for a while, let it go.
    const double grabMs = median(runs, [&] {
        picture = GrabScreen(*screen);
        picture.reset();
    });

    // The first grab of a fresh screen service (a fresh segment each time), without and with prepare() before it;
    // a median over several services, where the first grab in the process above is one sample.
    const auto firstGrabOfFreshService = [&](bool prepared) {
        std::vector<double> times;
        for (int i = 0; i < 7; ++i) {
            {
                const std::unique_ptr<ScreenService> fresh = createScreenService();
                if (prepared)
                    fresh->prepare();
                times.push_back(bench::millisecondsOf([&] { picture = GrabScreen(*fresh); }));
                picture.reset();
            }
            // A round trip, so that the server has let the last segment go before the next service starts.
            screen->metrics();
        }
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    const double freshMs = firstGrabOfFreshService(false);
    const double preparedMs = firstGrabOfFreshService(true);

    XcbScreen plainScreen(XcbScreen::Transfer::GetImageOnly);
    const double plainGrabMs = median(runs, [&] {
        picture = GrabScreen(plainScreen);
        picture.reset();
    });

    std::vector<std::uint8_t> source(bytes, 1);
    std::vector<std::uint8_t> target(bytes, 2);
    const double memcpyMs = median(runs, [&] {
        std::memcpy(target.data(), source.data(), bytes);
        source[bytes / 2] = target[bytes / 3]; // keeps the copy from being optimised away
    });

    const std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, nullptr));
    const xcb_screen_t* root = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
    const QRect primary = screen->metrics().deviceGeometry;
    const double getImageMs = median(runs, [&] {
        const std::unique_ptr<xcb_get_image_reply_t, FreeDeleter> reply(xcb_get_image_reply(
            connection.get(),
            xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root->root,
                          static_cast<std::int16_t>(primary.x()), static_cast<std::int16_t>(primary.y()),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
            nullptr));
        if (!reply)
            std::fprintf(stderr, "GetImage failed\n");
    });

    // The bare ShmGetImage into an attached segment: what the X server itself takes to copy the screen out, the
    // floor of any grab through shared memory.
    double shmGetImageMs = 0;
    if (const std::unique_ptr<SharedSegment> segment = SharedSegment::create(bytes)) {
        const xcb_shm_seg_t id = xcb_generate_id(connection.get());
        xcb_shm_attach(connection.get(), id, static_cast<std::uint32_t>(segment->id()), 0);
        shmGetImageMs = median(runs, [&] {
            const std::unique_ptr<xcb_shm_get_image_reply_t, FreeDeleter> reply(xcb_shm_get_image_reply(
                connection.get(),
                xcb_shm_get_image(connection.get(), root->root, static_cast<std::int16_t>(primary.x()),
                                  static_cast<std::int16_t>(primary.y()), static_cast<std::uint16_t>(width),
                                  static_cast<std::uint16_t>(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, id, 0),
                nullptr));
            if (!reply)
                std::fprintf(stderr, "ShmGetImage failed\n");
        });
        xcb_shm_detach(connection.get(), id);
        xcb_flush(connection.get());
    }

    QScreen* qscreen = QGuiApplication::primaryScreen();
    const double qtGrabMs = median(runs, [&] {
        const QPixmap pixmap = qscreen->grabWindow(0);
        if (pixmap.isNull())
            std::fprintf(stderr, "grabWindow failed\n");
    });

    const auto* xcbScreen = dynamic_cast<const XcbScreen*>(screen.get());
    std::printf("screen %dx%d, %zu bytes a grab, %s, median of %d runs\n", width, height, bytes,
                xcbScreen ? (xcbScreen->isUsingSharedMemory() ? "xcb with MIT-SHM" : "xcb without MIT-SHM") : "Qt grab",
                runs);
    std::printf("  %-34s %9s %10s\n", "", "ms", "x memcpy");
    const auto row = [&](const char* name, double ms) {
        std::printf("  %-34s %9.3f %10.2f\n", name, ms, ms / memcpyMs);
    };
    row("memcpy of the same bytes", memcpyMs);
    row("GrabScreen, repeated", grabMs);
    row("GrabScreen over GetImage, repeated", plainGrabMs);
    row("xcb_shm_get_image alone", shmGetImageMs);
    row("xcb_get_image alone", getImageMs);
    row("QScreen::grabWindow", qtGrabMs);
    row("first GrabScreen in the process", firstMs);
    row("first GrabScreen after prepare()", readiedFirstMs);
    row("prepare() (nobody waits for it)", prepareMs);
    row("fresh service: first GrabScreen", freshMs);
    row("fresh service: after prepare()", preparedMs);
    row("making the screen service", connectMs);
    std::printf("  QScreen::grabWindow / GrabScreen: %.1fx; GrabScreen / bare ShmGetImage: %.2fx\n", qtGrabMs / grabMs,
                grabMs / shmGetImageMs);
    std::printf("  first GrabScreen / repeated: %.2fx without prepare(), %.2fx after it; over fresh services (median "
                "of 7): %.2fx without, %.2fx after it (goal <= 3x)\n",
                firstMs / grabMs, readiedFirstMs / grabMs, freshMs / grabMs, preparedMs / grabMs);
    std::printf("  resident: %.1f MiB before prepare(), %.1f MiB with the segment ready, %.1f MiB once it has lain "
                "unused for its lifetime\n",
                unreadyMiB, readyMiB, idleMiB);
    return 0;
}
