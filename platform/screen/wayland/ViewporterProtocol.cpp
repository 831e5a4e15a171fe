#include "platform/screen/wayland/ViewporterProtocol.h"

#include <wayland-client.h>

// The tables libwayland marshals with, written from the protocol's published description: requests in their order,
// each with its signature and the interfaces of its object arguments. Neither interface has events.
namespace viewporter {

namespace {

const wl_interface* const noTypes[4] = {};
const wl_interface* getViewportTypes[] = {&viewportInterface, &wl_surface_interface};

const wl_message viewporterRequests[] = {
    {"destroy", "", nullptr},
    {"get_viewport", "no", getViewportTypes},
};

const wl_message viewportRequests[] = {
    {"destroy", "", nullptr},
    {"set_source", "ffff", const_cast<const wl_interface**>(noTypes)},
    {"set_destination", "ii", const_cast<const wl_interface**>(noTypes)},
};

} // namespace

const wl_interface viewporterInterface = {"wp_viewporter", 1, 2, viewporterRequests, 0, nullptr};
const wl_interface viewportInterface = {"wp_viewport", 1, 3, viewportRequests, 0, nullptr};

} // namespace viewporter
