// Owning references and the error vocabulary shared by every binding in the module.
//
// Algorithm code never calls Py_DECREF by hand: a `Ref` owns exactly one reference and drops it
// when it goes out of scope, so early returns and exceptions cannot leak. Python errors travel as
// C++ exceptions up to the boundary (see `guarded` in boundary.hpp), which turns them back into
// "exception set, return NULL".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace py {

// Thrown when the Python error indicator is already set (a C-API call failed).
struct error_already_set {};

// A Python exception that has not been raised yet: its type and its message. The boundary sets it.
struct error {
    PyObject* type;
    std::string message;
    error(PyObject* t, std::string m) : type(t), message(std::move(m)) {}
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Take over a reference the caller owns.
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Add a reference of our own to an object someone else owns.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Wrap the result of a C-API call returning a new reference, or NULL with an exception set.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw error_already_set{};
    return Ref::steal(p);
}

// For C-API calls returning -1 on failure.
inline int check_status(int rc) {
    if (rc < 0) throw error_already_set{};
    return rc;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

inline Ref str(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

}  // namespace py
