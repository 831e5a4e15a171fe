#pragma once

#include "platform/screen/OutputSource.h"

#include <QString>

#include <memory>

struct wl_display;
struct wl_output;

// An output's frame through the screencopy protocol of wlroots compositors (sway, Hyprland, river, labwc, Wayfire):
// copied by the compositor into shared memory of ours, without the pointer, in the output's own pixels. The requests
// and events go through a queue of our own on the toolkit's connection. The memory and the compositor's description of
// the frame are kept from one picture to the next, so that a picture costs one copy once the warm-up has run.
class WlrScreencopy final : public OutputSource {
public:
    // The compositor's screencopy on the toolkit's Wayland connection `display`; null where it offers none.
    static std::unique_ptr<WlrScreencopy> create(wl_display* display);
    // The same on a connection of the program's own to the session's compositor, for a toolkit on its X server
    // (XWayland); null where there is no compositor or it offers no screencopy.
    static std::unique_ptr<WlrScreencopy> connect();
    ~WlrScreencopy() override;

    QImage picture(const QScreen& screen) override;
    void warmUp(const QScreen& screen) override;
    QString pictureName() const override;

private:
    struct Connection;
    explicit WlrScreencopy(std::unique_ptr<Connection> connection);
    static std::unique_ptr<WlrScreencopy> start(wl_display* display, bool own);
    // The compositor's output that shows `screen`.
    wl_output* outputOf(const QScreen& screen) const;
    std::unique_ptr<Connection> m_connection;
};
