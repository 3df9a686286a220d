#include "paths.hpp"

#include "../py/compat.hpp"
#include "../py/convert.hpp"
#include "../py/text.hpp"

#include <charconv>
#include <optional>

namespace norva::paths {

namespace {

using Kind = PathSegment::Kind;

// A final index may pad a list with None up to this many places past its end; anything further is
// refused rather than allocating without bound on behalf of a mistyped or hostile path.
constexpr std::uint64_t max_list_growth = 65536;

// Nested dicts are merged natively; the interpreter's recursion guard turns a too-deep nesting
// (or a dict merged into itself through a cycle) into RecursionError instead of a stack overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---- parsing ----

// The value of an unsigned decimal with an optional single '+', when it fits in 64 bits.
std::optional<std::uint64_t> decimal_index(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;  // overflow
    return value;
}

std::string_view strip_quotes(std::string_view text) {
    constexpr std::string_view quotes = "'\"";
    std::size_t first = text.find_first_not_of(quotes);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(quotes);
    return text.substr(first, last - first + 1);
}

PathSegment key_segment(std::string_view key) { return PathSegment{Kind::Key, std::string(key), 0}; }

PathSegment bracket_segment(std::string_view content) {
    if (std::optional<std::uint64_t> index = decimal_index(content)) return PathSegment{Kind::Index, {}, *index};
    return key_segment(strip_quotes(content));
}

// ---- container access ----

[[noreturn]] void index_out_of_range(std::uint64_t n) {
    throw py::error(PyExc_IndexError, py::fmt("Index [{}] out of range", n));
}

// Drop a pending ordinary exception that the caller is about to replace by its own message. An
// interrupt (KeyboardInterrupt, SystemExit) is not ours to swallow and propagates instead.
void clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set{};
    PyErr_Clear();
}

// Attribute `name` of `obj`, or empty when reading it fails.
py::Ref attr_or_empty(PyObject* obj, PyObject* name) {
    if (PyObject* attr = PyObject_GetAttr(obj, name)) return py::Ref::steal(attr);
    clear_ordinary_error();
    return {};
}

// The object a proxy wraps, or empty for anything that is not a proxy. A failing lookup counts as
// "not a proxy", as it does for `unwrap`.
py::Ref proxy_target(PyObject* obj) {
    PyObject* target = nullptr;
    int found = py::optional_attr(obj, NORVA_ID("supervisor_target"), &target);
    if (found < 0) PyErr_Clear();
    return py::Ref::steal(found == 1 ? target : nullptr);
}

// Built-in values that cannot carry a `supervisor_target` attribute: no lookup needed.
bool plain_value(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyUnicode_CheckExact(v) || PyBytes_CheckExact(v) || PyDict_CheckExact(v) || PyList_CheckExact(v) ||
           PyTuple_CheckExact(v);
}

// Exact dicts and lists take the fast paths; subclasses go through the generic protocol so that
// their overrides of __getitem__, __setitem__, __len__ and append are honoured.

// The item `key` of a dict, or empty when it has none.
py::Ref lookup(PyObject* dict, PyObject* key) {
    if (PyDict_CheckExact(dict)) {
        if (PyObject* item = PyDict_GetItemWithError(dict, key)) return py::Ref::borrow(item);
        if (PyErr_Occurred()) throw py::error_already_set{};
        return {};
    }
    if (PyObject* item = PyObject_GetItem(dict, key)) return py::Ref::steal(item);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set{};
    PyErr_Clear();
    return {};
}

void store(PyObject* container, PyObject* key, PyObject* value) {
    py::check_status(PyDict_CheckExact(container) ? PyDict_SetItem(container, key, value)
                                                  : PyObject_SetItem(container, key, value));
}

// The dict under `key`, inserting a new empty one when the key is absent.
py::Ref child_or_new_dict(PyObject* dict, PyObject* key) {
    if (py::Ref item = lookup(dict, key)) return item;
    py::Ref fresh = py::check(PyDict_New());
    store(dict, key, fresh.get());
    return fresh;
}

std::uint64_t list_length(PyObject* list) {
    Py_ssize_t n = PyList_CheckExact(list) ? PyList_GET_SIZE(list) : PyObject_Size(list);
    if (n < 0) throw py::error_already_set{};
    return static_cast<std::uint64_t>(n);
}

py::Ref list_item(PyObject* list, std::uint64_t n) {
    if (n >= list_length(list)) index_out_of_range(n);
    if (PyList_CheckExact(list)) return py::Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(n)));
    py::Ref at = py::check(PyLong_FromUnsignedLongLong(n));
    return py::check(PyObject_GetItem(list, at.get()));
}

