#include "object.hpp"

#include <structmember.h>

namespace py::detail {

const char* doc_with_signature(const Signature& sig, const char* doc) {
    // CPython reads `__text_signature__` from a docstring that starts with the signature and a
    // "--" line; `__doc__` then shows only what follows.
    std::string text = sig.text + "\n--\n\n";
    if (doc != nullptr) text += doc;
    return persist(std::move(text));
}

PyTypeObject* build_type(const ClassDef& def, PyType_Slot* base_slots, std::size_t nbase, int basicsize,
                         Py_ssize_t dict_offset, Py_ssize_t weaklist_offset, bool gc) {
    // Everything the PyType_Spec and its slot table point to must outlive the type, which lives
    // forever.
    auto* methods = new std::vector<PyMethodDef>(def.methods);
    methods->push_back({nullptr, nullptr, 0, nullptr});
    auto* properties = new std::vector<PyGetSetDef>(def.properties);
    properties->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    auto* members = new std::vector<PyMemberDef>;
    if (dict_offset != 0) members->push_back({"__dictoffset__", T_PYSSIZET, dict_offset, READONLY, nullptr});
    members->push_back({"__weaklistoffset__", T_PYSSIZET, weaklist_offset, READONLY, nullptr});
    members->push_back({nullptr, 0, 0, 0, nullptr});

    const char* dot = std::strrchr(def.name, '.');
    const char* short_name = dot ? dot + 1 : def.name;
    const char* doc = nullptr;
    if (def.signature != nullptr) {
        std::string text = std::string(short_name) + def.signature + "\n--\n\n";
        if (def.doc != nullptr) text += def.doc;
        doc = persist(std::move(text));
    } else if (def.doc != nullptr) {
        doc = def.doc;
    }

    auto* slots = new std::vector<PyType_Slot>(base_slots, base_slots + nbase);
    slots->insert(slots->end(), def.slots.begin(), def.slots.end());
    if (doc != nullptr) slots->push_back({Py_tp_doc, const_cast<char*>(doc)});
    if (methods->size() > 1) slots->push_back({Py_tp_methods, methods->data()});
    if (properties->size() > 1) slots->push_back({Py_tp_getset, properties->data()});
    if (members->size() > 1) slots->push_back({Py_tp_members, members->data()});
    slots->push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (def.subclassable) flags |= Py_TPFLAGS_BASETYPE;
    if (gc) flags |= Py_TPFLAGS_HAVE_GC;
    // A class declared without a module would make CPython warn that a builtin type lacks
    // __module__ (an error under -W error). Create it inside the module, then take the module
    // away again: the class keeps its bare name and has no __module__, without the warning.
    const bool bare = dot == nullptr;
    const char* spec_name = bare ? persist(std::string("norva_core.") + def.name) : def.name;
    auto* spec = new PyType_Spec{spec_name, basicsize, 0, flags, slots->data()};
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) throw error_already_set{};
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (bare) {
        if (PyDict_DelItemString(tp->tp_dict, "__module__") < 0) {
            Py_DECREF(type);
            throw error_already_set{};
        }
        tp->tp_name = short_name;
        PyType_Modified(tp);
    }
    return tp;
}

}  // namespace py::detail
