#pragma once

#include "../py/object.hpp"

namespace norva::state {

PyTypeObject* state_type();
PyTypeObject* meta_log_entry_type();

}  // namespace norva::state
