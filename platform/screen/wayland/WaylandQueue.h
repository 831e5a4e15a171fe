#pragma once

#include <chrono>
#include <memory>

struct wl_display;
struct wl_event_queue;
struct wl_registry_listener;

// Requests and events of the program's own on the toolkit's Wayland connection: objects made through a wrapper set to
// a queue of their own send their events there, and waiting dispatches that queue alone, so that no toolkit handler
// runs inside. The toolkit's thread reads the same connection; the prepare/read protocol lets either read for both.
namespace waylandqueue {

using Clock = std::chrono::steady_clock;

struct QueueDeleter {
    void operator()(wl_event_queue* queue) const;
};
struct WrapperDeleter {
    void operator()(void* wrapper) const;
};
// wl_proxy_destroy: forgets a proxy without a request, for objects whose interface has no destructor request.
struct ProxyDeleter {
    void operator()(void* proxy) const;
};

using Queue = std::unique_ptr<wl_event_queue, QueueDeleter>;
using Wrapper = std::unique_ptr<void, WrapperDeleter>;
using Proxy = std::unique_ptr<void, ProxyDeleter>;

// A wrapper of `proxy` whose new objects and events go to `queue`; null when none could be made.
Wrapper onQueue(void* proxy, wl_event_queue* queue);

// Dispatches `queue` alone until `done` is set; false at the deadline or when the connection broke.
bool dispatchUntil(wl_display* display, wl_event_queue* queue, const bool& done, Clock::time_point deadline);

// Sends everything asked so far and waits until the compositor has taken it, at most `limit`.
bool roundTrip(wl_display* display, wl_event_queue* queue,
               std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

// Reads the compositor's globals on `queue`: `listener` is told of each with `data`, in `roundTrips` round trips (a
// second one brings the events of objects bound in the first). False when they could not be read in time.
bool readGlobals(wl_display* display, wl_event_queue* queue, const wl_registry_listener& listener, void* data,
                 int roundTrips = 1);

} // namespace waylandqueue
