#include "platform/screen/wlroots/WlrScreencopy.h"

#include "platform/errors/Failure.h"
#include "platform/process/LaunchSteps.h"
#include "platform/screen/wayland/SharedMemory.h"
#include "platform/screen/wayland/WaylandQueue.h"
#include "platform/screen/wlroots/FrameRows.h"
#include "platform/screen/wlroots/ScreencopyFrame.h"
#include "platform/screen/wlroots/ScreencopyProtocol.h"

#include <QGuiApplication>
#include <QImage>
#include <QPoint>
#include <QScreen>
#include <qpa/qplatformnativeinterface.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

using namespace waylandqueue;
using namespace screencopy;
using namespace std::chrono_literals;

// The compositor describes the frame at once, and copies it with its next frame: a compositor that draws nothing for
// this long is not going to.
constexpr auto DescriptionTimeout = 1000ms;
constexpr auto CopyTimeout = 2000ms;

[[noreturn]] void fail(const QString& why)
{
    throw Failure(QStringLiteral("Cannot read the screen: the compositor's screencopy %1").arg(why));
}

// One shared-memory block the compositor copies frames into, mapped while any picture made from it lives.
using Mapping = SharedMemory;

struct BufferDeleter {
    void operator()(wl_buffer* buffer) const { wl_buffer_destroy(buffer); }
};
using Buffer = std::unique_ptr<wl_buffer, BufferDeleter>;

// An output of the program's own connection, where the toolkit is on X11: its place in the compositor's layout.
struct Output {
    Proxy proxy;
    int x = 0;
    int y = 0;
};

struct Globals {
    Proxy shm;
    Proxy manager;
    bool wantOutputs = false;
    std::vector<std::unique_ptr<Output>> outputs;
};

void outputGeometry(void* data, wl_output* /*output*/, int32_t x, int32_t y, int32_t /*mmWidth*/, int32_t /*mmHeight*/,
                    int32_t /*subpixel*/, const char* /*make*/, const char* /*model*/, int32_t /*transform*/)
{
    auto* output = static_cast<Output*>(data);
    output->x = x;
    output->y = y;
}
void outputMode(void* /*data*/, wl_output* /*output*/, uint32_t /*flags*/, int32_t /*width*/, int32_t /*height*/,
                int32_t /*refresh*/)
{}
const wl_output_listener outputListener{outputGeometry, outputMode, nullptr, nullptr, nullptr, nullptr};

void registryGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    auto* globals = static_cast<Globals*>(data);
    if (!globals->shm && std::strcmp(interface, wl_shm_interface.name) == 0) {
        globals->shm.reset(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    }
    if (globals->wantOutputs && std::strcmp(interface, wl_output_interface.name) == 0) {
        // Version 1: its place, which is all that is asked of it.
        auto output = std::make_unique<Output>();
        output->proxy.reset(wl_registry_bind(registry, name, &wl_output_interface, 1));
        if (output->proxy) {
            wl_output_add_listener(static_cast<wl_output*>(output->proxy.get()), &outputListener, output.get());
            globals->outputs.push_back(std::move(output));
        }
    }
    if (!globals->manager && std::strcmp(interface, managerInterface.name) == 0) {
        globals->manager.reset(
            wl_registry_bind(registry, name, &managerInterface, std::min<uint32_t>(version, managerInterface.version)));
    }
}
void registryGlobalRemove(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/) {}
const wl_registry_listener registryListener{registryGlobal, registryGlobalRemove};

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

struct WlrScreencopy::Connection {
    wl_display* display = nullptr;
    bool ownDisplay = false; // the program's own connection, where the toolkit is on X11
    Queue queue;
    Globals globals;
    // Memory frames are copied into, its description and the compositor's buffer on it.
    struct Slot {
        std::shared_ptr<Mapping> mapping;
        FrameLayout layout;
        Buffer buffer;
        bool isFree() const { return mapping.use_count() == 1; }
    };
    // Two, so that the picture of one capture may live on (the overlay keeps it until the next) while the next is
    // copied into the other; `current` is the one the last frame went to.
    std::vector<Slot> blocks;
    Slot* current = nullptr;

