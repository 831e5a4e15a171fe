// Start-up time and idle memory of the tool, side by side with a minimal Qt Widgets program.
//
// Usage: bench_startup TOOL MINIMAL [RUNS]   (on the display in $DISPLAY, best without a window manager)
//
// Each run starts a program and times it from just before the fork to the MapNotify of its first top-level window,
// seen from outside the program through the root window. After one second of idling, the peak resident set
// (VmHWM) is read from /proc. The tool runs with a fresh home whose settings were written by a first, uncounted run,
// as on every start but the first; the programs take turns so that both see the same machine load.

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double startMs = 0;
    long peakKb = 0;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

long peakResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::string makeHome()
{
    char pattern[] = "/tmp/bench_startup-XXXXXX";
    const char* home = mkdtemp(pattern);
    if (!home) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    const std::string root(home);
    for (const char* sub : {"/.config", "/Desktop", "/tools"})
        mkdir((root + sub).c_str(), 0700);
    // No run may open a web browser.
    const std::string opener = root + "/tools/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nexit 0\n";
    chmod(opener.c_str(), 0755);
    return root;
}

// Starts `program` and waits for its first window to be mapped; returns the time it took and the process.
Sample runOnce(xcb_connection_t* connection, const char* program, const std::string& home, bool keepIdle)
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
    while (true) {
        std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(xcb_wait_for_event(connection));
        if (!event) {
            std::fprintf(stderr, "the X connection was lost\n");
            std::exit(1);
        }
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
            !reinterpret_cast<xcb_map_notify_event_t*>(event.get())->override_redirect) {
            sample.startMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
            break;
        }
    }
    if (keepIdle) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        sample.peakKb = peakResidentKb(pid);
    }
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
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TOOL MINIMAL [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "cannot connect to the X server\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    const char* programs[] = {argv[1], argv[2]};
    const char* names[] = {"tool", "minimal Qt Widgets"};
    std::vector<double> startMs[2];
    std::vector<double> peakKb[2];
    // Alternate the two programs run by run, each in its own warmed-up home.
    const std::string homes[] = {makeHome(), makeHome()};
    for (int p = 0; p < 2; ++p)
        runOnce(connection, programs[p], homes[p], false); // warms the caches, writes the tool's settings
    for (int i = 0; i < runs; ++i) {
        for (int p = 0; p < 2; ++p) {
            const Sample sample = runOnce(connection, programs[p], homes[p], true);
            startMs[p].push_back(sample.startMs);
            peakKb[p].push_back(static_cast<double>(sample.peakKb));
        }
    }
    std::printf("%-20s %18s %18s\n", "program", "start to map (ms)", "idle peak RSS (KiB)");
    for (int p = 0; p < 2; ++p) {
        std::printf("%-20s %18.1f %18.0f   (median of %d; start min %.1f, max %.1f)\n", names[p], median(startMs[p]),
                    median(peakKb[p]), runs, *std::min_element(startMs[p].begin(), startMs[p].end()),
                    *std::max_element(startMs[p].begin(), startMs[p].end()));
    }
    std::printf("tool / minimal: start %.2f, memory %.2f\n", median(startMs[0]) / median(startMs[1]),
                median(peakKb[0]) / median(peakKb[1]));
    for (const std::string& home : homes)
        std::system(("rm -rf '" + home + "'").c_str());
    xcb_disconnect(connection);
    return 0;
}
