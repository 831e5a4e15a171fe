#include "platform/screen/wayland/WaylandHide.h"

#include "platform/process/LaunchSteps.h"
#include "platform/screen/wayland/WaylandQueue.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

using namespace waylandqueue;
using namespace std::chrono_literals;

// A compositor draws at least a few frames a second while something changes; one that sends no frame for this long
// is not drawing the window at all (it is covered, or the output is off).
constexpr auto FrameTimeout = 1000ms;

struct BufferDeleter {
    void operator()(wl_buffer* buffer) const { wl_buffer_destroy(buffer); }
};
struct FdCloser {
    void operator()(const int* fd) const
    {
        ::close(*fd);
        delete fd;
    }
};

using Buffer = std::unique_ptr<wl_buffer, BufferDeleter>;

void callbackDone(void* data, wl_callback* /*callback*/, uint32_t /*time*/)
{
    *static_cast<bool*>(data) = true;
}
const wl_callback_listener callbackListener{callbackDone};

// What the hide needs to know of the compositor's globals.
struct Globals {
    Proxy shm;
    // Whether a screenshot asked for after a commit has been taken shows what was committed, drawn or not: mutter
    // (GNOME Shell, the one compositor that offers gtk_shell1) paints its screenshots from its scene when they are
    // asked for; wlroots compositors (sway), which offer wlr-screencopy to their portal, copy the first frame they
    // draw after the request. Others may copy the frame last drawn.
    bool screenshotsFollowCommits = false;
};

void registryGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t /*version*/)
{
    auto* globals = static_cast<Globals*>(data);
    if (!globals->shm && std::strcmp(interface, wl_shm_interface.name) == 0) {
        globals->shm.reset(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    }
    if (std::strcmp(interface, "gtk_shell1") == 0 || std::strcmp(interface, "zwlr_screencopy_manager_v1") == 0) {
        globals->screenshotsFollowCommits = true;
    }
}
void registryGlobalRemove(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/) {}
const wl_registry_listener registryListener{registryGlobal, registryGlobalRemove};

// A buffer of `width` x `height` pixels, every one fully transparent (zero bytes are transparent black).
Buffer transparentBuffer(wl_shm* shm, int width, int height)
{
    if (width <= 0 || height <= 0 || width > INT32_MAX / 4 / height) {
        return nullptr;
    }
    const int stride = width * 4;
    const int size = stride * height;
    const int fd = ::memfd_create("quosh-hide", MFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    const std::unique_ptr<int, FdCloser> closer(new int(fd));
    if (::ftruncate(fd, size) != 0) {
        return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    if (!pool) {
        return nullptr;
    }
    Buffer buffer(wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888));
    // The buffer keeps the memory; the pool is no longer needed.
    wl_shm_pool_destroy(pool);
    return buffer;
}

// Shows `surface` fully transparent and waits for the compositor's next frame with it (where screenshots follow
// commits, only until the compositor has taken it); false when that could not be done or no frame came in time.
bool drawTransparent(QWidget& window, wl_display* display, wl_event_queue* queue, wl_surface* surface, Buffer& buffer)
{
    Globals globals;
    if (!readGlobals(display, queue, registryListener, &globals) || !globals.shm) {
        return false;
    }
    // The surface holds the window with the toolkit's frame around it, at the toolkit's whole buffer scale.
    const QWindow* handle = window.windowHandle();
    const int scale = static_cast<int>(std::ceil(handle->devicePixelRatio()));
    const QSize size = handle->frameGeometry().size() * scale;
    buffer = transparentBuffer(static_cast<wl_shm*>(globals.shm.get()), size.width(), size.height());
    if (!buffer) {
        return false;
    }
    const Wrapper surfaceWrapper = onQueue(surface, queue);
    if (!surfaceWrapper) {
        return false;
    }
    auto* onQueue = static_cast<wl_surface*>(surfaceWrapper.get());
    bool drawn = false;
    const Proxy frame(wl_surface_frame(onQueue));
    if (!frame) {
        return false;
    }
    wl_callback_add_listener(static_cast<wl_callback*>(frame.get()), &callbackListener, &drawn);
    wl_surface_attach(onQueue, buffer.get(), 0, 0);
    wl_surface_damage(onQueue, 0, 0, INT32_MAX, INT32_MAX);
    // An opaque region would let the compositor draw the pixels without their alpha.
    wl_surface_set_opaque_region(onQueue, nullptr);
    wl_surface_commit(onQueue);
    if (globals.screenshotsFollowCommits) {
        // No frame needs to be drawn first: once the commit is taken, a screenshot asked for next is taken without
        // the window. A busy compositor may take a second to draw its next frame.
        return roundTrip(display, queue);
    }
    return dispatchUntil(display, queue, drawn, Clock::now() + FrameTimeout);
}

// Holds a buffer that the compositor may still read, on the toolkit's own queue (this one's goes with the hide), until
// the window is hidden again or goes, while the connection is still there.
class BufferKeeper final : public QObject {
public:
    BufferKeeper(QObject* parent, Buffer buffer)
        : QObject(parent)
        , m_buffer(std::move(buffer))
    {
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(m_buffer.get()), nullptr);
        setObjectName(QStringLiteral("quosh-transparent-buffer"));
    }

private:
    Buffer m_buffer;
};

void keepUntilNextHide(QWidget& window, Buffer buffer)
{
    delete window.findChild<BufferKeeper*>(QStringLiteral("quosh-transparent-buffer"), Qt::FindDirectChildrenOnly);
    new BufferKeeper(&window, std::move(buffer));
}

} // namespace

void hideWaylandWindow(QWidget& window, wl_display* display, wl_surface* surface)
{
    const Queue queue(wl_display_create_queue(display));
    if (!queue) {
        window.hide();
        return;
    }
    // Kept until the compositor has taken the unmap: it may read the buffer until then.
    Buffer buffer;
    // Where no frame came, the window is hidden all the same: a covered window is not in the picture either.
    const bool transparentOnScreen = drawTransparent(window, display, queue.get(), surface, buffer);
    noteLaunchStep(transparentOnScreen ? "transparent frame drawn" : "no transparent frame");
    window.hide();
    if (transparentOnScreen) {
        // The screen shows nothing of the window already, and a close animation of a transparent picture shows
        // nothing either: the unmap is sent, but not waited for. GNOME Shell takes it only once its close animation
        // has run, a quarter of a second. The buffer is released once the compositor has had the unmap.
        keepUntilNextHide(window, std::move(buffer));
        wl_display_flush(display);
        return;
    }
    roundTrip(display, queue.get());
}

wl_display* toolkitWaylandDisplay()
{
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    return native ? static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display")) : nullptr;
}

wl_surface* toolkitWaylandSurface(QWidget& window)
{
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    QWindow* handle = window.windowHandle();
    return native && handle ? static_cast<wl_surface*>(native->nativeResourceForWindow("surface", handle)) : nullptr;
}
