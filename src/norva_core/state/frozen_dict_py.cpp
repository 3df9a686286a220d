// Python face of FrozenDict.
#include "frozen_dict_py.hpp"

#include "../module/exceptions.hpp"
#include "frozen_dict.hpp"

namespace norva::state {

namespace {

FrozenDict make(py::Dict data) { return {py::Ref::borrow(data.obj)}; }

PyObject* inner_of(PyObject* self) { return py::native<FrozenDict>(self).inner.get(); }

py::Ref get(FrozenDict& self, PyObject* key, PyObject* def) {
    PyObject* v = PyDict_GetItemWithError(self.inner.get(), key);
    if (v == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set{};
        return py::Ref::borrow(def);
    }
    return py::Ref::borrow(v);
}
py::Ref keys(FrozenDict& self) { return py::check(PyDict_Keys(self.inner.get())); }
py::Ref values(FrozenDict& self) { return py::check(PyDict_Values(self.inner.get())); }
py::Ref items(FrozenDict& self) { return py::check(PyDict_Items(self.inner.get())); }
py::Ref to_dict(FrozenDict& self) { return self.inner.copy(); }

py::Ref deepcopy(FrozenDict& self, PyObject* memo) {
    py::Ref copy_module = py::check(PyImport_ImportModule("copy"));
    py::Ref copied = py::check(PyObject_CallMethod(copy_module.get(), "deepcopy", "OO", self.inner.get(), memo));
    return py::wrap(FrozenDict{py::Ref::borrow(py::from_python<py::Dict>(copied.get()).obj)});
}

Py_ssize_t length(PyObject* self) {
    return py::guarded(Py_ssize_t(-1), [&] { return PyDict_Size(inner_of(self)); });
}

int contains(PyObject* self, PyObject* key) {
    return py::guarded(-1, [&] { return PyDict_Contains(inner_of(self), key); });
}

PyObject* subscript(PyObject* self, PyObject* key) {
    return py::guarded([&]() -> PyObject* {
        PyObject* v = PyDict_GetItemWithError(inner_of(self), key);
        if (v == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set{};
            throw py::error(PyExc_KeyError, "Key not found");
        }
        return py::Ref::borrow(v).release();
    });
}

int assign_subscript(PyObject*, PyObject*, PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
    } else {
        PyErr_SetString(exc::ContextError, "Context is Immutable. Use .update()");
    }
    return -1;
}

PyObject* getattro(PyObject* self, PyObject* name) {
    // Methods first; otherwise the inner dict's value under the attribute name.
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    PyObject* v = PyDict_GetItemWithError(inner_of(self), name);
    if (v != nullptr) return py::Ref::borrow(v).release();
    PyErr_Clear();
    PyErr_SetString(PyExc_AttributeError, "Attribute not found");
    return nullptr;
}

PyObject* as_text(PyObject* self, PyObject* (*render)(PyObject*)) {
    return py::guarded([&]() -> PyObject* {
        py::Ref inner = py::check(render(inner_of(self)));
        return py::check(PyUnicode_FromFormat("FrozenDict(%U)", inner.get())).release();
    });
}
PyObject* str(PyObject* self) { return as_text(self, PyObject_Str); }
PyObject* repr(PyObject* self) { return as_text(self, PyObject_Repr); }

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return py::guarded([&]() -> PyObject* {
        bool equal = false;
        if (py::is_instance<FrozenDict>(other)) {
            equal = dicts_equal(inner_of(self), inner_of(other));
        } else if (PyDict_Check(other)) {
            equal = dicts_equal(inner_of(self), other);
        }
        return py::boolean(op == Py_EQ ? equal : !equal).release();
    });
}

}  // namespace

PyTypeObject* frozen_dict_type() {
    return py::define_class<FrozenDict, make>({
        .name = "FrozenDict",
        .signature = "(data)",
        .subclassable = true,
        .methods =
            {
                py::method<get>("get($self, key, default=None)"),
                py::method<keys>("keys($self)"),
                py::method<values>("values($self)"),
                py::method<items>("items($self)"),
                py::method<to_dict>("to_dict($self)"),
                py::method<deepcopy>("__deepcopy__($self, memo)"),
            },
        .slots =
            {
                {Py_mp_length, reinterpret_cast<void*>(length)},
                {Py_sq_contains, reinterpret_cast<void*>(contains)},
                {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
                {Py_mp_ass_subscript, reinterpret_cast<void*>(assign_subscript)},
                {Py_tp_getattro, reinterpret_cast<void*>(getattro)},
                {Py_tp_str, reinterpret_cast<void*>(str)},
                {Py_tp_repr, reinterpret_cast<void*>(repr)},
                {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
                {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
            },
    });
}

}  // namespace norva::state
