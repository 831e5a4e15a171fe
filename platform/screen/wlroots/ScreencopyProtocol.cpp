#include "platform/screen/wlroots/ScreencopyProtocol.h"

#include <wayland-client.h>

// The tables libwayland marshals with, written from the protocol's published description: requests and events in
// their order, each with its signature and the interfaces of its object arguments.
namespace screencopy {

namespace {

const wl_interface* const noTypes[8] = {};
const wl_interface* captureOutputTypes[] = {&frameInterface, nullptr, &wl_output_interface};
const wl_interface* captureRegionTypes[] = {&frameInterface, nullptr, &wl_output_interface, nullptr, nullptr,
                                            nullptr,         nullptr};
const wl_interface* copyTypes[] = {&wl_buffer_interface};

const wl_message managerRequests[] = {
    {"capture_output", "nio", captureOutputTypes},
    {"capture_output_region", "nioiiii", captureRegionTypes},
    {"destroy", "", nullptr},
};

const wl_message frameRequests[] = {
    {"copy", "o", copyTypes},
    {"destroy", "", nullptr},
    {"copy_with_damage", "2o", copyTypes},
};
const wl_message frameEvents[] = {
    {"buffer", "uuuu", const_cast<const wl_interface**>(noTypes)},
    {"flags", "u", const_cast<const wl_interface**>(noTypes)},
    {"ready", "uuu", const_cast<const wl_interface**>(noTypes)},
    {"failed", "", const_cast<const wl_interface**>(noTypes)},
    {"damage", "2uuuu", const_cast<const wl_interface**>(noTypes)},
    {"linux_dmabuf", "3uuu", const_cast<const wl_interface**>(noTypes)},
    {"buffer_done", "3", const_cast<const wl_interface**>(noTypes)},
};

} // namespace

const wl_interface managerInterface = {"zwlr_screencopy_manager_v1", 3, 3, managerRequests, 0, nullptr};
const wl_interface frameInterface = {"zwlr_screencopy_frame_v1", 3, 3, frameRequests, 7, frameEvents};

} // namespace screencopy
