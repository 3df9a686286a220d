#include "signature.hpp"

#include <deque>
#include <map>
#include <memory>
#include <stdexcept>

namespace py {

const char* persist(std::string text) {
    // Types live for the whole process, and so do the texts their tables point into.
    static auto* arena = new std::deque<std::string>;
    arena->push_back(std::move(text));
    return arena->back().c_str();
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

Ref default_object(std::string_view text) {
    if (text == "None") return none();
    if (text == "True") return boolean(true);
    if (text == "False") return boolean(false);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
        return str(text.substr(1, text.size() - 2));
    std::string digits(text);
    PyObject* v = PyLong_FromString(digits.c_str(), nullptr, 10);
    if (v == nullptr) {
        PyErr_Clear();
        throw std::invalid_argument("unsupported default in signature: " + digits);
    }
    return Ref::steal(v);
}

}  // namespace

const Signature& parse_signature(std::string_view text, std::string_view callable_name) {
    // Signatures are parsed once per callable and kept for the life of the process. The store is
    // never destroyed: it holds Python objects, which must not be released after finalization.
    static auto* store = new std::deque<Signature>;
    auto open = text.find('(');
    if (open == std::string_view::npos || text.back() != ')')
        throw std::invalid_argument("malformed signature: " + std::string(text));
    Signature sig;
    sig.text = std::string(text);
    sig.name = callable_name.empty() ? std::string(text.substr(0, open)) : std::string(callable_name);
    std::string_view inner = text.substr(open + 1, text.size() - open - 2);
    while (!trim(inner).empty()) {
        auto comma = inner.find(',');
        std::string_view item = trim(inner.substr(0, comma));
        inner = comma == std::string_view::npos ? std::string_view{} : inner.substr(comma + 1);
        if (item == "$self" || item == "$cls" || item == "$module" || item == "$type") {
            sig.has_self = true;
            continue;
        }
        Param p;
        auto eq = item.find('=');
        p.name = std::string(trim(item.substr(0, eq)));
        if (eq != std::string_view::npos) {
            p.required = false;
            p.shown = std::string(trim(item.substr(eq + 1)));
            if (p.shown == "...") p.empty_default = true;
            else p.default_value = default_object(p.shown);
        }
        p.name_obj = check(PyUnicode_InternFromString(p.name.c_str()));
        sig.params.push_back(std::move(p));
    }
    store->push_back(std::move(sig));
    return store->back();
}

namespace {

[[noreturn]] void too_many(const Signature& sig, Py_ssize_t given) {
    if (sig.params.empty())
        throw error(PyExc_TypeError, fmt("{}() takes no arguments ({} given)", sig.name, given));
    throw error(PyExc_TypeError,
                fmt("{}() takes at most {} positional argument{} ({} given)", sig.name, sig.params.size(),
                    sig.params.size() == 1 ? "" : "s", given));
}

void assign_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        PyObject* name = sig.params[i].name_obj.get();
        bool match = key == name;
        if (!match && PyUnicode_Check(key)) {
            int cmp = PyUnicode_Compare(key, name);
            if (cmp == -1 && PyErr_Occurred()) throw error_already_set{};
            match = cmp == 0;
        }
        if (!match) continue;
        if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr)
            throw error(PyExc_TypeError, fmt("{}() got multiple values for argument '{}'", sig.name, sig.params[i].name));
        out[i] = value;
        return;
    }
    std::string shown = PyUnicode_Check(key) ? std::string(from_python<std::string_view>(key)) : type_name(key);
    throw error(PyExc_TypeError, fmt("{}() got an unexpected keyword argument '{}'", sig.name, shown));
}

void check_required(const Signature& sig, PyObject** out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (out[i] == nullptr && sig.params[i].required)
            throw error(PyExc_TypeError,
                        fmt("{}() missing required argument '{}' (pos {})", sig.name, sig.params[i].name, i + 1));
    }
}

}  // namespace

void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > n) too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) assign_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out);
    }
    check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(sig.params.size());
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > n) too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(sig, key, value, nargs, out);
    }
    check_required(sig, out);
}

}  // namespace py
