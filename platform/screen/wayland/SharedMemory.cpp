#include "platform/screen/wayland/SharedMemory.h"

#include <sys/mman.h>
#include <unistd.h>

SharedMemory::~SharedMemory()
{
    if (data) {
        ::munmap(data, size);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}
