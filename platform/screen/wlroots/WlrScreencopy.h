#pragma once

#include "platform/screen/OutputSource.h"

#include <QString>

#include <cstdint>
#include <memory>

struct wl_display;

// An output's frame through the screencopy protocol of wlroots compositors (sway, Hyprland, river, labwc, Wayfire):
// copied by the compositor into shared memory of ours, without the pointer, in the output's own pixels. The requests
// and events go through a queue of our own on the toolkit's connection. The memory and the compositor's description of
// the frame are kept from one picture to the next, so that a picture costs one copy once the warm-up has run.
class WlrScreencopy final : public OutputSource {
public:
    // The compositor's screencopy on the toolkit's Wayland connection `display`; null where it offers none.
    static std::unique_ptr<WlrScreencopy> create(wl_display* display);
    ~WlrScreencopy() override;

    QImage picture(const QScreen& screen) override;
    void warmUp(const QScreen& screen) override;
    QString pictureName() const override;

private:
    struct Connection;
    explicit WlrScreencopy(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> m_connection;
};

// Why a frame that the compositor describes as `width` x `height` pixels of the shared-memory `format` (wl_shm's
// numbers), `stride` bytes a row, cannot be taken; empty when it can.
QString screencopyFrameProblem(std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride);

// The rows of a copied frame put into the picture's order in place: top row first where the compositor said they came
// bottom up (`yInverted`), and B, G, R, X in each pixel where `format` holds them as R, G, B, X. `format` is one that
// screencopyFrameProblem() takes.
void orderFrameRows(std::uint8_t* rows, int width, int height, int stride, std::uint32_t format, bool yInverted);
