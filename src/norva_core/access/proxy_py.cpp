// Python face of SupervisorProxy: construction, reads, representation and pickling.
#include "proxy_py.hpp"

#include "../py/compat.hpp"
#include "proxy.hpp"
#include "zones.hpp"

namespace norva::access {

namespace {

SupervisorProxy make(PyObject* target, std::string path, bool read_only, PyObject* transaction, bool is_shadow,
                     std::uint8_t capabilities) {
    bool has_tx = transaction != Py_None;
    if (has_tx) set_thread_tx(transaction);
    return {std::move(path), py::Ref::borrow(target), read_only, has_tx, is_shadow, capabilities};
}

SupervisorProxy& proxy_of(PyObject* self) { return py::native<SupervisorProxy>(self); }

// ---- properties and methods ---------------------------------------------------------------

std::uint8_t get_capabilities(SupervisorProxy& self) { return self.capabilities; }
void set_capabilities_prop(SupervisorProxy& self, std::uint8_t caps) { self.capabilities = caps; }
void set_capabilities(SupervisorProxy& self, std::uint8_t caps) { self.capabilities = caps; }
bool read_only(SupervisorProxy& self) { return self.read_only; }
py::Ref supervisor_target(SupervisorProxy& self) { return self.target.copy(); }
std::string path(SupervisorProxy& self) { return self.path; }
bool is_proxy(SupervisorProxy&) { return true; }

py::Ref get(SupervisorProxy& self, PyObject* key, PyObject* def) {
    py::Ref v = py::check(PyObject_CallMethodObjArgs(self.target.get(), NORVA_ID("get"), key, def, nullptr));
    return wrap_result(self, v.get(), dotted_child(self.path, key_text(key)));
}

py::Ref keys(SupervisorProxy& self) { return py::check(PyObject_CallMethodNoArgs(self.target.get(), NORVA_ID("keys"))); }

py::Ref values(SupervisorProxy& self) {
    py::Ref raw = py::check(PyObject_CallMethodNoArgs(self.target.get(), NORVA_ID("values")));
    py::Ref list = py::check(PySequence_List(raw.get()));
    std::string child = dotted_child(self.path, "?");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        py::Ref wrapped = wrap_result(self, PyList_GET_ITEM(list.get(), i), child);
        PyList_SetItem(list.get(), i, wrapped.release());
    }
    return list;
}

py::Ref items(SupervisorProxy& self) {
    py::Ref raw = py::check(PyObject_CallMethodNoArgs(self.target.get(), NORVA_ID("items")));
    py::Ref list = py::check(PySequence_List(raw.get()));
    py::Ref out = py::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) continue;
        PyObject* k = PyTuple_GET_ITEM(item, 0);
        py::Ref v = wrap_result(self, PyTuple_GET_ITEM(item, 1), dotted_child(self.path, key_text(k)));
        py::Ref pair = py::check(PyTuple_Pack(2, k, v.get()));
        py::check_status(PyList_Append(out.get(), pair.get()));
    }
    return out;
}

py::Ref to_dict(SupervisorProxy& self) {
    PyObject* target = self.target.get();
    for (const char* name : {"model_dump", "dict", "to_dict"}) {
        if (py::has_attr(target, name)) return py::check(PyObject_CallMethod(target, name, nullptr));
    }
    if (PyDict_Check(target)) return py::check(PyObject_CallMethod(target, "copy", nullptr));
    throw py::error(PyExc_AttributeError, "Wrapped object has no to_dict/model_dump");
}

py::Ref wrap_result_method(SupervisorProxy& self, std::string_view key_or_path, PyObject* val) {
    return wrap_result(self, val, dotted_child(self.path, key_or_path));
}

py::Ref getnewargs(SupervisorProxy&) {
    return py::check(Py_BuildValue("(OsOOOi)", Py_None, "", Py_True, Py_None, Py_False, 15));
}

py::Ref getstate(SupervisorProxy& self) {
    py::Ref p = py::str(self.path);
    return py::check(Py_BuildValue("(OOOOi)", self.target.get(), p.get(), self.read_only ? Py_True : Py_False,
                                   self.is_shadow ? Py_True : Py_False, int(self.capabilities)));
}

void setstate(SupervisorProxy& self, py::Tuple state) {
    Py_ssize_t n = PyTuple_GET_SIZE(state.obj);
    auto item = [&](Py_ssize_t i) -> PyObject* {
        if (i >= n) throw py::error(PyExc_TypeError, py::fmt("state tuple needs at least 3 elements, got {}", n));
        return PyTuple_GET_ITEM(state.obj, i);
    };
    // Applied in order: a bad element leaves the earlier ones applied.
    self.target = py::Ref::borrow(item(0));
    self.path = py::from_python<std::string>(item(1));
    self.read_only = py::from_python<bool>(item(2));
    self.is_shadow = n > 3 ? py::from_python<bool>(PyTuple_GET_ITEM(state.obj, 3)) : false;
    self.capabilities = n > 4 ? py::from_python<std::uint8_t>(PyTuple_GET_ITEM(state.obj, 4)) : 15;
    self.has_transaction = false;
}

py::Ref dict_property(SupervisorProxy& self) { return to_dict(self); }

// ---- slots ---------------------------------------------------------------------------------

