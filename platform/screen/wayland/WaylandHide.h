#pragma once

class QWidget;
struct wl_display;
struct wl_surface;

// Hides a shown top-level window of the toolkit's Wayland connection `display` whose surface is `surface`, and
// returns once the compositor has drawn the screen without it, so that a screenshot asked for next cannot hold it.
// First the window's surface is made fully transparent and the compositor's next frame with it is awaited (GNOME
// Shell and sway, whose screenshots are taken after they are asked for, need only to have taken it): a compositor
// animates a closing window (a fade, a shrink) from its last picture, and a transparent picture fades unseen. Then the
// window is hidden and its unmap sent; only where no transparent frame was seen is the unmap awaited too (a round
// trip). Waits at most about a second for the frame; the round trips are on a queue of their own, so that no toolkit
// handler runs inside.
void hideWaylandWindow(QWidget& window, wl_display* display, wl_surface* surface);

// The toolkit's Wayland connection and the surface of `window`, to be asked only where the toolkit runs on Wayland;
// null where the window has no surface.
wl_display* toolkitWaylandDisplay();
wl_surface* toolkitWaylandSurface(QWidget& window);
