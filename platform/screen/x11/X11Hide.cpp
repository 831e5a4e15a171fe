#include "platform/screen/x11/X11Hide.h"

#include "platform/screen/x11/HideWait.h"
#include "platform/screen/x11/XcbSupport.h"

#include <QByteArray>
#include <QEvent>
#include <QRect>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include <xcb/xcb.h>

namespace {

using namespace std::chrono_literals;

constexpr auto Timeout = 1000ms;

// Where a top-level window shows: the window manager's frame around it (the window itself when unmanaged), the
// window's own origin, the root window's size, and whether a compositing manager draws the screen.
struct Placement {
    xcb_window_t root = XCB_NONE;
    xcb_window_t frame = XCB_NONE;
    QPoint origin; // the window's top-left corner in root-window coordinates
    QRect screen;
    bool isComposited = false;
};

// A compositing manager announces itself by owning the selection _NET_WM_CM_S<screen number>.
std::string compositorSelection(xcb_connection_t* c, xcb_window_t root)
{
    int number = 0;
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    while (screens.rem && screens.data->root != root) {
        xcb_screen_next(&screens);
        ++number;
    }
    return "_NET_WM_CM_S" + std::to_string(number);
}

// The hide stands between the click and the grab, so the requests that do not wait for each other's answers go out
// together: three round trips for a window in a frame.
std::optional<Placement> placementOf(xcb_connection_t* c, xcb_window_t window)
{
    const XcbReply<xcb_query_tree_reply_t> first(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
    if (!first) {
        return std::nullopt;
    }
    const xcb_window_t root = first->root;
    const std::string selection = compositorSelection(c, root);
    const auto atomCookie =
        xcb_intern_atom(c, 1, static_cast<std::uint16_t>(selection.size()), selection.c_str()); // only if it exists
    const auto rootCookie = xcb_get_geometry(c, root);
    const auto originCookie = xcb_translate_coordinates(c, window, root, 0, 0);
    xcb_window_t current = window;
    xcb_window_t parent = first->parent;
    // Window managers nest a client a few levels deep at most; the bound keeps a broken tree from looping.
    for (int level = 0; level < 16 && parent != root && parent != XCB_NONE; ++level) {
        current = parent;
        const XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, current), nullptr));
        parent = tree ? tree->parent : XCB_NONE;
    }
    const XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, atomCookie, nullptr));
    const XcbReply<xcb_get_geometry_reply_t> rootGeometry(xcb_get_geometry_reply(c, rootCookie, nullptr));
    const XcbReply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(c, originCookie, nullptr));
    if (parent != root || !rootGeometry || !origin) {
        return std::nullopt;
    }
    bool isComposited = false;
    // XCB_ATOM_NONE: nobody ever asked for the name, so nobody owns it.
    if (atom && atom->atom != XCB_ATOM_NONE) {
        const XcbReply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
        isComposited = owner && owner->owner != XCB_NONE;
    }
    return Placement{root, current, QPoint(origin->dst_x, origin->dst_y),
                     QRect(0, 0, rootGeometry->width, rootGeometry->height), isComposited};
}

void moveWindow(xcb_connection_t* c, xcb_window_t window, const QPoint& origin)
{
    // Coordinates go over the wire as 16-bit values in 32-bit slots.
    const std::uint32_t values[] = {static_cast<std::uint32_t>(static_cast<std::int16_t>(origin.x())),
                                    static_cast<std::uint32_t>(static_cast<std::int16_t>(origin.y()))};
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    xcb_flush(c);
}

class X11Probe final : public HideProbe {
public:
    X11Probe(QWidget& window, xcb_connection_t* c, const Placement& placement)
        : m_window(window)
        , m_connection(c)
        , m_placement(placement)
    {}

    // Whether the window was asked to move.
    bool hasMoved() const { return m_hasMoved; }

    Clock::time_point now() const override { return Clock::now(); }
    void sleep(Clock::duration duration) override { std::this_thread::sleep_for(duration); }
    QRect screenArea() override { return m_placement.screen; }

    QRect frameGeometry() override
    {
        const XcbReply<xcb_get_geometry_reply_t> frame(
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, m_placement.frame), nullptr));
        if (!frame) {
            return {};
        }
        const int border = frame->border_width;
        return {frame->x, frame->y, frame->width + 2 * border, frame->height + 2 * border};
    }

    // False also once the frame is gone: a window manager may destroy it when the client withdraws.
    bool isFrameMapped() override
    {
        const XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
            m_connection, xcb_get_window_attributes(m_connection, m_placement.frame), nullptr));
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    QByteArray pixels(const QRect& a) override
    {
        const XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_placement.root, static_cast<std::int16_t>(a.x()),
                          static_cast<std::int16_t>(a.y()), static_cast<std::uint16_t>(a.width()),
                          static_cast<std::uint16_t>(a.height()), ~0u),
            nullptr));
        if (!image) {
            return {};
        }
        return QByteArray(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                          xcb_get_image_data_length(image.get()));
    }

    // The window manager places the frame where the window asks to be, in root coordinates (ICCCM 4.1.5), so the
    // request is for the window's own origin at the same distance from the frame's corner as where it was shown.
    void moveFrame(const QPoint& position) override
    {
        if (!m_originInFrame) {
            const QRect frame = frameGeometry();
            if (frame.isEmpty()) {
                return;
            }
            m_originInFrame = m_placement.origin - frame.topLeft();
        }
        moveWindow(m_connection, static_cast<xcb_window_t>(m_window.winId()), position + *m_originInFrame);
        m_hasMoved = true;
    }

    void unmap() override { m_window.hide(); }

private:
    QWidget& m_window;
    xcb_connection_t* m_connection;
    Placement m_placement;
    std::optional<QPoint> m_originInFrame;
    bool m_hasMoved = false;
};

// Puts a window that went beyond the screen's edge back where it was, just before it is mapped again. Not at once:
// a compositor goes on drawing a closing window where it is until its fade ends.
class PutBackOnShow final : public QObject {
public:
    PutBackOnShow(QWidget& window, xcb_connection_t* c, const QPoint& origin)
        : QObject(&window)
        , m_connection(c)
        , m_origin(origin)
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The toolkit sends the show event before it maps the window.
        if (event->type() == QEvent::Show) {
            moveWindow(m_connection, static_cast<xcb_window_t>(static_cast<QWidget*>(watched)->winId()), m_origin);
            watched->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

private:
    xcb_connection_t* m_connection;
    QPoint m_origin;
};

} // namespace

void hideX11Window(QWidget& window, xcb_connection_t* c)
{
    const auto id = static_cast<xcb_window_t>(window.winId());
    const std::optional<Placement> placement = placementOf(c, id);
    if (!placement) {
        window.hide();
        return;
    }
    X11Probe probe(window, c, *placement);
    hideAndWait(probe, placement->isComposited, probe.now() + Timeout);
    if (probe.hasMoved()) {
        new PutBackOnShow(window, c, placement->origin); // owned by the window
    }
}
