#include "frozen_dict.hpp"

namespace norva::state {

namespace {

// Nested containers are walked natively; the interpreter's recursion guard turns a too-deep
// nesting into RecursionError instead of a native stack overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace

bool values_equal(PyObject* a, PyObject* b) {
    py::Ref result = py::check(PyObject_RichCompare(a, b, Py_EQ));
    int truth = PyObject_IsTrue(result.get());
    if (truth >= 0) return truth == 1;
    PyErr_Clear();
    py::Ref all = py::Ref::steal(PyObject_CallMethod(result.get(), "all", nullptr));
    if (!all) {
        PyErr_Clear();
        return false;
    }
    return py::check_status(PyObject_IsTrue(all.get())) == 1;
}

bool dicts_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    RecursionGuard guard(" while comparing FrozenDict values");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(a, &pos, &key, &value)) {
        // Hold our own references: comparing runs Python code that may change either dict.
        py::Ref k = py::Ref::borrow(key), v = py::Ref::borrow(value);
        PyObject* other = PyDict_GetItemWithError(b, k.get());
        if (other == nullptr) {
            if (PyErr_Occurred()) PyErr_Clear();  // a failing lookup counts as unequal
            return false;
        }
        py::Ref o = py::Ref::borrow(other);
        if (!values_equal(v.get(), o.get())) return false;
    }
    return true;
}

py::Ref deep_merge_cow(PyObject* base, PyObject* update) {
    if (!PyDict_Check(base)) return py::check(PyDict_Copy(update));
    RecursionGuard guard(" while merging nested dicts");
    py::Ref result = py::check(PyDict_Copy(base));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(update, &pos, &key, &value)) {
        py::Ref k = py::Ref::borrow(key), v = py::Ref::borrow(value);
        PyObject* held = PyDict_GetItemWithError(result.get(), k.get());
        if (held == nullptr && PyErr_Occurred()) throw py::error_already_set{};
        if (held != nullptr && PyDict_Check(held) && PyDict_Check(v.get())) {
            py::Ref h = py::Ref::borrow(held);
            py::Ref merged = deep_merge_cow(h.get(), v.get());
            py::check_status(PyDict_SetItem(result.get(), k.get(), merged.get()));
        } else {
            py::check_status(PyDict_SetItem(result.get(), k.get(), v.get()));
        }
    }
    return result;
}

}  // namespace norva::state
