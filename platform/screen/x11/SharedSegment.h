#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// A System V shared-memory segment mapped into this process, unmapped when this object goes. It is marked for
// removal as soon as it is mapped, so the kernel frees it once the last process (this one or the X server) lets
// go, even after a crash.
class SharedSegment {
public:
    // Nothing when the system refuses a segment of that size.
    static std::unique_ptr<SharedSegment> create(std::size_t size);
    ~SharedSegment();
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    int id() const { return m_id; }
    std::uint8_t* data() const { return m_address; }
    std::size_t size() const { return m_size; }

    std::uint32_t serverId = 0; // the X server's name for the segment while it has it attached, else 0

private:
    SharedSegment(int id, std::uint8_t* address, std::size_t size);
    int m_id;
    std::uint8_t* m_address;
    std::size_t m_size;
};
