// Conversions between Python objects and the C++ types that method signatures use.
//
// `from_python<T>(obj)` converts one object or throws a py::error with the standard text
// "'{}' object cannot be converted to '{}'" (or an OverflowError for out-of-range integers). The
// argument parser wraps these texts as "argument '{}': {}"; code that converts values that are
// not arguments (dict keys, list elements) gets the bare text.
#pragma once

#include "text.hpp"

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace py {

[[noreturn]] inline void conversion_error(PyObject* obj, std::string_view expected) {
    throw error(PyExc_TypeError, fmt("'{}' object cannot be converted to '{}'", type_name(obj), expected));
}

// Typed views on borrowed arguments. They only check the type; the object stays borrowed.
struct Dict {
    PyObject* obj;
};
struct List {
    PyObject* obj;
};
struct Tuple {
    PyObject* obj;
};

template <class T>
struct FromPython;  // specialised below

template <class T>
T from_python(PyObject* obj) {
    return FromPython<T>::convert(obj);
}

template <>
struct FromPython<PyObject*> {
    static PyObject* convert(PyObject* obj) { return obj; }
};

template <>
struct FromPython<std::string_view> {
    static std::string_view convert(PyObject* obj) {
        if (!PyUnicode_Check(obj)) conversion_error(obj, "PyString");
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (p == nullptr) throw error_already_set{};
        return {p, static_cast<std::size_t>(n)};
    }
};

template <>
struct FromPython<std::string> {
    static std::string convert(PyObject* obj) { return std::string(FromPython<std::string_view>::convert(obj)); }
};

template <>
struct FromPython<bool> {
    static bool convert(PyObject* obj) {
        if (!PyBool_Check(obj)) conversion_error(obj, "PyBool");
        return obj == Py_True;
    }
};

template <>
struct FromPython<double> {
    static double convert(PyObject* obj) {
        if (!PyFloat_Check(obj) && !PyLong_Check(obj)) conversion_error(obj, "PyFloat");
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) throw error_already_set{};
        return v;
    }
};

template <std::integral T>
    requires(!std::same_as<T, bool>)
struct FromPython<T> {
    static T convert(PyObject* obj) {
        // Anything with __index__ is an integer to Python; floats and strings are not.
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                throw error(PyExc_TypeError, fmt("'{}' object cannot be interpreted as an integer", type_name(obj)));
            }
            throw error_already_set{};
        }
        int overflow = 0;
        if constexpr (std::is_signed_v<T>) {
            long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (v == -1 && PyErr_Occurred()) throw error_already_set{};
            if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
                throw error(PyExc_OverflowError, "out of range integral type conversion attempted");
            return static_cast<T>(v);
        } else {
            long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (small == -1 && PyErr_Occurred()) throw error_already_set{};
            if (overflow < 0 || (overflow == 0 && small < 0))
                throw error(PyExc_OverflowError, "can't convert negative int to unsigned");
            unsigned long long v = overflow == 0 ? static_cast<unsigned long long>(small)
                                                 : PyLong_AsUnsignedLongLong(index.get());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                throw error(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
            if (v > std::numeric_limits<T>::max())
                throw error(PyExc_OverflowError, "out of range integral type conversion attempted");
            return static_cast<T>(v);
        }
    }
};

template <class T>
struct FromPython<std::optional<T>> {
    static std::optional<T> convert(PyObject* obj) {
        if (obj == Py_None) return std::nullopt;
        return FromPython<T>::convert(obj);
    }
};

template <>
struct FromPython<Dict> {
    static Dict convert(PyObject* obj) {
        if (!PyDict_Check(obj)) conversion_error(obj, "PyDict");
        return {obj};
    }
};

template <>
struct FromPython<List> {
    static List convert(PyObject* obj) {
        if (!PyList_Check(obj)) conversion_error(obj, "PyList");
        return {obj};
    }
};

template <>
struct FromPython<Tuple> {
    static Tuple convert(PyObject* obj) {
        if (!PyTuple_Check(obj)) conversion_error(obj, "PyTuple");
        return {obj};
    }
};

// ---- results ------------------------------------------------------------------------------

inline Ref to_python_value(Ref r) { return r; }
inline Ref to_python_value(bool b) { return boolean(b); }
inline Ref to_python_value(std::string_view s) { return str(s); }
inline Ref to_python_value(const std::string& s) { return str(s); }
inline Ref to_python_value(double d) { return check(PyFloat_FromDouble(d)); }
template <std::integral T>
    requires(!std::same_as<T, bool>)
Ref to_python_value(T v) {
    if constexpr (std::is_signed_v<T>) return check(PyLong_FromLongLong(v));
    else return check(PyLong_FromUnsignedLongLong(v));
}
template <class T>
Ref to_python_value(const std::optional<T>& v) {
    return v ? to_python_value(*v) : none();
}

}  // namespace py
