// Start-up time and idle memory of the tool, side by side with two plain Qt Widgets programs: one that shows the
// same controls as the main window and one that shows an empty window.
//
// Usage: bench_startup TOOL CONTROLS MINIMAL [RUNS]   (on the display in $DISPLAY, without a window manager)
//
// Each run starts a program and times it from just before the fork, seen from outside the program: to the MapNotify
// of its first top-level window (through the root window), and to the first complete paint of that window. For the
// paint, the bench subscribes to the window's damage as soon as it is mapped and reads the window's pixels after
// each drawing the X server reports; after one second of idling the pixels are read once more, and the paint is
// complete at the first reading from which on the window held that final picture. The same rule holds for every
// program, whatever it draws and in how many steps. The processor time the program had used by then is shown too:
// on a busy machine it varies less than the time on the clock. Then the peak resident set (VmHWM) is read from /proc.
// The tool runs with a fresh home whose settings were written by a first, uncounted run, as on every start but the
// first; the programs take turns so that all see the same machine load.

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto IdleTime = std::chrono::seconds(1);

struct Sample {
    double mapMs = 0;
    double paintMs = NAN;    // NAN: the final picture was never reported as drawn
    double paintCpuMs = NAN; // the program's processor time until then
    long peakKb = 0;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

long peakResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// The processor time the process has used so far, in milliseconds; finer than the clock ticks of /proc/PID/stat.
double processorMs(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = NAN;
    schedstat >> ns;
    return ns / 1e6;
}

std::string makeHome()
{
    char pattern[] = "/tmp/bench_startup-XXXXXX";
    const char* home = mkdtemp(pattern);
    if (!home) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    std::string root(home);
    for (const char* sub : {"/.config", "/Desktop", "/tools"}) {
        mkdir((root + sub).c_str(), 0700);
    }
    // No run may open a web browser.
    const std::string opener = root + "/tools/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nexit 0\n";
    chmod(opener.c_str(), 0755);
    return root;
}

// The window's pixels as one number; what the window shows changes it.
std::size_t pictureHash(xcb_connection_t* connection, xcb_window_t window)
{
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    if (!geometry) {
        return 0;
    }
    const Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width, geometry->height, ~0U),
        nullptr));
    if (!image) {
        return 0;
    }
    const std::string_view pixels(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                                  static_cast<std::size_t>(xcb_get_image_data_length(image.get())));
    return std::hash<std::string_view>{}(pixels) ^ (std::size_t{geometry->width} << 16 | geometry->height);
}

// The next event, or none once `deadline` has passed.
Reply<xcb_generic_event_t> nextEvent(xcb_connection_t* connection, Clock::time_point deadline)
{
    while (true) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            return Reply<xcb_generic_event_t>(event);
        }
        if (xcb_connection_has_error(connection)) {
            std::fprintf(stderr, "the X connection was lost\n");
            std::exit(1);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return nullptr;
        }
        pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
        poll(&descriptor, 1, static_cast<int>(left));
    }
}

