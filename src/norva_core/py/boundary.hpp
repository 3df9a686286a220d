// The one place where C++ exceptions become Python exceptions. Every function that Python calls
// runs its body inside `guarded`, so algorithms can simply throw.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>

namespace py {

// Raise `e` as the current Python exception.
inline void set_error(const error& e) {
    PyObject* msg = PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (msg == nullptr) return;  // the decode error is now set instead
    PyErr_SetObject(e.type, msg);
    Py_DECREF(msg);
}

// Run `body` and translate whatever it throws. `failed` is what a C slot returns on error
// (NULL for object results, -1 for int results).
template <class Failed, class F>
auto guarded(Failed failed, F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const error_already_set&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const error& e) {
        set_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native exception");
    }
    return failed;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* { return body(); });
}

}  // namespace py
