#pragma once

#include "../py/object.hpp"

namespace norva::zones {

PyMethodDef register_physics_override_def();
PyMethodDef clear_physics_overrides_def();

}  // namespace norva::zones