// Set position n of a list, first padding it with None when n is at or past its end.
void store_in_list(PyObject* list, std::uint64_t n, PyObject* value) {
    std::uint64_t length = list_length(list);
    if (n >= length && n - length > max_list_growth) index_out_of_range(n);
    if (PyList_CheckExact(list)) {
        if (n < length) {
            Py_INCREF(value);
            py::check_status(PyList_SetItem(list, static_cast<Py_ssize_t>(n), value));  // steals `value`
            return;
        }
        // Padding then appending leaves the same list as padding through n and overwriting n.
        for (; length < n; ++length) py::check_status(PyList_Append(list, Py_None));
        py::check_status(PyList_Append(list, value));
        return;
    }
    for (; length <= n; ++length) py::check(PyObject_CallMethodOneArg(list, NORVA_ID("append"), Py_None));
    py::Ref at = py::check(PyLong_FromUnsignedLongLong(n));
    py::check_status(PyObject_SetItem(list, at.get(), value));
}

// The last key of a path on something that is not a dict: a proxy receives the write in the object
// it wraps, anything else gets an attribute.
void set_key_on_object(PyObject* obj, PyObject* key, const std::string& text, PyObject* value) {
    if (py::Ref target = proxy_target(obj)) {
        if (PyDict_Check(target.get())) {
            py::Ref plain = unwrap(value);
            store(target.get(), key, plain.get());
        } else {
            py::check_status(PyObject_SetAttr(target.get(), key, value));
        }
        return;
    }
    if (PyObject_SetAttr(obj, key, value) == 0) return;
    clear_ordinary_error();
    throw py::error(PyExc_TypeError,
                    py::fmt("Cannot set key '{}' on non-dict type '{}'", text, py::type_name(obj)));
}

// ---- the walk shared by both path writers ----

// `Set` is set_nested_value, `Update` deep_update_at_path; they differ in messages, in unwrapping
// and merging at the last key, and in how keys are looked up on non-dict objects.
enum class Mode { Set, Update };

py::Ref step(PyObject* current, const PathSegment& segment, Mode mode) {
    if (segment.kind == Kind::Index) {
        if (PyList_Check(current)) return list_item(current, segment.index);
        throw py::error(PyExc_TypeError, mode == Mode::Set
                                             ? py::fmt("Cannot navigate index [{}] in non-list", segment.index)
                                             : py::fmt("Index [{}] on non-list", segment.index));
    }
    py::Ref key = py::str(segment.key);
    if (PyDict_Check(current)) return child_or_new_dict(current, key.get());
    if (py::Ref attr = attr_or_empty(current, key.get())) return attr;
    if (mode == Mode::Update) {
        if (py::Ref target = proxy_target(current)) {
            if (py::Ref attr = attr_or_empty(target.get(), key.get())) return attr;
        }
    }
    throw py::error(PyExc_TypeError, py::fmt("Cannot navigate key '{}' in non-dict type '{}'", segment.key,
                                             py::type_name(current)));
}

