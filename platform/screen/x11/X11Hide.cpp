#include "platform/screen/x11/X11Hide.h"

#include "platform/screen/x11/XcbSupport.h"

#include <QByteArray>
#include <QRect>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto Timeout = 1000ms;
constexpr auto UnmapPoll = 1ms;          // the window manager unmaps a frame within a few milliseconds
constexpr auto FramePeriod = 16ms;       // one frame of a 60 Hz screen
constexpr int UnchangedFramesNeeded = 3; // a fade that has stalled for a frame is not taken for its end

// Where a top-level window shows: the window manager's frame around it (the window itself when unmanaged), and the
// part of the root window that the frame covers.
struct Placement {
    xcb_window_t root = XCB_NONE;
    xcb_window_t frame = XCB_NONE;
    QRect area; // root-window coordinates, within the root window
};

std::optional<Placement> placementOf(xcb_connection_t* c, xcb_window_t window)
{
    xcb_window_t current = window;
    // Window managers nest a client a few levels deep at most; the bound keeps a broken tree from looping.
    for (int level = 0; level < 16; ++level) {
        const XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, current), nullptr));
        if (!tree) {
            return std::nullopt;
        }
        if (tree->parent != tree->root && tree->parent != XCB_NONE) {
            current = tree->parent;
            continue;
        }
        const XcbReply<xcb_get_geometry_reply_t> frame(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, current), nullptr));
        const XcbReply<xcb_get_geometry_reply_t> root(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, tree->root), nullptr));
        if (!frame || !root) {
            return std::nullopt;
        }
        const int border = frame->border_width;
        const QRect outer(frame->x, frame->y, frame->width + 2 * border, frame->height + 2 * border);
        return Placement{tree->root, current, outer & QRect(0, 0, root->width, root->height)};
    }
    return std::nullopt;
}

// False also once the window is gone: a window manager may destroy the frame when the client withdraws.
bool isViewable(xcb_connection_t* c, xcb_window_t window)
{
    const XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// A compositing manager announces itself by owning the selection _NET_WM_CM_S<screen number>.
bool hasCompositor(xcb_connection_t* c, xcb_window_t root)
{
    int number = 0;
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    while (screens.rem && screens.data->root != root) {
        xcb_screen_next(&screens);
        ++number;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(number);
    const xcb_atom_t atom = internAtom(c, name.c_str(), true);
    if (atom == XCB_ATOM_NONE) {
        return false; // nobody ever asked for the name, so nobody owns it
    }
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

// What the screen shows in the area; empty when it cannot be read.
QByteArray screenPixels(xcb_connection_t* c, const Placement& placement)
{
    const QRect& a = placement.area;
    const XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, placement.root, static_cast<std::int16_t>(a.x()),
                      static_cast<std::int16_t>(a.y()), static_cast<std::uint16_t>(a.width()),
                      static_cast<std::uint16_t>(a.height()), ~0u),
        nullptr));
    if (!image) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                      xcb_get_image_data_length(image.get()));
}

// A compositor draws the window's last picture for a while after the unmap, fading it out or not. The screen has
// let go of the window once it shows something else there and then stays the same for a few frames.
void waitUntilSettled(xcb_connection_t* c, const Placement& placement, const QByteArray& shown,
                      Clock::time_point deadline)
{
    QByteArray previous = shown;
    bool hasChanged = false;
    int unchangedFrames = 0;
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(FramePeriod);
        const QByteArray now = screenPixels(c, placement);
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

} // namespace

void hideX11Window(QWidget& window, xcb_connection_t* c)
{
    const std::optional<Placement> placement = placementOf(c, static_cast<xcb_window_t>(window.winId()));
    const bool isComposited = placement && !placement->area.isEmpty() && hasCompositor(c, placement->root);
    const QByteArray shown = isComposited ? screenPixels(c, *placement) : QByteArray();
    window.hide();
    if (!placement) {
        return;
    }
    const Clock::time_point deadline = Clock::now() + Timeout;
    while (isViewable(c, placement->frame) && Clock::now() < deadline) {
        std::this_thread::sleep_for(UnmapPoll);
    }
    if (!shown.isEmpty()) {
        waitUntilSettled(c, *placement, shown, deadline);
    }
}
