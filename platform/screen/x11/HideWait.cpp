#include "platform/screen/x11/HideWait.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Clock = HideProbe::Clock;

constexpr auto UnmapPoll = 1ms;          // the window manager unmaps a frame within a few milliseconds
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

// Moves the window beyond a corner it does not cover, and waits until the screen shows the move. Answers the corner
// and what it showed before, or nothing when the window stayed where it was or was kept on the screen outside the
// corner.
std::optional<std::pair<QRect, QByteArray>> moveIntoCorner(HideProbe& probe, const QRect& screen, const QRect& frame,
                                                           const QByteArray& shown, Clock::time_point deadline)
{
    const std::optional<Corner> corner = freeCorner(screen, frame);
    if (!corner) {
        return std::nullopt;
    }
    const QByteArray before = probe.pixels(corner->area);
    if (before.isEmpty()) {
        return std::nullopt;
    }
    probe.moveFrame(corner->frameTarget);
    const Clock::time_point moveDeadline = std::min(deadline, probe.now() + MoveTimeout);
    QRect moved = probe.frameGeometry();
    while (moved == frame && probe.now() < moveDeadline) {
        probe.sleep(UnmapPoll);
        moved = probe.frameGeometry();
    }
    const QRect visible = moved & screen;
    if (moved == frame || moved.isEmpty() || (!visible.isEmpty() && !corner->area.contains(visible))) {
        return std::nullopt;
    }
    // The server has moved the window; until the compositor has drawn the move, the corner shows what it showed
    // before for the wrong reason. It has drawn it once the window has left its place, and, where part of it stays
    // on the screen, arrived in the corner.
    while (probe.now() < deadline) {
        const QByteArray left = probe.pixels(frame & screen);
        const QByteArray arrived = visible.isEmpty() ? QByteArray() : probe.pixels(corner->area);
        if (left.isEmpty() || (left != shown && (visible.isEmpty() || arrived != before))) {
            break;
        }
        probe.sleep(DrawPoll);
    }
    return std::pair{corner->area, before};
}

} // namespace

void hideAndWait(HideProbe& probe, bool isComposited, Clock::time_point deadline)
{
    const QRect screen = probe.screenArea();
    const QRect frame = probe.frameGeometry();
    if (!isComposited || (frame & screen).isEmpty()) {
        probe.unmap();
        waitUntilUnmapped(probe, deadline);
        return;
    }
    const QRect area = frame & screen;
    const QByteArray shown = probe.pixels(area);
    if (const auto corner = moveIntoCorner(probe, screen, frame, shown, deadline)) {
        probe.unmap();
        waitUntilUnmapped(probe, deadline);
        waitUntilShows(probe, corner->first, corner->second, deadline);
        // Where the window was, the screen changed at the move; a window of ours that closed just before (the
        // "Done." box) may still be fading out there.
        if (!shown.isEmpty()) {
            waitUntilSettled(probe, area, shown, deadline);
        }
        return;
    }
    // Wherever the window is now, moved or not.
    const QRect now = probe.frameGeometry() & screen;
    const QByteArray showing = now.isEmpty() ? QByteArray() : probe.pixels(now);
    probe.unmap();
    waitUntilUnmapped(probe, deadline);
    if (!showing.isEmpty()) {
        waitUntilSettled(probe, now, showing, deadline);
    }
}