void write_last(PyObject* current, const PathSegment& segment, PyObject* value, Mode mode) {
    if (segment.kind == Kind::Index) {
        if (PyList_Check(current)) return store_in_list(current, segment.index, value);
        if (mode == Mode::Update) throw py::error(PyExc_TypeError, py::fmt("Index [{}] on non-list", segment.index));
        if (!PyDict_Check(current)) {
            throw py::error(PyExc_TypeError, py::fmt("Cannot set index [{}] on non-list/dict", segment.index));
        }
        py::Ref key = py::str(py::fmt("{}", segment.index));
        return store(current, key.get(), value);
    }
    py::Ref key = py::str(segment.key);
    if (!PyDict_Check(current)) return set_key_on_object(current, key.get(), segment.key, value);
    if (mode == Mode::Set) {
        py::Ref plain = unwrap(value);
        return store(current, key.get(), plain.get());
    }
    if (PyDict_Check(value)) {
        py::Ref existing = lookup(current, key.get());
        if (existing && PyDict_Check(existing.get())) return deep_update_inplace(existing.get(), value);
    }
    store(current, key.get(), value);
}

void write_at_path(PyObject* root, std::string_view path, PyObject* value, Mode mode) {
    std::vector<PathSegment> segments = parse_path_segments(path);
    if (segments.empty()) return;
    py::Ref current = py::Ref::borrow(root);
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) current = step(current.get(), segments[i], mode);
    write_last(current.get(), segments.back(), value, mode);
}

// The UTF-8 text of a str. Lone surrogates (as from undecodable bytes) are carried through the way
// `py::str` reads them back; `holder` keeps the encoded copy alive when one is needed.
std::string_view utf8_of(PyObject* text, py::Ref& holder) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return {data, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set{};
    PyErr_Clear();
    holder = py::check(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    return {PyBytes_AS_STRING(holder.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(holder.get()))};
}

}  // namespace

std::vector<PathSegment> parse_path_segments(std::string_view path) {
    std::vector<PathSegment> segments;
    std::string buffer;
    auto end_key = [&] {
        if (buffer.empty()) return;
        segments.push_back(key_segment(buffer));
        buffer.clear();
    };
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '.') {
            end_key();
        } else if (c == '[') {
            end_key();
            std::size_t close = path.find(']', i + 1);
            if (close == std::string_view::npos) {
                segments.push_back(bracket_segment(path.substr(i + 1)));
                return segments;  // an unclosed bracket takes the rest of the text and ends the path
            }
            segments.push_back(bracket_segment(path.substr(i + 1, close - i - 1)));
            i = close;
        } else {
            buffer.push_back(c);
        }
    }
    end_key();
    return segments;
}

void set_nested_value(PyObject* root, std::string_view path, PyObject* value) {
    write_at_path(root, path, value, Mode::Set);
}

void deep_update_at_path(PyObject* root, std::string_view path, PyObject* value) {
    write_at_path(root, path, value, Mode::Update);
}

void deep_update_inplace(PyObject* target, PyObject* source) {
    if (!PyDict_Check(source)) py::conversion_error(source, "PyDict");
    RecursionGuard guard(" while merging nested dicts");
    // A snapshot of the items: merging may run Python code, and a dotted key may even write into
    // `source` itself when it is reachable from `target`.
    py::Ref items = py::check(PyDict_Items(source));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // the list is ours alone and keeps it alive
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        py::Ref value = unwrap(PyTuple_GET_ITEM(pair, 1));

        if (PyUnicode_Check(key)) {
            Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
            if (dot == -2) throw py::error_already_set{};
            if (dot >= 0) {
                py::Ref holder;
                deep_update_at_path(target, utf8_of(key, holder), value.get());
                continue;
            }
        }
        if (!PyDict_Check(value.get())) {
            // A proxy may wrap another proxy; values are stored one level further unwrapped.
            py::Ref plain = unwrap(value.get());
            store(target, key, plain.get());
            continue;
        }
        py::Ref existing = lookup(target, key);
        if (existing && PyDict_Check(existing.get())) {
            deep_update_inplace(existing.get(), value.get());
        } else {
            store(target, key, value.get());  // the source's own dict, not a copy
        }
    }
}

py::Ref unwrap(PyObject* value) {
    if (plain_value(value)) return py::Ref::borrow(value);
    if (py::Ref target = proxy_target(value)) return target;
    return py::Ref::borrow(value);
}

}  // namespace norva::paths
