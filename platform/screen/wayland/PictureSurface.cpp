#include "platform/screen/wayland/PictureSurface.h"

#include "platform/screen/PixelBuffer.h"
#include "platform/screen/wayland/SharedMemory.h"
#include "platform/screen/wayland/ViewporterProtocol.h"
#include "platform/screen/wayland/WaylandQueue.h"

#include <QRect>
#include <QSize>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

using namespace waylandqueue;
using namespace std::chrono_literals;

// A compositor releases a buffer once it has taken the next one, within a frame or two; while it keeps both, the band
// stays where it was until the next move.
constexpr auto ReleaseTimeout = 100ms;

// Objects whose interface's first request destroys them: wl_surface, wl_subsurface, wl_buffer, wl_subcompositor,
// wp_viewporter, wp_viewport.
struct DestroyFirst {
    void operator()(void* object) const
    {
        auto* proxy = static_cast<wl_proxy*>(object);
        wl_proxy_marshal_flags(proxy, 0, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
    }
};
using Object = std::unique_ptr<void, DestroyFirst>;

struct Globals {
    Proxy compositor; // wl_compositor and wl_shm version 1 have no destructor request
    Proxy shm;
    Object subcompositor;
    Object viewporter;
};

void registryGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    auto* globals = static_cast<Globals*>(data);
    const auto is = [interface](const wl_interface& known) { return std::strcmp(interface, known.name) == 0; };
    // From version 4 on, damage is told in buffer pixels.
    if (!globals->compositor && is(wl_compositor_interface) && version >= 4) {
        globals->compositor.reset(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (!globals->shm && is(wl_shm_interface)) {
        globals->shm.reset(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (!globals->subcompositor && is(wl_subcompositor_interface)) {
        globals->subcompositor.reset(wl_registry_bind(registry, name, &wl_subcompositor_interface, 1));
    } else if (!globals->viewporter && is(viewporter::viewporterInterface)) {
        globals->viewporter.reset(wl_registry_bind(registry, name, &viewporter::viewporterInterface, 1));
    }
}
void registryGlobalRemove(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/) {}
const wl_registry_listener registryListener{registryGlobal, registryGlobalRemove};

// Rows that belong to the shared memory, seen as a pixel buffer.
class SharedRows final : public PixelStorage {
public:
    explicit SharedRows(std::uint8_t* data)
        : m_data(data)
    {}
    std::uint8_t* data() override { return m_data; }

private:
    std::uint8_t* m_data;
};

// One of the two buffers.
struct Slot {
    Object buffer;
    PixelBuffer pixels;
    QRegion band;        // the strips drawn on it
    bool free = true;    // not held by the compositor
    bool filled = false; // holds the picture
};

void bufferReleased(void* data, wl_buffer* /*buffer*/)
{
    static_cast<Slot*>(data)->free = true;
}
const wl_buffer_listener bufferListener{bufferReleased};

void copyRows(PixelBuffer& target, const PixelBuffer& picture, const QRect& rect)
{
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        std::memcpy(target.row(y) + std::ptrdiff_t{rect.x()} * 4, picture.row(y) + std::ptrdiff_t{rect.x()} * 4,
                    std::size_t(rect.width()) * 4);
    }
}

} // namespace

struct PictureSurface::State {
    wl_display* display = nullptr;
    const PixelBuffer* picture = nullptr;
    QSize logical; // the surface's size
    QSize buffer;  // the picture and, past the output's end, black
    Queue queue;
    Globals globals;
    SharedMemory memory;
    std::array<Slot, 2> buffers;
    Object surface;
    Object subsurface;
    Object viewport;
    int shown = 0; // the slot last handed to the compositor

    ~State()
    {
        viewport.reset();
        subsurface.reset();
        surface.reset();
        wl_display_flush(display);
    }

    void fill(Slot& slot)
    {
        copyRows(slot.pixels, *picture, QRect(0, 0, picture->width(), picture->height()));
        slot.filled = true;
        slot.band = QRegion();
    }

    // Two buffers in one block of shared memory; the first holds the picture.
    bool share()
    {
        const int stride = buffer.width() * 4;
        const std::size_t block = std::size_t(stride) * std::size_t(buffer.height());
        memory.size = 2 * block;
        memory.fd = ::memfd_create("quosh-picture", MFD_CLOEXEC);
        if (memory.fd < 0 || ::ftruncate(memory.fd, static_cast<off_t>(memory.size)) != 0) {
            return false;
        }
        void* data = ::mmap(nullptr, memory.size, PROT_READ | PROT_WRITE, MAP_SHARED, memory.fd, 0);
        if (data == MAP_FAILED) {
            return false;
        }
        memory.data = data;
        wl_shm_pool* pool =
            wl_shm_create_pool(static_cast<wl_shm*>(globals.shm.get()), memory.fd, static_cast<int32_t>(memory.size));
        if (!pool) {
            return false;
        }
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            Slot& slot = buffers[i];
            auto* rows = static_cast<std::uint8_t*>(memory.data) + i * block;
            slot.pixels = PixelBuffer(picture->width(), picture->height(), PixelFormat::Bgrx32, stride,
                                      std::make_unique<SharedRows>(rows));
            // XRGB8888 is B, G, R, X in memory: the picture's own layout.
            slot.buffer.reset(wl_shm_pool_create_buffer(pool, static_cast<int32_t>(i * block), buffer.width(),
                                                        buffer.height(), stride, WL_SHM_FORMAT_XRGB8888));
            if (slot.buffer) {
                wl_buffer_add_listener(static_cast<wl_buffer*>(slot.buffer.get()), &bufferListener, &slot);
            }
        }
        wl_shm_pool_destroy(pool);
        if (!buffers[0].buffer || !buffers[1].buffer) {
            return false;
        }
        fill(buffers[0]);
        return true;
    }

    // The surface above `parent`, from its top-left corner on, the buffer laid over its logical size.
    bool lay(wl_surface* parent)
    {
        auto* compositor = static_cast<wl_compositor*>(globals.compositor.get());
        surface.reset(wl_compositor_create_surface(compositor));
        auto* own = static_cast<wl_surface*>(surface.get());
        subsurface.reset(own ? wl_subcompositor_get_subsurface(
                                   static_cast<wl_subcompositor*>(globals.subcompositor.get()), own, parent)
                             : nullptr);
        auto* viewporter = static_cast<wl_proxy*>(globals.viewporter.get());
        viewport.reset(own ? wl_proxy_marshal_flags(viewporter, viewporter::GetViewport, &viewporter::viewportInterface,
                                                    1, 0, nullptr, own)
                           : nullptr);
        wl_region* none = wl_compositor_create_region(compositor);
        wl_region* whole = wl_compositor_create_region(compositor);
        if (!subsurface || !viewport || !none || !whole) {
            return false;
        }
        auto* sub = static_cast<wl_subsurface*>(subsurface.get());
        wl_subsurface_place_above(sub, parent);
        // Its commits show at once, so that the band follows the pointer without waiting for the window's next frame;
        // nothing shows before the window's first frame, which maps both.
        wl_subsurface_set_desync(sub);
        // The pointer stays with the window under it.
        wl_surface_set_input_region(own, none);
        wl_region_destroy(none);
        wl_region_add(whole, 0, 0, logical.width(), logical.height());
        wl_surface_set_opaque_region(own, whole);
        wl_region_destroy(whole);
        // At buffer scale 1 (the default) the viewport alone decides the size.
        wl_proxy_marshal_flags(static_cast<wl_proxy*>(viewport.get()), viewporter::SetDestination, nullptr, 1, 0,
                               logical.width(), logical.height());
        present(0, QRegion(QRect(QPoint(0, 0), buffer)));
        return true;
    }

    void present(int index, const QRegion& damage)
    {
        Slot& slot = buffers[static_cast<std::size_t>(index)];
        auto* own = static_cast<wl_surface*>(surface.get());
        wl_surface_attach(own, static_cast<wl_buffer*>(slot.buffer.get()), 0, 0);
        // Told exactly, KWin at 1.75 left a pixel of an old line on the screen: it keeps damage in whole logical
        // pixels. Each rectangle is told a logical pixel larger on every side.
        const int margin = (buffer.width() + logical.width() - 1) / logical.width();
        for (const QRect& changed : damage) {
            const QRect rect = changed.adjusted(-margin, -margin, margin, margin) & QRect(QPoint(0, 0), buffer);
            wl_surface_damage_buffer(own, rect.x(), rect.y(), rect.width(), rect.height());
        }
        wl_surface_commit(own);
        slot.free = false;
        shown = index;
        wl_display_flush(display);
    }
};

PictureSurface::PictureSurface(std::unique_ptr<State> state)
    : m_state(std::move(state))
{}

PictureSurface::~PictureSurface() = default;

std::unique_ptr<PictureSurface> PictureSurface::create(wl_display* display, wl_surface* parent, const QSize& logical,
                                                       const PixelBuffer& picture)
{
    if (!display || !parent || logical.isEmpty() || picture.isNull() || picture.format() != PixelFormat::Bgrx32) {
        return nullptr;
    }
    // Two buffers in one pool, whose size is a 32-bit number.
    const PictureSpan across = pictureSpan(picture.width(), logical.width());
    const PictureSpan down = pictureSpan(picture.height(), logical.height());
    if (across.pixels > INT32_MAX / 8 / down.pixels) {
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->display = display;
    state->picture = &picture;
    state->logical = QSize(across.logical, down.logical);
    state->buffer = QSize(across.pixels, down.pixels);
    state->queue.reset(wl_display_create_queue(display));
    if (!state->queue) {
        return nullptr;
    }
    if (!readGlobals(display, state->queue.get(), registryListener, &state->globals)) {
        return nullptr;
    }
    const Globals& globals = state->globals;
    if (!globals.compositor || !globals.shm || !globals.subcompositor || !globals.viewporter || !state->share() ||
        !state->lay(parent)) {
        return nullptr;
    }
    return std::unique_ptr<PictureSurface>(new PictureSurface(std::move(state)));
}

void PictureSurface::showBand(const QRegion& strips, QRgb colour)
{
    State& state = *m_state;
    const QRegion band = strips & QRect(0, 0, state.picture->width(), state.picture->height());
    const int shown = state.shown;
    if (band == state.buffers[static_cast<std::size_t>(shown)].band) {
        return;
    }
    Slot& next = state.buffers[static_cast<std::size_t>(1 - shown)];
    if (!next.free && wl_display_dispatch_queue_pending(state.display, state.queue.get()) >= 0 && !next.free) {
        dispatchUntil(state.display, state.queue.get(), next.free, Clock::now() + ReleaseTimeout);
    }
    if (!next.free) {
        return;
    }
    if (!next.filled) {
        state.fill(next);
    }
    redrawBand(next.pixels, *state.picture, next.band, band, colour);
    next.band = band;
    // What differs from the buffer on the screen: its band and this one.
    state.present(1 - shown, state.buffers[static_cast<std::size_t>(shown)].band + band);
}

PictureSpan pictureSpan(int pixels, int logical)
{
    const PictureSpan window{logical, pixels};
    if (pixels <= 0 || logical <= 0) {
        return window;
    }
    const double scale = std::round(120.0 * pixels / logical) / 120;
    if (scale <= 0 || std::abs(pixels / scale - logical) >= 1) {
        return window;
    }
    // A scale of k/120 turns every (120 / gcd(k, 120))th length into whole pixels.
    const int least = static_cast<int>(std::ceil(pixels / scale - 1e-9));
    for (int span = least; span < least + 120; ++span) {
        const double covered = span * scale;
        if (std::abs(covered - std::round(covered)) < 1e-6) {
            return {span, static_cast<int>(std::lround(covered))};
        }
    }
    return window;
}

void redrawBand(PixelBuffer& target, const PixelBuffer& picture, const QRegion& before, const QRegion& after,
                QRgb colour)
{
    if (target.format() != PixelFormat::Bgrx32 || picture.format() != PixelFormat::Bgrx32 ||
        target.width() != picture.width() || target.height() != picture.height()) {
        return;
    }
    const QRect whole(0, 0, picture.width(), picture.height());
    for (const QRect& rect : before& whole) {
        copyRows(target, picture, rect);
    }
    const std::array<std::uint8_t, 4> pixel{static_cast<std::uint8_t>(qBlue(colour)),
                                            static_cast<std::uint8_t>(qGreen(colour)),
                                            static_cast<std::uint8_t>(qRed(colour)), 0};
    for (const QRect& rect : after& whole) {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                std::memcpy(target.row(y) + std::ptrdiff_t{x} * 4, pixel.data(), pixel.size());
            }
        }
    }
}
