#include "exceptions.hpp"

#include <cstring>

namespace norva::exc {

PyObject* WriteTimeoutError = nullptr;
PyObject* ContextError = nullptr;
PyObject* SchemaViolationError = nullptr;
PyObject* AuditBlockError = nullptr;
PyObject* AuditAbortError = nullptr;
PyObject* AuditStopError = nullptr;
PyObject* AuditWarning = nullptr;

namespace {

struct Row {
    const char* short_name;
    const char* qualified;  // where the type says it lives when printed
    PyObject** slot;
    PyObject* (*base)();
};

// ContextError and SchemaViolationError belong to this module but present themselves as part of
// the host package, where its users import them from.
const Row rows[] = {
    {"WriteTimeoutError", "norva_core.WriteTimeoutError", &WriteTimeoutError, [] { return PyExc_TimeoutError; }},
    {"ContextError", "norva.structures.ContextError", &ContextError, [] { return PyExc_Exception; }},
    {"SchemaViolationError", "norva.config.SchemaViolationError", &SchemaViolationError, [] { return PyExc_Exception; }},
    {"AuditBlockError", "norva_core.AuditBlockError", &AuditBlockError, [] { return PyExc_RuntimeError; }},
    {"AuditAbortError", "norva_core.AuditAbortError", &AuditAbortError, [] { return PyExc_RuntimeError; }},
    {"AuditStopError", "norva_core.AuditStopError", &AuditStopError, [] { return PyExc_RuntimeError; }},
    {"AuditWarning", "norva_core.AuditWarning", &AuditWarning, [] { return PyExc_UserWarning; }},
};

}  // namespace

PyObject* create(const char* short_name) {
    for (const Row& row : rows) {
        if (std::strcmp(row.short_name, short_name) != 0) continue;
        if (*row.slot == nullptr) {
            PyObject* type = PyErr_NewExceptionWithDoc(row.qualified, nullptr, row.base(), nullptr);
            if (type == nullptr) {
                PyErr_Clear();
                PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
                throw py::error_already_set{};
            }
            *row.slot = type;
        }
        return *row.slot;
    }
    PyErr_Format(PyExc_SystemError, "unknown exception type %s", short_name);
    throw py::error_already_set{};
}

}  // namespace norva::exc
