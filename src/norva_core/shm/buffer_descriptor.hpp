// BufferDescriptor: the record another process needs to find a shared-memory buffer and rebuild a
// typed view of it. It carries no memory and checks nothing about the segment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norva::shm {

struct BufferDescriptor {
    std::string name;   // OS name of the segment
    std::uint64_t size; // bytes
    std::vector<std::uint64_t> shape;
    std::string dtype;

    // "<BufferDescriptor name='buf' size=48 shape=[2, 3] dtype='float64'>"
    std::string repr() const;
};

}  // namespace norva::shm
