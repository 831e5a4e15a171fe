#include "platform/screen/wlroots/ScreencopyFrame.h"

#include "platform/screen/wlroots/ScreencopyProtocol.h"

#include <wayland-client.h>

namespace screencopy {

namespace {

void frameBuffer(void* data, void* /*frame*/, uint32_t format, uint32_t width, uint32_t height, uint32_t stride)
{
    auto* state = static_cast<FrameState*>(data);
    state->layout = {format, width, height, stride};
    state->shmOffered = true;
    // Before version 3 the buffer event is the whole description.
    state->described = state->described || state->version < 3;
}
void frameFlags(void* data, void* /*frame*/, uint32_t flags)
{
    static_cast<FrameState*>(data)->flags = flags;
}
void frameReady(void* data, void* /*frame*/, uint32_t /*secHi*/, uint32_t /*secLo*/, uint32_t /*nsec*/)
{
    auto* state = static_cast<FrameState*>(data);
    state->ready = true;
    state->finished = true;
}
void frameFailed(void* data, void* /*frame*/)
{
    auto* state = static_cast<FrameState*>(data);
    state->failed = true;
    state->finished = true;
    state->described = true;
}
void frameDamage(void* /*data*/, void* /*frame*/, uint32_t, uint32_t, uint32_t, uint32_t) {}
void frameDmabuf(void* /*data*/, void* /*frame*/, uint32_t, uint32_t, uint32_t) {}
void frameBufferDone(void* data, void* /*frame*/)
{
    static_cast<FrameState*>(data)->described = true;
}

// The event handlers in the events' order, as libwayland calls them.
struct FrameListener {
    void (*buffer)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
    void (*flags)(void*, void*, uint32_t);
    void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
    void (*failed)(void*, void*);
    void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
    void (*linuxDmabuf)(void*, void*, uint32_t, uint32_t, uint32_t);
    void (*bufferDone)(void*, void*);
};
const FrameListener frameListener{frameBuffer, frameFlags,  frameReady,     frameFailed,
                                  frameDamage, frameDmabuf, frameBufferDone};

} // namespace

void FrameDeleter::operator()(void* frame) const
{
    auto* proxy = static_cast<wl_proxy*>(frame);
    wl_proxy_marshal_flags(proxy, FrameDestroy, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
}

void followFrame(void* frame, FrameState& state)
{
    wl_proxy_add_listener(static_cast<wl_proxy*>(frame),
                          reinterpret_cast<void (**)(void)>(const_cast<FrameListener*>(&frameListener)), &state);
}

} // namespace screencopy
