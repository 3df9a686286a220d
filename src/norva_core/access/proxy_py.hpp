#pragma once

#include "../py/object.hpp"

namespace norva::access {

PyTypeObject* supervisor_proxy_type();

}  // namespace norva::access
