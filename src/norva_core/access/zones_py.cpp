// Python face of the physics-override registry: the two module-level functions.
#include "zones_py.hpp"

#include "zones.hpp"

namespace norva::zones {

namespace {

void py_register_physics_override(std::string_view path, std::uint8_t caps) { register_physics_override(path, caps); }

void py_clear_physics_overrides() { clear_physics_overrides(); }

}  // namespace

PyMethodDef register_physics_override_def() {
    return py::function<py_register_physics_override>("register_physics_override(path, caps)");
}

PyMethodDef clear_physics_overrides_def() { return py::function<py_clear_physics_overrides>("clear_physics_overrides()"); }

}  // namespace norva::zones
