#include "platform/screen/x11/HideWait.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Clock = HideProbe::Clock;

constexpr auto UnmapPoll = 250us;        // the window manager unmaps a frame within a millisecond or two
constexpr auto FramePeriod = 16ms;       // one frame of a 60 Hz screen
constexpr auto DrawPoll = 4ms;           // a quarter frame: how soon a compositor's drawing of a move is seen
constexpr auto MoveTimeout = 100ms;      // a window manager that has not moved the window by then will not
constexpr int UnchangedFramesNeeded = 3; // a fade that has stalled for a frame is not taken for its end
constexpr int Beyond = 64;               // how far past the screen's edge the window is asked to go

// A corner of the screen as large as the window, and where the frame goes to be beyond it.
struct Corner {
    QRect area;
    QPoint frameTarget;
};

// The first corner that the window does not cover, so that what it shows there now is what it shows once the window
// has gone.
std::optional<Corner> freeCorner(const QRect& screen, const QRect& frame)
{
    const int w = frame.width();
    const int h = frame.height();
    const std::array<Corner, 4> corners{{
        {QRect(screen.left(), screen.top(), w, h), QPoint(screen.left() - w - Beyond, screen.top() - h - Beyond)},
        {QRect(screen.right() - w + 1, screen.bottom() - h + 1, w, h),
         QPoint(screen.right() + 1 + Beyond, screen.bottom() + 1 + Beyond)},
        {QRect(screen.right() - w + 1, screen.top(), w, h),
         QPoint(screen.right() + 1 + Beyond, screen.top() - h - Beyond)},
        {QRect(screen.left(), screen.bottom() - h + 1, w, h),
         QPoint(screen.left() - w - Beyond, screen.bottom() + 1 + Beyond)},
    }};
    for (const Corner& corner : corners) {
        const QRect area = corner.area & screen;
        if (!area.isEmpty() && !area.intersects(frame)) {
            return Corner{area, corner.frameTarget};
        }
    }
    return std::nullopt;
}

void waitUntilUnmapped(HideProbe& probe, Clock::time_point deadline)
{
    while (probe.isFrameMapped() && probe.now() < deadline) {
        probe.sleep(UnmapPoll);
    }
}

// Until the area shows `before` again.
void waitUntilShows(HideProbe& probe, const QRect& area, const QByteArray& before, Clock::time_point deadline)
{
    while (probe.now() < deadline) {
        const QByteArray now = probe.pixels(area);
        if (now.isEmpty() || now == before) {
            return;
        }
        probe.sleep(FramePeriod);
    }
}

// Until the area has changed from `shown` and then stayed the same for a few frames.
void waitUntilSettled(HideProbe& probe, const QRect& area, const QByteArray& shown, Clock::time_point deadline)
{
    QByteArray previous = shown;
    bool hasChanged = false;
    int unchangedFrames = 0;
    while (probe.now() < deadline) {
        probe.sleep(FramePeriod);
        const QByteArray now = probe.pixels(area);
        if (now.isEmpty()) {
            return;
        }
        hasChanged = hasChanged || now != shown;
        unchangedFrames = hasChanged && now == previous ? unchangedFrames + 1 : 0;
        if (unchangedFrames >= UnchangedFramesNeeded) {
            return;
        }
        previous = now;
    }
}

// Moves the window beyond a corner it does not cover, and waits until the screen shows the move. Answers what the
// window's old place shows once the window has left it (the desktop under it), or nothing when the window manager
// did not move it within the move timeout or kept part of it on the screen outside the corner.
std::optional<QByteArray> moveIntoCorner(HideProbe& probe, const QRect& area, const Corner& corner,
                                         const QByteArray& before, const QByteArray& shown, Clock::time_point deadline)
{
    const QRect frame = probe.frameGeometry();
    probe.moveFrame(corner.frameTarget);
    const Clock::time_point moveDeadline = std::min(deadline, probe.now() + MoveTimeout);
    QRect moved = probe.frameGeometry();
    while (moved == frame && probe.now() < moveDeadline) {
        probe.sleep(UnmapPoll);
        moved = probe.frameGeometry();
    }
    // Where the window really went: a window manager may keep part of it on the screen.
    const QRect visible = moved & probe.screenArea();
    if (moved == frame || moved.isEmpty() || (!visible.isEmpty() && !corner.area.contains(visible))) {
        return std::nullopt;
    }
    // The server has moved the window; the compositor has drawn the move once the part kept on the screen has
    // arrived in the corner, or, with none kept, once the old place has changed and stays the same for a frame (a
    // window still fading in changes it every frame wherever it is drawn).
    QByteArray previous;
    while (probe.now() < deadline) {
        const QByteArray left = probe.pixels(area);
        if (left.isEmpty()) {
            return std::nullopt;
        }
        const bool isDrawn =
            visible.isEmpty() ? left != shown && left == previous : probe.pixels(corner.area) != before;
        if (isDrawn) {
            return visible.isEmpty() ? left : probe.pixels(area);
        }
        previous = left;
        probe.sleep(visible.isEmpty() ? FramePeriod : DrawPoll);
    }
    return std::nullopt;
}

} // namespace

void hideAndWait(HideProbe& probe, bool isComposited, Clock::time_point deadline)
{
    const QRect screen = probe.screenArea();
    const QRect frame = probe.frameGeometry();
    const QRect area = frame & screen;
    if (!isComposited || area.isEmpty()) {
        probe.unmap();
        waitUntilUnmapped(probe, deadline);
        return;
    }
    const QByteArray shown = probe.pixels(area);
    const std::optional<Corner> corner = freeCorner(screen, frame);
    const QByteArray before = corner ? probe.pixels(corner->area) : QByteArray();
    const std::optional<QByteArray> desktop = corner && !before.isEmpty() && !shown.isEmpty()
                                                  ? moveIntoCorner(probe, area, *corner, before, shown, deadline)
                                                  : std::nullopt;
    // Wherever the window is now: moved, kept, or on its way to the corner (a window manager that moves it late).
    const QRect now = probe.frameGeometry() & screen;
    const QByteArray showing = desktop || now.isEmpty() ? QByteArray() : probe.pixels(now);
    probe.unmap();
    waitUntilUnmapped(probe, deadline);
    if (corner && !before.isEmpty()) {
        waitUntilShows(probe, corner->area, before, deadline);
    }
    if (desktop) {
        // The old place showed the desktop once the window had left it: nothing else will do, whatever the
        // compositor leaves there for a while (a close animation drawn where the window was, a frame it missed).
        waitUntilShows(probe, area, *desktop, deadline);
    } else if (!showing.isEmpty()) {
        waitUntilSettled(probe, now, showing, deadline);
    }
}
