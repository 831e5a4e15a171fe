// From a click on "Start Capturing" to the capture overlay being mapped with the frozen picture, measured from
// outside the program as a user sees it: the time is taken just before the click is sent (xdotool, whose own
// start-up is counted against the program) and when the X server reports the overlay's window mapped. Each run is
// ended with Esc, which brings the main window back.
//
// Usage: bench_launch X Y [runs]   (X, Y: the button's centre in root coordinates; the program already running on
// $DISPLAY with its main window shown). bench/run.sh starts everything.
//        bench_launch --command RUNS PROGRAM [ARG...]   times another tool the same way: from starting PROGRAM to
// its first full-screen window mapped (a peer's capture overlay); each run is ended with Esc.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <xcb/xcb.h>

extern char** environ;

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Event = std::unique_ptr<xcb_generic_event_t, FreeDeleter>;

double nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

pid_t spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (failed != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(2);
    }
    return pid;
}

void run(std::vector<std::string> args)
{
    int status = 0;
    waitpid(spawn(std::move(args)), &status, 0);
}

std::string windowName(xcb_connection_t* c, xcb_window_t window)
{
    const std::unique_ptr<xcb_get_property_reply_t, FreeDeleter> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
    if (!reply)
        return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

// Waits for the next event, up to `timeoutMs`; null on timeout.
Event nextEvent(xcb_connection_t* c, double timeoutMs)
{
    const double deadline = nowMs() + timeoutMs;
    while (true) {
        if (Event event{xcb_poll_for_event(c)})
            return event;
        const double left = deadline - nowMs();
        if (left <= 0 || xcb_connection_has_error(c))
            return nullptr;
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left) + 1);
    }
}

// Follows every new top-level window until one that `accept`s maps; returns when (nowMs) and which, or -1 and
// XCB_WINDOW_NONE when none maps within `timeoutMs`.
template <typename Accept>
std::pair<double, xcb_window_t> waitForMap(xcb_connection_t* c, double timeoutMs, Accept accept)
{
    while (Event event = nextEvent(c, timeoutMs)) {
        const int type = event->response_type & 0x7f;
        if (type == XCB_CREATE_NOTIFY) {
            const auto* created = reinterpret_cast<xcb_create_notify_event_t*>(event.get());
            const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(c, created->window, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(c);
        } else if (type == XCB_MAP_NOTIFY) {
            const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event.get());
            if (map->event == map->window && accept(map->window))
                return {nowMs(), map->window};
        }
    }
    return {-1, XCB_WINDOW_NONE};
}

