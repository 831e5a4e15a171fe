#pragma once

#include <cstddef>

// Memory shared with the compositor: the file that holds it and its mapping, both let go with it.
struct SharedMemory {
    int fd = -1;
    void* data = nullptr; // the mapping; null while there is none
    std::size_t size = 0;

    SharedMemory() = default;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();
};
