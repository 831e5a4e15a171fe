#pragma once

#include <cstdint>

struct wl_interface;

// wlroots' screencopy protocol (wlr-screencopy-unstable-v1), version 3: the two interfaces as libwayland needs them,
// and the numbers of the requests and flags the program uses.
namespace screencopy {

extern const wl_interface managerInterface; // zwlr_screencopy_manager_v1
extern const wl_interface frameInterface;   // zwlr_screencopy_frame_v1

enum ManagerRequest : std::uint32_t { CaptureOutput = 0, ManagerDestroy = 2 };
enum FrameRequest : std::uint32_t { Copy = 0, FrameDestroy = 1 };
// The frame's rows come bottom up.
constexpr std::uint32_t FlagYInvert = 1;

} // namespace screencopy
