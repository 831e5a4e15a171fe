#include "platform/screen/x11/SegmentPool.h"

#include "platform/screen/x11/SharedSegment.h"

#include <QCoreApplication>
#include <QThread>

#include <xcb/shm.h>
#include <xcb/xcb.h>

SegmentPool::SegmentPool(xcb_connection_t* connection)
    : m_connection(connection)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(kDefaultSpareLifetime);
    QObject::connect(&m_idle, &QTimer::timeout, &m_idle, [this] { release(std::move(m_spare)); });
}

SegmentPool::~SegmentPool()
{
    release(std::move(m_spare));
}

std::unique_ptr<SharedSegment> SegmentPool::take(std::size_t size)
{
    if (m_spare && m_spare->size() >= size) {
        return std::move(m_spare);
    }
    release(std::move(m_spare));
    return SharedSegment::create(size);
}

void SegmentPool::giveBack(std::unique_ptr<SharedSegment> segment)
{
    if (m_spare && m_spare->size() >= segment->size()) {
        release(std::move(segment));
    } else {
        release(std::move(m_spare));
        m_spare = std::move(segment);
    }
    keepSpare();
}

void SegmentPool::release(std::unique_ptr<SharedSegment> segment)
{
    if (segment && segment->serverId != 0) {
        xcb_shm_detach(m_connection, segment->serverId);
        xcb_flush(m_connection);
    }
}

std::size_t SegmentPool::spareSize() const
{
    return m_spare ? m_spare->size() : 0;
}

void SegmentPool::keepSpare()
{
    if (m_spare && QCoreApplication::instance() && QThread::currentThread() == m_idle.thread()) {
        m_idle.start();
    }
}

SharedMemoryStorage::SharedMemoryStorage(std::unique_ptr<SharedSegment> segment, std::weak_ptr<SegmentPool> pool)
    : m_segment(std::move(segment))
    , m_pool(std::move(pool))
{}

SharedMemoryStorage::~SharedMemoryStorage()
{
    if (const auto pool = m_pool.lock()) {
        pool->giveBack(std::move(m_segment));
    }
}

std::uint8_t* SharedMemoryStorage::data()
{
    return m_segment->data();
}
