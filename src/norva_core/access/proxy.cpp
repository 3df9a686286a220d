#include "proxy.hpp"

#include "../py/compat.hpp"
#include "zones.hpp"

namespace norva::access {

namespace {

FinishedCheck finished_check = nullptr;

// Per-thread slot, kept in the thread state's dict so the interpreter releases it (with the
// interpreter lock held) when the thread ends.
PyObject* thread_slot_key() { return NORVA_ID("norva_core.THREAD_LOCAL_TX"); }

py::Ref thread_tx() {
    PyObject* dict = PyThreadState_GetDict();  // borrowed
    if (dict == nullptr) return {};
    PyObject* tx = PyDict_GetItemWithError(dict, thread_slot_key());
    if (tx == nullptr) {
        PyErr_Clear();
        return {};
    }
    if (finished_check != nullptr && finished_check(tx)) return {};
    return py::Ref::borrow(tx);
}

py::Ref host_tx() {
    // The host package is looked up, never imported: without it there is no transaction.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* guards = PyDict_GetItemWithError(modules, NORVA_ID("norva.guards"));
    if (guards == nullptr) {
        PyErr_Clear();
        return {};
    }
    py::Ref var = py::Ref::steal(PyObject_GetAttr(guards, NORVA_ID("_current_tx")));
    if (!var) {
        PyErr_Clear();
        return {};
    }
    py::Ref tx = py::Ref::steal(PyObject_CallMethodNoArgs(var.get(), NORVA_ID("get")));
    if (!tx) {
        PyErr_Clear();
        return {};
    }
    if (tx.get() == Py_None) return {};
    return tx;
}

bool is_container(PyObject* v) {
    return PyDict_Check(v) || PyList_Check(v) || py::has_attr(v, "__dict__");
}

}  // namespace

void set_finished_check(FinishedCheck check) { finished_check = check; }

py::Ref get_current_tx() {
    // The context variable first: two coroutine processes interleaved on one thread each see
    // their own transaction, while the thread slot only remembers the last one built.
    if (py::Ref tx = host_tx()) return tx;
    return thread_tx();
}

void set_thread_tx(PyObject* tx) {
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr) return;
    if (PyDict_SetItem(dict, thread_slot_key(), tx) < 0) PyErr_Clear();
}

std::string dotted_child(std::string_view path, std::string_view key) {
    if (path.empty()) return std::string(key);
    std::string out;
    out.reserve(path.size() + key.size() + 1);
    out.append(path).push_back('.');
    out.append(key);
    return out;
}

std::string bracket_child(std::string_view path, std::string_view key) {
    if (path.empty()) return std::string(key);
    std::string out;
    out.reserve(path.size() + key.size() + 2);
    out.append(path).push_back('[');
    out.append(key).push_back(']');
    return out;
}

std::string key_text(PyObject* key) {
    if (PyUnicode_Check(key)) return py::from_python<std::string>(key);
    py::Ref s = py::check(PyObject_Str(key));
    return py::from_python<std::string>(s.get());
}

bool may_read(std::uint8_t mask, std::string_view child_path) {
    using namespace zones;
    if ((mask & ADMIN) && resolve_zone(child_path) != ContextZone::Constant) return true;
    return (mask & zone_mask(child_path) & READ) != 0;
}

namespace {

// Target and shadow flag of a child, shared by both wrapping rules.
struct Child {
    py::Ref target;
    bool is_shadow;
};

Child child_of(const SupervisorProxy& self, PyObject* value, std::string_view child_path, PyObject* tx,
               bool raise_copy_errors) {
    if (tx == nullptr) return {py::Ref::borrow(value), self.is_shadow};
    if (self.is_shadow) return {py::Ref::borrow(value), true};
    py::Ref path = py::str(child_path);
    py::Ref shadow = py::Ref::steal(
        PyObject_CallMethodObjArgs(tx, NORVA_ID("get_shadow"), value, path.get(), nullptr));
    if (shadow) return {std::move(shadow), true};
    if (raise_copy_errors) throw py::error_already_set{};
    PyErr_Clear();
    return {py::Ref::borrow(value), false};
}

}  // namespace

py::Ref wrap_read(const SupervisorProxy& self, PyObject* value, std::string_view child_path, bool item_read) {
    if (!is_container(value)) return py::Ref::borrow(value);
    py::Ref tx = get_current_tx();
    Child child = child_of(self, value, child_path, tx.get(), item_read);
    std::uint8_t mask = (self.capabilities & zones::ADMIN)
                            ? zones::ALL_MASK
                            : static_cast<std::uint8_t>(self.capabilities & zones::zone_mask(child_path));
    return make_proxy(std::string(child_path), child.target.get(), self.read_only, tx.get(), child.is_shadow, mask);
}

py::Ref wrap_result(const SupervisorProxy& self, PyObject* value, std::string_view child_path) {
    using namespace zones;
    bool list = PyList_Check(value);
    // A proxy that may not change everything never hands out a bare list: its mutations would be
    // committed by shadow inference behind the proxy's back.
    bool full_rights = !self.read_only && (self.capabilities & (APPEND | UPDATE | DELETE)) == (APPEND | UPDATE | DELETE);
    if (PyDict_Check(value) || (list && !full_rights) || (!list && py::has_attr(value, "__dict__"))) {
        py::Ref tx = get_current_tx();
        Child child = child_of(self, value, child_path, tx.get(), false);
        return make_proxy(std::string(child_path), child.target.get(), self.read_only, tx.get(), child.is_shadow,
                          self.capabilities);
    }
    if (list) {
        if (py::Ref tx = get_current_tx()) {
            py::Ref path = py::str(child_path);
            py::Ref shadow = py::Ref::steal(
                PyObject_CallMethodObjArgs(tx.get(), NORVA_ID("get_shadow"), value, path.get(), nullptr));
            if (shadow) return shadow;
            PyErr_Clear();
        }
    }
    return py::Ref::borrow(value);
}

}  // namespace norva::access
