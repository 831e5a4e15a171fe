#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>

#include <chrono>

// What hiding a window and waiting until the screen no longer shows it asks of the display. The X11 probe asks the
// X server; a test answers from a timeline of its own.
class HideProbe {
public:
    using Clock = std::chrono::steady_clock;

    HideProbe() = default;
    virtual ~HideProbe() = default;
    HideProbe(const HideProbe&) = delete;
    HideProbe& operator=(const HideProbe&) = delete;

    virtual Clock::time_point now() const = 0;
    virtual void sleep(Clock::duration duration) = 0;
    // The screen, in the coordinates of every area below.
    virtual QRect screenArea() = 0;
    // Where the window manager's frame around the window (the window itself when unmanaged) is; empty once it cannot
    // be told, as when the window manager has destroyed the frame.
    virtual QRect frameGeometry() = 0;
    virtual bool isFrameMapped() = 0;
    // What the screen shows in the area, which lies within the screen; empty when it cannot be read.
    virtual QByteArray pixels(const QRect& area) = 0;
    // Asks for the frame's top-left corner at `position`. A window manager may keep part of the window on the screen.
    virtual void moveFrame(const QPoint& position) = 0;
    virtual void unmap() = 0;
};

// Unmaps the window and returns once the screen no longer shows it, or at `deadline`.
//
// Without a compositing manager the screen lets go of the window when its frame is unmapped. A compositor may go on
// drawing a closing window for as long as it animates, and how long that is cannot be known; so the window is first
// moved away (a move is drawn at once), after the pixels of a screen corner it does not cover were read: a sliver of
// it into that corner, then on beyond it. Where the window really went is read back: a window manager may keep more
// of it on the screen, which must then lie in that corner. Once the corner shows the window, the compositor has drawn
// the move, and the window's old place shows the desktop under it (the old place alone cannot tell: a window still
// fading in changes it until then). After the unmap, the wait ends when the corner shows what it showed before and
// the old place shows that desktop again.
// Where the window cannot be moved there in time, the corner is watched all the same (the window manager may move it
// late), and the screen where the window is has let go of it once it has changed and then stays the same for a few
// frames.
void hideAndWait(HideProbe& probe, bool isComposited, HideProbe::Clock::time_point deadline);
