#pragma once

#include "../py/object.hpp"

namespace norva {

PyTypeObject* supervisor_core_type();

}  // namespace norva