    ~Connection()
    {
        blocks.clear();
        if (globals.manager) {
            auto* manager = static_cast<wl_proxy*>(globals.manager.release());
            wl_proxy_marshal_flags(manager, ManagerDestroy, nullptr, wl_proxy_get_version(manager),
                                   WL_MARSHAL_FLAG_DESTROY);
        }
        globals.shm.reset();
        globals.outputs.clear();
        wl_display_flush(display);
        queue.reset();
        if (ownDisplay) {
            wl_display_disconnect(display);
        }
    }

    // A frame of `output` asked for, described by the compositor.
    Frame describe(wl_output* output, FrameState& state)
    {
        auto* manager = static_cast<wl_proxy*>(globals.manager.get());
        state.version = wl_proxy_get_version(manager);
        // overlay_cursor 0: the pointer is left out.
        Frame frame(
            wl_proxy_marshal_flags(manager, CaptureOutput, &frameInterface, state.version, 0, nullptr, 0, output));
        if (!frame) {
            fail(QStringLiteral("could not be asked for a frame"));
        }
        followFrame(frame.get(), state);
        if (!dispatchUntil(display, queue.get(), state.described, Clock::now() + DescriptionTimeout)) {
            fail(QStringLiteral("did not describe the output's frame within a second"));
        }
        if (state.failed) {
            fail(QStringLiteral("refused to copy the output's frame"));
        }
        if (!state.shmOffered) {
            fail(QStringLiteral("offered the output's frame only outside shared memory"));
        }
        if (const QString problem = screencopyFrameProblem(state.layout.format, state.layout.width, state.layout.height,
                                                           state.layout.stride);
            !problem.isEmpty()) {
            fail(problem);
        }
        return frame;
    }

    // Memory and a buffer for frames laid out as `wanted`, as `current`: one there already that no picture reads any
    // longer, else a new one in place of one that is free, or of the first where neither is (its memory stays mapped
    // for the picture that reads it).
    void provide(const FrameLayout& wanted)
    {
        for (Slot& slot : blocks) {
            if (slot.layout == wanted && slot.isFree()) {
                current = &slot;
                return;
            }
        }
        if (blocks.size() < 2) {
            blocks.emplace_back();
            current = &blocks.back();
        } else {
            current = blocks[0].isFree() || !blocks[1].isFree() ? &blocks[0] : &blocks[1];
        }
        Slot& slot = *current;
        slot.buffer.reset();
        slot.mapping.reset();
        auto memory = std::make_shared<Mapping>();
        memory->size = std::size_t{wanted.stride} * wanted.height;
        memory->fd = ::memfd_create("quosh-screencopy", MFD_CLOEXEC);
        if (memory->fd < 0 || ::ftruncate(memory->fd, static_cast<off_t>(memory->size)) != 0) {
            fail(QStringLiteral("could not be given memory of %1 bytes: %2").arg(memory->size).arg(systemError()));
        }
        // Populated now: fresh pages would otherwise be brought in one by one while the compositor copies.
        void* data = ::mmap(nullptr, memory->size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, memory->fd, 0);
        if (data == MAP_FAILED) {
            fail(QStringLiteral("could not map memory of %1 bytes: %2").arg(memory->size).arg(systemError()));
        }
        memory->data = data;
        const Wrapper shm = onQueue(globals.shm.get(), queue.get());
        wl_shm_pool* pool =
            shm ? wl_shm_create_pool(static_cast<wl_shm*>(shm.get()), memory->fd, static_cast<int32_t>(memory->size))
                : nullptr;
        if (!pool) {
            fail(QStringLiteral("could not share memory with the compositor"));
        }
        slot.buffer.reset(wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(wanted.width),
                                                    static_cast<int32_t>(wanted.height),
                                                    static_cast<int32_t>(wanted.stride), wanted.format));
        wl_shm_pool_destroy(pool);
        if (!slot.buffer) {
            fail(QStringLiteral("could not share memory with the compositor"));
        }
        slot.mapping = std::move(memory);
        slot.layout = wanted;
    }
};

std::unique_ptr<WlrScreencopy> WlrScreencopy::create(wl_display* display)
{
    return display ? start(display, false) : nullptr;
}

