#pragma once

#include "../py/object.hpp"

namespace norva::shm {

PyTypeObject* buffer_descriptor_type();

}  // namespace norva::shm
