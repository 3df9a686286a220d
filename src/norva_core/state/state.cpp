#include "state.hpp"

#include "../py/compat.hpp"
#include "../py/convert.hpp"
#include "frozen_dict.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

namespace norva::state {

Handle str_key(PyObject* key) {
    if (PyUnicode_CheckExact(key)) return Handle(key);
    if (!PyUnicode_Check(key)) py::conversion_error(key, "PyString");
    return Handle::steal(py::check(PyUnicode_FromObject(key)));
}

namespace {

PyObject* object_of(const Handle& h) { return h.get(); }
PyObject* object_of(const Slot& s) { return s.value.get(); }

template <class M>
py::Ref dict_of(const M& map) {
    py::Ref dict = py::check(_PyDict_NewPresized(static_cast<Py_ssize_t>(map.size())));
    for (const auto& entry : map) py::check_status(PyDict_SetItem(dict.get(), entry.key.get(), object_of(entry.value)));
    return dict;
}

}  // namespace

py::Ref to_dict(const ObjectMap& map) { return dict_of(map); }
py::Ref to_dict(const ZoneMap& map) { return dict_of(map); }

double now_seconds() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    return ns < 0 ? 0.0 : static_cast<double>(ns) / 1e9;
}

std::string MetaLogEntry::repr() const {
    return py::fmt("MetaLogEntry(time={}, key={}, msg={})", py::format_float(timestamp), key, message);
}

void MetaLog::append(MetaLogEntry entry) {
    std::lock_guard lock(mutex_);
    if (capacity_ == 0) return;
    while (entries_.size() >= capacity_) entries_.pop_front();
    entries_.push_back(std::move(entry));
}

std::vector<MetaLogEntry> MetaLog::entries() {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

namespace {

void fill(ZoneMap& zone, PyObject* dict, std::uint64_t version) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) zone.set_in_place(str_key(key), Slot{Handle(value), version});
}

// Values of these exact types have no attributes of their own, so they cannot be proxies.
bool plain_value(PyObject* value) {
    return value == Py_None || PyLong_CheckExact(value) || PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value) ||
           PyBytes_CheckExact(value);
}

// A proxy stands for its target: store what it wraps.
Handle unwrap(PyObject* value) {
    if (plain_value(value)) return Handle(value);
    PyObject* target = nullptr;
    int found = py::optional_attr(value, NORVA_ID("supervisor_target"), &target);
    if (found == 1) return Handle::steal(py::Ref::steal(target));
    if (found < 0) PyErr_Clear();
    return Handle(value);
}

void merge_zone(ZoneMap& zone, VersionMap& composites, PyObject* changes, std::uint64_t version) {
    if (!PyDict_Check(changes)) py::conversion_error(changes, "PyDict");
    Py_ssize_t pos = 0;
    PyObject *key, *raw;
    while (PyDict_Next(changes, &pos, &key, &raw)) {
        py::Ref hold_key = py::Ref::borrow(key), hold_raw = py::Ref::borrow(raw);
        Handle value = unwrap(raw);
        Handle k = str_key(key);
        bool is_dict = PyDict_Check(value.get());
        if (is_dict) {
            // One level of composite keys, so compare-and-swap can tell writers of different
            // subkeys apart.
            Py_ssize_t inner_pos = 0;
            PyObject *inner, *ignored;
            while (PyDict_Next(value.get(), &inner_pos, &inner, &ignored)) {
                Handle sub = str_key(inner);
                Handle composite = Handle::steal(py::check(PyUnicode_FromFormat("%U.%U", k.get(), sub.get())));
                composites.set_in_place(composite, version);
            }
        }
        const Slot* existing = is_dict ? zone.find(k) : nullptr;
        if (existing != nullptr) {
            Handle held = existing->value;
            zone.set_in_place(k, Slot{Handle::steal(deep_merge_cow(held.get(), value.get())), version});
        } else {
            zone.set_in_place(k, Slot{std::move(value), version});
        }
    }
}

std::string signal_text(PyObject* value) {
    py::Ref s = py::Ref::steal(PyObject_Str(value));
    if (s) {
        if (const char* utf8 = PyUnicode_AsUTF8(s.get())) return utf8;
    }
    PyErr_WriteUnraisable(value);
    return py::fmt("<unprintable {} object>", py::type_name(value));
}

void apply_signal_dict(State& next, PyObject* dict) {
    if (!PyDict_Check(dict)) py::conversion_error(dict, "PyDict");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        py::Ref hold_key = py::Ref::borrow(key), hold_value = py::Ref::borrow(value);
        Handle k = str_key(key);
        std::string text = signal_text(value);
        std::string line = py::from_python<std::string>(k.get());
        line.push_back(':');
        line += text;
        next.hub->publish(line);
        next.signals.set_in_place(k, Handle::steal(py::str(text)));
    }
}

}  // namespace

State State::create(PyObject* data, PyObject* heavy, std::uint64_t version, std::size_t meta_capacity) {
    State s;
    s.version = version;
    s.meta_capacity = meta_capacity;
    if (data != nullptr) fill(s.data, py::from_python<py::Dict>(data).obj, version);
    if (heavy != nullptr) fill(s.heavy, py::from_python<py::Dict>(heavy).obj, version);
    s.meta_log = std::make_shared<MetaLog>(meta_capacity);
    s.hub = std::make_shared<signals::Sender>();
    return s;
}

State State::update(PyObject* new_data, PyObject* new_heavy, PyObject* signal) const {
    // A version that wrapped to 0 would defeat every later version comparison.
    if (version == std::numeric_limits<std::uint64_t>::max())
        throw py::error(PyExc_OverflowError, "State version 18446744073709551615 cannot be incremented");
    State next;
    next.version = version + 1;
    next.data = data;
    next.heavy = heavy;
    next.composite_versions = composite_versions;
    next.meta_log = meta_log;
    next.meta_capacity = meta_capacity;
    next.hub = hub;
    // Logged before any argument is looked at, so a failed update still leaves its entry.
    log_meta("state_update", py::fmt("State updated to version {}", next.version));
    if (new_data != nullptr) merge_zone(next.data, next.composite_versions, new_data, next.version);
    if (new_heavy != nullptr) merge_zone(next.heavy, next.composite_versions, new_heavy, next.version);
    if (signal != nullptr) {
        if (PyList_Check(signal)) {
            py::Ref items = py::check(PySequence_List(signal));  // a snapshot: str() may run code
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
                apply_signal_dict(next, PyList_GET_ITEM(items.get(), i));
        } else if (PyDict_Check(signal)) {
            apply_signal_dict(next, signal);
        }
    }
    return next;
}

std::optional<std::uint64_t> State::key_version(const Handle& text) const {
    const std::uint64_t h = StrTraits::hash(text);
    std::optional<std::uint64_t> found;
    auto consider = [&](std::uint64_t v) { found = found ? std::max(*found, v) : v; };
    if (const Slot* s = data.find(text, h)) consider(s->version);
    if (const Slot* s = heavy.find(text, h)) consider(s->version);
    if (const std::uint64_t* v = composite_versions.find(text, h)) consider(*v);
    return found;
}

void State::log_meta(std::string key, std::string message) const {
    meta_log->append({now_seconds(), std::move(key), std::move(message)});
}

State State::restrict_view() const {
    State view = *this;
    view.hub = std::make_shared<signals::Sender>();
    return view;
}

}  // namespace norva::state
