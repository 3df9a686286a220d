#include "buffer_descriptor.hpp"

#include "../py/text.hpp"

namespace norva::shm {

std::string BufferDescriptor::repr() const {
    std::string dims = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) dims += ", ";
        dims += std::to_string(shape[i]);
    }
    dims += "]";
    return py::fmt("<BufferDescriptor name='{}' size={} shape={} dtype='{}'>", name, size, dims, dtype);
}

}  // namespace norva::shm