// Moves the pointer to (x, y) and returns once it is there. xdotool's --sync waits for the pointer to move, which
// never happens when it is already in place: then there is nothing to do.
void movePointer(xcb_connection_t* c, xcb_window_t root, const std::string& x, const std::string& y)
{
    const std::unique_ptr<xcb_query_pointer_reply_t, FreeDeleter> pointer(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
    if (pointer && pointer->root_x == std::atoi(x.c_str()) && pointer->root_y == std::atoi(y.c_str()))
        return;
    run({"xdotool", "mousemove", "--sync", x, y});
}

// Waits until a top-level window is under the pointer, up to `timeoutMs`.
bool waitForWindowUnderPointer(xcb_connection_t* c, xcb_window_t root, double timeoutMs)
{
    const double deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        const std::unique_ptr<xcb_query_pointer_reply_t, FreeDeleter> pointer(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
        if (pointer && pointer->child != XCB_WINDOW_NONE)
            return true;
        usleep(20 * 1000);
    }
    return false;
}

// Whether the window covers the whole root window: the mark of a capture overlay.
bool coversScreen(xcb_connection_t* c, xcb_window_t window, const xcb_screen_t* screen)
{
    const std::unique_ptr<xcb_get_geometry_reply_t, FreeDeleter> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    return geometry && geometry->width >= screen->width_in_pixels && geometry->height >= screen->height_in_pixels;
}

// Times `command` from its start to its first full-screen window mapped, `runs` times.
int timeCommand(xcb_connection_t* c, const xcb_screen_t* screen, const std::vector<std::string>& command, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        while (Event stale{xcb_poll_for_event(c)}) {
        }
        const double start = nowMs();
        const pid_t tool = spawn(command);
        const double mapped =
            waitForMap(c, 10000, [&](xcb_window_t window) { return coversScreen(c, window, screen); }).first;
        if (mapped < 0) {
            std::fprintf(stderr, "run %d: %s showed no full-screen window\n", i + 1, command[0].c_str());
            kill(tool, SIGKILL);
            waitpid(tool, nullptr, 0);
            return 1;
        }
        times.push_back(mapped - start);
        usleep(300 * 1000);
        run({"xdotool", "key", "Escape"});
        for (int waited = 0; waited < 50 && waitpid(tool, nullptr, WNOHANG) == 0; ++waited)
            usleep(100 * 1000);
        if (waitpid(tool, nullptr, WNOHANG) == 0) {
            kill(tool, SIGTERM);
            waitpid(tool, nullptr, 0);
        }
        usleep(300 * 1000);
    }
    std::sort(times.begin(), times.end());
    std::printf("%s: start to its overlay mapped (ms): median %.1f  min %.1f  max %.1f  (%d runs)\n",
                command[0].c_str(), times[times.size() / 2], times.front(), times.back(), runs);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool peer = argc > 3 && std::strcmp(argv[1], "--command") == 0;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s X Y [runs] | --command RUNS PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    if (peer) {
        const std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, nullptr));
        if (xcb_connection_has_error(connection.get()))
            return 2;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
        const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection.get(), screen->root, XCB_CW_EVENT_MASK, &rootMask);
        xcb_flush(connection.get());
        return timeCommand(connection.get(), screen, std::vector<std::string>(argv + 3, argv + argc),
                           std::max(1, std::atoi(argv[2])));
    }
    const std::string x = argv[1];
    const std::string y = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;

    const std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, nullptr));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot connect to the display\n");
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &rootMask);
    xcb_flush(c);

    // What starting xdotool costs by itself, which every figure below includes.
    std::vector<double> spawnTimes;
    for (int i = 0; i < 9; ++i) {
        const double start = nowMs();
        run({"xdotool", "getmouselocation"});
        spawnTimes.push_back(nowMs() - start);
    }
    std::sort(spawnTimes.begin(), spawnTimes.end());

    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        movePointer(c, root, x, y);
        usleep(100 * 1000);
        while (Event stale{xcb_poll_for_event(c)}) {
        }
        const double start = nowMs();
        const pid_t click = spawn({"xdotool", "click", "1"});
        // The overlay's window is created while the click is handled and mapped once it is loaded.
        const auto [mapped, overlay] =
            waitForMap(c, 5000, [&](xcb_window_t window) { return windowName(c, window) == "Form2"; });
        int status = 0;
        waitpid(click, &status, 0);
        if (mapped < 0) {
            std::fprintf(stderr, "run %d: the overlay did not appear\n", i + 1);
            return 1;
        }
        times.push_back(mapped - start);

        // End the run and wait for the overlay's window to go away.
        run({"xdotool", "key", "Escape"});
        while (Event event = nextEvent(c, 5000)) {
            const int type = event->response_type & 0x7f;
            if (type == XCB_DESTROY_NOTIFY &&
                reinterpret_cast<xcb_destroy_notify_event_t*>(event.get())->window == overlay)
                break;
        }
        // Let the main window come back under the pointer and settle before the next click: a click that comes
        // sooner lands on the bare screen.
        if (!waitForWindowUnderPointer(c, root, 5000)) {
            std::fprintf(stderr, "run %d: the main window did not come back\n", i + 1);
            return 1;
        }
        usleep(300 * 1000);
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times)
        sum += t;
    std::printf("click on \"Start Capturing\" to the overlay mapped (ms): median %.1f  mean %.1f  min %.1f  max %.1f"
                "  (%d runs)\n",
                times[times.size() / 2], sum / static_cast<double>(times.size()), times.front(), times.back(), runs);
    std::printf("  of which starting xdotool (ms): median %.1f\n", spawnTimes[spawnTimes.size() / 2]);
    return 0;
}
