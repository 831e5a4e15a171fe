#include "platform/screen/wayland/WaylandQueue.h"

#include <cerrno>
#include <cstdint>

#include <poll.h>
#include <wayland-client.h>

namespace waylandqueue {

void QueueDeleter::operator()(wl_event_queue* queue) const
{
    wl_event_queue_destroy(queue);
}

void WrapperDeleter::operator()(void* wrapper) const
{
    wl_proxy_wrapper_destroy(wrapper);
}

void ProxyDeleter::operator()(void* proxy) const
{
    wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
}

Wrapper onQueue(void* proxy, wl_event_queue* queue)
{
    Wrapper wrapper(wl_proxy_create_wrapper(proxy));
    if (wrapper) {
        wl_proxy_set_queue(static_cast<wl_proxy*>(wrapper.get()), queue);
    }
    return wrapper;
}

bool dispatchUntil(wl_display* display, wl_event_queue* queue, const bool& done, Clock::time_point deadline)
{
    while (!done) {
        if (wl_display_prepare_read_queue(display, queue) != 0) {
            if (wl_display_dispatch_queue_pending(display, queue) < 0) {
                return false;
            }
            continue;
        }
        wl_display_flush(display);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        pollfd ready{wl_display_get_fd(display), POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left));
        if (polled <= 0) {
            wl_display_cancel_read(display);
            if (polled < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_queue_pending(display, queue) < 0) {
            return false;
        }
    }
    return true;
}

namespace {

void callbackDone(void* data, wl_callback* /*callback*/, uint32_t /*time*/)
{
    *static_cast<bool*>(data) = true;
}
const wl_callback_listener callbackListener{callbackDone};

} // namespace

bool roundTrip(wl_display* display, wl_event_queue* queue, std::chrono::milliseconds limit)
{
    const Wrapper wrapper = onQueue(display, queue);
    if (!wrapper) {
        return false;
    }
    bool done = false;
    const Proxy sync(wl_display_sync(static_cast<wl_display*>(wrapper.get())));
    if (!sync) {
        return false;
    }
    wl_callback_add_listener(static_cast<wl_callback*>(sync.get()), &callbackListener, &done);
    return dispatchUntil(display, queue, done, Clock::now() + limit);
}

bool readGlobals(wl_display* display, wl_event_queue* queue, const wl_registry_listener& listener, void* data,
                 int roundTrips)
{
    const Wrapper wrapper = onQueue(display, queue);
    const Proxy registry(wrapper ? wl_display_get_registry(static_cast<wl_display*>(wrapper.get())) : nullptr);
    if (!registry) {
        return false;
    }
    wl_registry_add_listener(static_cast<wl_registry*>(registry.get()), &listener, data);
    for (int i = 0; i < roundTrips; ++i) {
        if (!roundTrip(display, queue)) {
            return false;
        }
    }
    return true;
}

} // namespace waylandqueue
