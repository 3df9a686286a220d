#pragma once

#include "../py/object.hpp"

namespace norva::config {

PyTypeObject* config_loader_type();

}  // namespace norva::config