double msSince(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// Starts `program`, waits for its first window to be mapped and follows its drawing for one idle second.
Sample runOnce(xcb_connection_t* connection, uint8_t damageEvent, const char* program, const std::string& home)
{
    const Clock::time_point started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string path = home + "/tools:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        setenv("PATH", path.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    Sample sample;
    xcb_window_t window = XCB_NONE;
    while (window == XCB_NONE) {
        const Reply<xcb_generic_event_t> event = nextEvent(connection, Clock::now() + std::chrono::seconds(30));
        if (!event) {
            std::fprintf(stderr, "%s showed no window\n", program);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            std::exit(1);
        }
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event.get());
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY && !map->override_redirect) {
            sample.mapMs = msSince(started, Clock::now());
            window = map->window;
        }
    }

    // Each reading of the pixels after a reported drawing: when it was taken, the program's processor time then, and
    // what the window showed.
    struct Reading {
        Clock::time_point time;
        double processorMs;
        std::size_t picture;
    };
    std::vector<Reading> readings;
    const xcb_damage_damage_t damage = xcb_generate_id(connection);
    xcb_damage_create(connection, damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    // What was drawn before the subscription.
    readings.push_back({Clock::now(), processorMs(pid), pictureHash(connection, window)});
    const Clock::time_point idleEnd = Clock::now() + IdleTime;
    while (const Reply<xcb_generic_event_t> event = nextEvent(connection, idleEnd)) {
        if ((event->response_type & 0x7f) == damageEvent + XCB_DAMAGE_NOTIFY) {
            const Clock::time_point reported = Clock::now();
            xcb_damage_subtract(connection, damage, XCB_NONE, XCB_NONE);
            readings.push_back({reported, processorMs(pid), pictureHash(connection, window)});
        }
    }
    const std::size_t final = pictureHash(connection, window);
    xcb_damage_destroy(connection, damage);
    for (auto reading = readings.rbegin(); reading != readings.rend() && reading->picture == final; ++reading) {
        sample.paintMs = msSince(started, reading->time);
        sample.paintCpuMs = reading->processorMs;
    }
    sample.peakKb = peakResidentKb(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    constexpr int Programs = 3;
    if (argc < 1 + Programs) {
        std::fprintf(stderr, "usage: %s TOOL CONTROLS MINIMAL [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 1 + Programs ? std::max(1, std::atoi(argv[1 + Programs])) : 15;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "cannot connect to the X server\n");
        return 1;
    }
    const xcb_query_extension_reply_t* damageExtension = xcb_get_extension_data(connection, &xcb_damage_id);
    if (!damageExtension || !damageExtension->present) {
        std::fprintf(stderr, "the X server has no DAMAGE extension\n");
        return 1;
    }
    std::free(xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    const char* names[Programs] = {"tool", "same controls", "empty window"};
    std::vector<double> mapMs[Programs];
    std::vector<double> paintMs[Programs];
    std::vector<double> paintCpuMs[Programs];
    std::vector<double> peakKb[Programs];
    std::string homes[Programs];
    for (int p = 0; p < Programs; ++p) {
        homes[p] = makeHome();
        runOnce(connection, damageExtension->first_event, argv[1 + p], homes[p]); // warms the caches, writes settings
    }
    // The programs take turns run by run, each in its own warmed-up home; each turn starts with the next program, so
    // that none always follows the same one.
    for (int i = 0; i < runs; ++i) {
        for (int turn = 0; turn < Programs; ++turn) {
            const int p = (i + turn) % Programs;
            const Sample sample = runOnce(connection, damageExtension->first_event, argv[1 + p], homes[p]);
            mapMs[p].push_back(sample.mapMs);
            peakKb[p].push_back(static_cast<double>(sample.peakKb));
            if (std::isnan(sample.paintMs)) {
                std::fprintf(stderr, "%s: the final picture was not seen drawn in run %d\n", names[p], i + 1);
            } else {
                paintMs[p].push_back(sample.paintMs);
                paintCpuMs[p].push_back(sample.paintCpuMs);
            }
        }
    }
    std::printf("%-14s %11s %13s %17s %20s   (median of %d; to paint min, max)\n", "program", "to map (ms)",
                "to paint (ms)", "CPU to paint (ms)", "idle peak RSS (KiB)", runs);
    for (int p = 0; p < Programs; ++p) {
        if (paintMs[p].empty()) {
            paintMs[p].push_back(NAN);
            paintCpuMs[p].push_back(NAN);
        }
        std::printf("%-14s %11.1f %13.1f %17.1f %20.0f   (%.1f, %.1f)\n", names[p], median(mapMs[p]),
                    median(paintMs[p]), median(paintCpuMs[p]), median(peakKb[p]),
                    *std::min_element(paintMs[p].begin(), paintMs[p].end()),
                    *std::max_element(paintMs[p].begin(), paintMs[p].end()));
    }
    for (int p = 1; p < Programs; ++p) {
        std::printf("tool / %s: to map %.2f, to paint %.2f, CPU to paint %.2f, memory %.2f\n", names[p],
                    median(mapMs[0]) / median(mapMs[p]), median(paintMs[0]) / median(paintMs[p]),
                    median(paintCpuMs[0]) / median(paintCpuMs[p]), median(peakKb[0]) / median(peakKb[p]));
    }
    for (const std::string& home : homes) {
        std::system(("rm -rf '" + home + "'").c_str());
    }
    xcb_disconnect(connection);
    return 0;
}
