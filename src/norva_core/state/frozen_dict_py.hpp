#pragma once

#include "../py/object.hpp"

namespace norva::state {

PyTypeObject* frozen_dict_type();

}  // namespace norva::state
