// The module's own exception types. Each is created once per process and shared by every raiser.
#pragma once

#include "../py/ref.hpp"

namespace norva::exc {

// Valid after module initialisation; never released.
extern PyObject* WriteTimeoutError;
extern PyObject* ContextError;
extern PyObject* SchemaViolationError;
extern PyObject* AuditBlockError;
extern PyObject* AuditAbortError;
extern PyObject* AuditStopError;
extern PyObject* AuditWarning;

// Create (once) the exception type named by the module attribute `short_name`.
PyObject* create(const char* short_name);

}  // namespace norva::exc
