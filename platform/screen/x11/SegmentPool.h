#pragma once

#include "platform/screen/PixelBuffer.h"

#include <QTimer>

#include <chrono>
#include <cstddef>
#include <memory>

class SharedSegment;
struct xcb_connection_t;

// Keeps the segment of the last grab once its picture is gone, attached to the server, so that the next grab
// neither makes a new segment nor faults in fresh pages. A segment is only ever in one place: here or in one
// picture. One that lies here unused for the spare lifetime is let go: a screenful of memory is too much to hold
// for a grab that may never come.
class SegmentPool {
public:
    explicit SegmentPool(xcb_connection_t* connection);
    ~SegmentPool();
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;

    // The spare when it is large enough, else a new segment (not attached yet); nothing when the system refuses one.
    std::unique_ptr<SharedSegment> take(std::size_t size);
    void giveBack(std::unique_ptr<SharedSegment> segment);
    // Detaches the segment from the server; the segment itself goes with the pointer.
    void release(std::unique_ptr<SharedSegment> segment);
    std::size_t spareSize() const;
    // Starts the spare's lifetime again. Without an event loop on this thread nothing would ever end it; the spare
    // then simply stays, as it always did.
    void keepSpare();
    void setSpareLifetime(std::chrono::milliseconds lifetime) { m_idle.setInterval(lifetime); }

private:
    static constexpr std::chrono::seconds kDefaultSpareLifetime{30};
    xcb_connection_t* m_connection; // outlives the pool
    std::unique_ptr<SharedSegment> m_spare;
    QTimer m_idle;
};

// Pixels in a shared-memory segment. The segment goes back to the pool while the screen lives; after that it is
// unmapped here, and the kernel frees it once the server lets go too, which it does when the connection closes.
class SharedMemoryStorage final : public PixelStorage {
public:
    SharedMemoryStorage(std::unique_ptr<SharedSegment> segment, std::weak_ptr<SegmentPool> pool);
    ~SharedMemoryStorage() override;
    SharedMemoryStorage(const SharedMemoryStorage&) = delete;
    SharedMemoryStorage& operator=(const SharedMemoryStorage&) = delete;
    std::uint8_t* data() override;

private:
    std::unique_ptr<SharedSegment> m_segment;
    std::weak_ptr<SegmentPool> m_pool;
};
