// Differences between the CPython versions the module supports, in one place.
#pragma once

#include "ref.hpp"

namespace py {

// Look an attribute up without creating an exception object when it is missing: returns 1 and
// sets `*out` when found, 0 when missing, -1 with an exception set on other errors.
inline int optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

inline int optional_attr(PyObject* obj, const char* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttrString(obj, name, out);
#else
    Ref n = check(PyUnicode_InternFromString(name));
    return _PyObject_LookupAttr(obj, n.get(), out);
#endif
}

// True when `obj` has the attribute; lookup errors count as absence.
inline bool has_attr(PyObject* obj, const char* name) {
    PyObject* out = nullptr;
    int r = optional_attr(obj, name, &out);
    Py_XDECREF(out);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

}  // namespace py

// An interned str for a fixed name, created once per process (names used on hot paths).
#define NORVA_ID(text)                                                   \
    ([]() -> PyObject* {                                                 \
        static PyObject* interned_ = PyUnicode_InternFromString(text);   \
        return interned_;                                                \
    }())
