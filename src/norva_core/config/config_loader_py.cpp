// Python face of the schema-document checker.
#include "config_loader_py.hpp"

#include "../module/exceptions.hpp"
#include "../py/gil_mutex.hpp"
#include "schema_check.hpp"

namespace norva::config {

namespace {

struct ConfigLoader {};

void load_from_string(std::string_view content) {
    // The text stays alive through the borrowed argument, and checking it touches no Python
    // object, so other threads may run meanwhile.
    std::exception_ptr failure;
    {
        py::AllowThreads nogil;
        try {
            check_schema(content);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (!failure) return;
    try {
        std::rethrow_exception(failure);
    } catch (const ConfigError& e) {
        throw py::error(exc::SchemaViolationError, py::fmt("Config Error: {}", e.what()));
    }
}

}  // namespace

PyTypeObject* config_loader_type() {
    return py::define_class<ConfigLoader>({
        .name = "norva_core.ConfigLoader",
        .methods = {py::static_method<load_from_string>("load_from_string(content)")},
    });
}

}  // namespace norva::config
