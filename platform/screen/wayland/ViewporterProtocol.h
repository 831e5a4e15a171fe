#pragma once

#include <cstdint>

struct wl_interface;

// The viewporter protocol (wp_viewporter, stable), version 1: a surface's buffer cropped and scaled by the compositor
// to a size in logical pixels. The two interfaces as libwayland needs them, and the numbers of their requests.
namespace viewporter {

extern const wl_interface viewporterInterface; // wp_viewporter
extern const wl_interface viewportInterface;   // wp_viewport

// Both interfaces destroy with their first request.
enum ViewporterRequest : std::uint32_t { ViewporterDestroy = 0, GetViewport = 1 };
enum ViewportRequest : std::uint32_t { ViewportDestroy = 0, SetSource = 1, SetDestination = 2 };

} // namespace viewporter
