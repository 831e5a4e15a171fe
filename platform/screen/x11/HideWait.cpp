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
constexpr int Sliver = 32;               // how much of the window, in pixels each way, is first left in the corner

// A corner of the screen as large as the window; where the frame goes to leave only a sliver of the window in it, and
// where it goes to be beyond it.
struct Corner {
    QRect area;
    QPoint sliverTarget;
    QPoint frameTarget;
};

// The first corner that the window does not cover, so that what it shows there now is what it shows once the window
// has gone.
std::optional<Corner> freeCorner(const QRect& screen, const QRect& frame)
{
    const int w = frame.width();
    const int h = frame.height();
    const int sw = std::min(Sliver, w);
    const int sh = std::min(Sliver, h);
    const std::array<Corner, 4> corners{{
        {QRect(screen.left(), screen.top(), w, h), QPoint(screen.left() - w + sw, screen.top() - h + sh),
         QPoint(screen.left() - w - Beyond, screen.top() - h - Beyond)},
        {QRect(screen.right() - w + 1, screen.bottom() - h + 1, w, h),
         QPoint(screen.right() + 1 - sw, screen.bottom() + 1 - sh),
         QPoint(screen.right() + 1 + Beyond, screen.bottom() + 1 + Beyond)},
        {QRect(screen.right() - w + 1, screen.top(), w, h), QPoint(screen.right() + 1 - sw, screen.top() - h + sh),
         QPoint(screen.right() + 1 + Beyond, screen.top() - h - Beyond)},
        {QRect(screen.left(), screen.bottom() - h + 1, w, h), QPoint(screen.left() - w + sw, screen.bottom() + 1 - sh),
         QPoint(screen.left() - w - Beyond, screen.bottom() + 1 + Beyond)},
    }};
    for (const Corner& corner : corners) {
        const QRect area = corner.area & screen;
        if (!area.isEmpty() && !area.intersects(frame)) {
            return Corner{area, corner.sliverTarget, corner.frameTarget};
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
void waitUntilShows(HideProbe& probe, const QRect& area, const QByteArray& before, Clock::time_point deadline,
                    Clock::duration poll = FramePeriod)
{
    while (probe.now() < deadline) {
        const QByteArray now = probe.pixels(area);
        if (now.isEmpty() || now == before) {
            return;
        }
        probe.sleep(poll);
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

// Asks for the frame at `target` and waits until the X server has it somewhere else than `from`: where it went, or
// nothing when the window manager did not move it within the move timeout.
std::optional<QRect> moveFrom(HideProbe& probe, const QRect& from, const QPoint& target, Clock::time_point deadline)
{
    probe.moveFrame(target);
    const Clock::time_point moveDeadline = std::min(deadline, probe.now() + MoveTimeout);
    QRect moved = probe.frameGeometry();
    while (moved == from && probe.now() < moveDeadline) {
        probe.sleep(UnmapPoll);
        moved = probe.frameGeometry();
    }
    if (moved == from || moved.isEmpty()) {
        return std::nullopt;
    }
    return moved;
}

// Moves the window away from its place, leaving a sliver of it in a corner that it does not cover, and waits until
// the screen shows the move; then sends it on beyond the corner, where a fade is not seen. Answers what the window's
// old place shows once the window has left it (the desktop under it), or nothing when the window manager did not move
// it within the move timeout or kept part of it on the screen outside the corner.
//
// The corner is what tells that the compositor has drawn the move: it showed no part of the window before. The old
// place cannot tell it, since a window still fading in changes it from frame to frame until the move is drawn.
std::optional<QByteArray> moveIntoCorner(HideProbe& probe, const QRect& area, const Corner& corner,
                                         const QByteArray& before, Clock::time_point deadline)
{
    const QRect frame = probe.frameGeometry();
    const std::optional<QRect> moved = moveFrom(probe, frame, corner.sliverTarget, deadline);
    // Where the window really went: a window manager may keep more of it on the screen.
    const QRect visible = moved ? *moved & probe.screenArea() : QRect();
    if (visible.isEmpty() || !corner.area.contains(visible)) {
        return std::nullopt;
    }
    while (probe.now() < deadline) {
        const QByteArray shown = probe.pixels(corner.area);
        if (shown.isEmpty()) {
            return std::nullopt;
        }
        if (shown != before) {
            const QByteArray desktop = probe.pixels(area);
            // A window manager that kept more than the sliver on the screen keeps it there again. The unmap waits
            // until the sliver has left the corner: a compositor fades a window out where it last drew it.
            if (moved->topLeft() == corner.sliverTarget) {
                const std::optional<QRect> beyond = moveFrom(probe, *moved, corner.frameTarget, deadline);
                if (beyond && !beyond->intersects(probe.screenArea())) {
                    waitUntilShows(probe, corner.area, before, deadline, DrawPoll);
                }
            }
            return desktop.isEmpty() ? std::nullopt : std::optional<QByteArray>(desktop);
        }
        probe.sleep(DrawPoll);
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
    const std::optional<Corner> corner = freeCorner(screen, frame);
    const QByteArray before = corner ? probe.pixels(corner->area) : QByteArray();
    const std::optional<QByteArray> desktop =
        corner && !before.isEmpty() ? moveIntoCorner(probe, area, *corner, before, deadline) : std::nullopt;
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
