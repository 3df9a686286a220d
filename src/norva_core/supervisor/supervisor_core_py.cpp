// Python face of SupervisorCore.
#include "supervisor_core_py.hpp"

#include "supervisor_core.hpp"

namespace norva {

namespace {

SupervisorCore make() { return SupervisorCore{}; }

py::Ref read(SupervisorCore& self, std::string_view key) { return self.read(key); }
void write(SupervisorCore& self, std::string_view key, PyObject* val) { self.write(key, val); }
std::optional<std::uint64_t> get_version(SupervisorCore& self, std::string_view key) { return self.get_version(key); }
bool contains(SupervisorCore& self, std::string_view key) { return self.contains(key); }
bool remove(SupervisorCore& self, std::string_view key) { return self.remove(key); }

py::Ref keys(SupervisorCore& self) {
    return py::list_of(self.keys(), [](const std::string& k) { return py::str(k); });
}

}  // namespace

PyTypeObject* supervisor_core_type() {
    return py::define_class<SupervisorCore, make>({
        .name = "norva_core.SupervisorCore",
        .signature = "()",
        .doc = "SupervisorCore - The central state manager using references",
        .methods =
            {
                py::method<read>("read($self, key)", "Read a value by key - returns reference (zero-copy)"),
                py::method<write>("write($self, key, val)", "Write a value by key (creates if not exists)"),
                py::method<get_version>("get_version($self, key)", "Get version for a key"),
                py::method<contains>("contains($self, key)", "Check if key exists"),
                py::method<keys>("keys($self)", "Get all keys"),
                py::method<remove>("remove($self, key)", "Remove a key"),
            },
    });
}

}  // namespace norva
