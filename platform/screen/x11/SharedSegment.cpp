#include "platform/screen/x11/SharedSegment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

std::unique_ptr<SharedSegment> SharedSegment::create(std::size_t size)
{
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
        return nullptr;
    }
    void* address = shmat(id, nullptr, 0);
    // Linux lets the X server attach a segment already marked for removal; the mark makes sure nothing is left
    // behind whatever happens next.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) { // NOLINT(performance-no-int-to-ptr): shmat's failure value
        return nullptr;
    }
    return std::unique_ptr<SharedSegment>(new SharedSegment(id, static_cast<std::uint8_t*>(address), size));
}

SharedSegment::SharedSegment(int id, std::uint8_t* address, std::size_t size)
    : m_id(id)
    , m_address(address)
    , m_size(size)
{}

SharedSegment::~SharedSegment()
{
    shmdt(m_address);
}
