// Signature texts as the single declaration of a callable's parameters.
//
// A method is declared once, by the text CPython shows for it ("transaction($self,
// write_timeout_ms=5000)") and the C++ function that implements it. The text becomes the
// `__text_signature__` docstring; parsed once at type creation, it also gives the parameter names,
// which are required, and their defaults, from which the argument parser works. The C++ parameter
// types decide the conversions. So the names, the defaults users see and the defaults the code
// uses cannot drift apart.
#pragma once

#include "convert.hpp"

#include <vector>

namespace py {

struct Param {
    std::string name;
    Ref name_obj;          // interned, for fast keyword matching
    std::string shown;     // default as written in the signature ("" when required)
    bool required = true;
    bool empty_default = false;  // shown as "...": the C++ type's empty value
    Ref default_value;     // the default as a Python object (None, an int, a bool, a str)
};

struct Signature {
    std::string name;  // callable name for argument-count messages
    std::string text;  // exactly as given
    bool has_self = false;
    std::vector<Param> params;
};

// Parse "name($self, a, b=1, c=None)" or "(a, b=...)". Throws std::invalid_argument on malformed
// text, which only a programming error can produce; it surfaces at import.
const Signature& parse_signature(std::string_view text, std::string_view callable_name = {});

// Match positional and keyword arguments to parameters; `out[i]` is the borrowed object for
// parameter i, or nullptr when it was not given. Raises the usual TypeErrors for arity mistakes.
void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Keep a text alive for the life of the process (method tables and docs point into it).
const char* persist(std::string text);

// Convert argument `index` of `sig` from `obj` (nullptr: not given, use its default) to T,
// wrapping conversion errors as "argument '{}': {}".
template <class T>
T convert_arg(const Signature& sig, std::size_t index, PyObject* obj) {
    const Param& p = sig.params[index];
    if (obj == nullptr) {
        if constexpr (std::is_default_constructible_v<T>) {
            if (p.empty_default) return T{};
        }
        obj = p.default_value.get();
    }
    try {
        return from_python<T>(obj);
    } catch (error& e) {
        e.message = fmt("argument '{}': {}", p.name, e.message);
        throw;
    }
}

}  // namespace py
