#pragma once

#include <cstdint>
#include <memory>

// One frame of wlroots' screencopy: what the compositor says of it, its events gathered as they come, and the frame
// object destroyed with the protocol's request on every path.
namespace screencopy {

// What the compositor says of a frame before it is copied.
struct FrameLayout {
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    bool operator==(const FrameLayout&) const = default;
};

// One frame's events as they come.
struct FrameState {
    bool described = false; // a shared-memory buffer was offered and (from version 3) the offers are done
    bool shmOffered = false;
    bool ready = false;
    bool failed = false;
    bool finished = false; // ready or failed
    std::uint32_t version = 1;
    std::uint32_t flags = 0;
    FrameLayout layout;
};

struct FrameDeleter {
    void operator()(void* frame) const;
};
using Frame = std::unique_ptr<void, FrameDeleter>;

// Gathers the events of `frame`, a zwlr_screencopy_frame_v1 of `state.version`, into `state`, which outlives it.
void followFrame(void* frame, FrameState& state);

} // namespace screencopy