PyObject* getattro(PyObject* self, PyObject* name) {
    return py::guarded([&]() -> PyObject* {
        SupervisorProxy& p = proxy_of(self);
        std::string_view n = py::from_python<std::string_view>(name);
        if (n == "__dict__") return py::check(PyDict_New()).release();
        // The proxy's own members win; the lookup of a miss creates no exception object.
        if (_PyType_Lookup(Py_TYPE(self), name) != nullptr) return PyObject_GenericGetAttr(self, name);
        if (!n.empty() && n[0] == '_')
            throw py::error(PyExc_AttributeError, py::fmt("'SupervisorProxy' object has no attribute '{}'", n));
        std::string child = dotted_child(p.path, n);
        if (!may_read(p.capabilities, child)) return py::none().release();
        PyObject* target = p.target.get();
        py::Ref value;
        if (PyDict_CheckExact(target)) {
            // A plain dict has no attributes of its own beyond its type's: go to the item.
            if (_PyType_Lookup(&PyDict_Type, name) != nullptr) value = py::check(PyObject_GetAttr(target, name));
            else if (PyObject* v = PyDict_GetItemWithError(target, name)) value = py::Ref::borrow(v);
            else if (PyErr_Occurred()) throw py::error_already_set{};
        } else {
            PyObject* out = nullptr;
            int found = py::optional_attr(target, name, &out);
            if (found < 0) PyErr_Clear();
            value = py::Ref::steal(out);
            if (!value && PyDict_Check(target)) {
                value = py::Ref::steal(PyObject_GetItem(target, name));
                if (!value) PyErr_Clear();
            }
        }
        if (!value) {
            if (PyDict_Check(target))
                throw py::error(PyExc_AttributeError,
                                py::fmt("'SupervisorProxy[dict]' object has no attribute '{}'. (Hint: Key '{}' missing "
                                        "in wrapped dict at path '{}')",
                                        n, n, p.path));
            throw py::error(PyExc_AttributeError, py::fmt("'SupervisorProxy[{}]' object has no attribute '{}'. (Path: '{}')",
                                                          py::type_name(target), n, p.path));
        }
        py::SharedBorrow borrow(py::as_object<SupervisorProxy>(self)->borrow);
        return wrap_read(p, value.get(), child, false).release();
    });
}

PyObject* subscript(PyObject* self, PyObject* key) {
    return py::guarded([&]() -> PyObject* {
        SupervisorProxy& p = proxy_of(self);
        py::SharedBorrow borrow(py::as_object<SupervisorProxy>(self)->borrow);
        std::string child = bracket_child(p.path, key_text(key));
        if (!may_read(p.capabilities, child)) return py::none().release();
        py::Ref value = py::check(PyObject_GetItem(p.target.get(), key));
        return wrap_read(p, value.get(), child, true).release();
    });
}

Py_ssize_t length(PyObject* self) { return PyObject_Size(proxy_of(self).target.get()); }
int contains(PyObject* self, PyObject* key) { return PySequence_Contains(proxy_of(self).target.get(), key); }
PyObject* iter(PyObject* self) { return PyObject_GetIter(proxy_of(self).target.get()); }

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    // The target's own answer, NotImplemented included, so Python's usual fallbacks apply.
    return PyObject_CallMethodOneArg(proxy_of(self).target.get(), op == Py_EQ ? NORVA_ID("__eq__") : NORVA_ID("__ne__"),
                                     other);
}

PyObject* repr(PyObject* self) {
    return py::guarded([&]() -> PyObject* {
        SupervisorProxy& p = proxy_of(self);
        return py::str(py::fmt("<SupervisorProxy[{}] at path='{}' cap={}>", py::type_name(p.target.get()), p.path,
                               py::format_mask(p.capabilities)))
            .release();
    });
}

}  // namespace

py::Ref make_proxy(std::string path, PyObject* target, bool read_only, PyObject* tx, bool is_shadow,
                   std::uint8_t capabilities) {
    if (tx != nullptr) set_thread_tx(tx);
    return py::wrap(SupervisorProxy{std::move(path), py::Ref::borrow(target), read_only, tx != nullptr, is_shadow,
                                    capabilities});
}

PyTypeObject* supervisor_proxy_type() {
    using py::Access;
    return py::define_class<SupervisorProxy, make>({
        .name = "norva_core.SupervisorProxy",
        .signature = "(target, path=..., read_only=False, transaction=None, is_shadow=False, capabilities=15)",
        .doc = "SupervisorProxy - The Gatekeeper for Python object access\n\n"
               "Unlike FrozenDict which returns copies, SupervisorProxy returns\n"
               "the original Python object while intercepting mutations.",
        .methods =
            {
                py::method<get>("get($self, key, default=None)"),
                py::method<keys>("keys($self)"),
                py::method<values>("values($self)"),
                py::method<items>("items($self)"),
                py::method<to_dict>("to_dict($self)"),
                py::method<path>("path($self)"),
                py::method<is_proxy>("is_proxy($self)"),
                py::method<wrap_result_method>("_wrap_result($self, key_or_path, val)"),
                py::method<set_capabilities, Access::Exclusive>("_set_capabilities($self, caps)"),
                py::method<getnewargs>("__getnewargs__($self)"),
                py::method<getstate>("__getstate__($self)"),
                py::method<setstate, Access::Exclusive>("__setstate__($self, state)"),
            },
        .properties =
            {
                py::property<get_capabilities, set_capabilities_prop>("capabilities", "[RFC-001] Capability Bitmask"),
                py::property<read_only>("read_only"),
                py::property<supervisor_target>("supervisor_target", "Get the underlying target (for internal use)"),
                py::property<dict_property>("__dict__", "Expose internals as dict for Pydantic/Standard Library compatibility"),
            },
        .slots =
            {
                {Py_tp_getattro, reinterpret_cast<void*>(getattro)},
                {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
                {Py_mp_length, reinterpret_cast<void*>(length)},
                {Py_sq_contains, reinterpret_cast<void*>(contains)},
                {Py_tp_iter, reinterpret_cast<void*>(iter)},
                {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
                {Py_tp_repr, reinterpret_cast<void*>(repr)},
                {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
            },
    });
}

}  // namespace norva::access