std::unique_ptr<WlrScreencopy> WlrScreencopy::connect()
{
    // WAYLAND_DISPLAY, or the socket the session hands down; nothing where there is none.
    wl_display* display = wl_display_connect(nullptr);
    return display ? start(display, true) : nullptr;
}

std::unique_ptr<WlrScreencopy> WlrScreencopy::start(wl_display* display, bool own)
{
    auto connection = std::make_unique<Connection>();
    connection->display = display;
    connection->ownDisplay = own;
    connection->globals.wantOutputs = own;
    connection->queue.reset(wl_display_create_queue(display));
    if (!connection->queue) {
        return nullptr;
    }
    // The globals, then the outputs' places.
    if (!readGlobals(display, connection->queue.get(), registryListener, &connection->globals, own ? 2 : 1)) {
        return nullptr;
    }
    if (!connection->globals.manager || !connection->globals.shm) {
        return nullptr;
    }
    return std::unique_ptr<WlrScreencopy>(new WlrScreencopy(std::move(connection)));
}

WlrScreencopy::WlrScreencopy(std::unique_ptr<Connection> connection)
    : m_connection(std::move(connection))
{}

WlrScreencopy::~WlrScreencopy() = default;

QString WlrScreencopy::pictureName() const
{
    return QStringLiteral("of the compositor's screencopy");
}

namespace {

wl_output* toolkitOutput(const QScreen& screen)
{
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    void* output = native ? native->nativeResourceForScreen("output", const_cast<QScreen*>(&screen)) : nullptr;
    if (!output) {
        fail(QStringLiteral("has no output for the screen %1").arg(screen.name()));
    }
    return static_cast<wl_output*>(output);
}

} // namespace

wl_output* WlrScreencopy::outputOf(const QScreen& screen) const
{
    const Connection& c = *m_connection;
    if (!c.ownDisplay) {
        return toolkitOutput(screen);
    }
    // XWayland lays its screens out where the compositor has its outputs, in the same logical pixels.
    const QPoint place = screen.geometry().topLeft();
    for (const auto& output : c.globals.outputs) {
        if (c.globals.outputs.size() == 1 || (output->x == place.x() && output->y == place.y())) {
            return static_cast<wl_output*>(output->proxy.get());
        }
    }
    fail(QStringLiteral("has no output at (%1, %2), where the screen %3 is")
             .arg(place.x())
             .arg(place.y())
             .arg(screen.name()));
}

void WlrScreencopy::warmUp(const QScreen& screen)
{
    try {
        FrameState state;
        const Frame frame = m_connection->describe(outputOf(screen), state);
        m_connection->provide(state.layout);
    } catch (const Failure&) {
        // The picture asked for later says why.
    }
}

QImage WlrScreencopy::picture(const QScreen& screen)
{
    Connection& c = *m_connection;
    FrameState state;
    const Frame frame = c.describe(outputOf(screen), state);
    c.provide(state.layout);
    wl_proxy_marshal_flags(static_cast<wl_proxy*>(frame.get()), Copy, nullptr, state.version, 0,
                           c.current->buffer.get());
    if (!dispatchUntil(c.display, c.queue.get(), state.finished, Clock::now() + CopyTimeout)) {
        fail(QStringLiteral("did not copy the output's frame within two seconds"));
    }
    if (state.failed) {
        fail(QStringLiteral("failed to copy the output's frame"));
    }
    noteLaunchStep("frame copied");
    const FrameLayout& layout = c.current->layout;
    auto* rows = static_cast<std::uint8_t*>(c.current->mapping->data);
    orderFrameRows(rows, static_cast<int>(layout.width), static_cast<int>(layout.height),
                   static_cast<int>(layout.stride), layout.format, (state.flags & FlagYInvert) != 0);
    // The picture reads the memory where it is, and keeps it mapped as long as it lives.
    auto* keep = new std::shared_ptr<Mapping>(c.current->mapping);
    return QImage(
        rows, static_cast<int>(layout.width), static_cast<int>(layout.height), static_cast<qsizetype>(layout.stride),
        QImage::Format_RGB32, [](void* info) { delete static_cast<std::shared_ptr<Mapping>*>(info); }, keep);
}
