// What `import norva_core` (and `import norva_shm`) does.
//
// Importing prints the banner once, creates the exception types and registers every class and
// function in the fixed order of the table below, which is also the order of `__all__`. Nothing
// else happens at import: no thread, no import of other modules, no file.
#include "../access/proxy_py.hpp"
#include "../access/zones_py.hpp"
#include "../config/config_loader_py.hpp"
#include "../engine/engine_py.hpp"
#include "../py/text.hpp"
#include "../shm/buffer_descriptor_py.hpp"
#include "../signals/signal_hub_py.hpp"
#include "../state/frozen_dict_py.hpp"
#include "../state/state_py.hpp"
#include "../supervisor/supervisor_core_py.hpp"
#include "exceptions.hpp"

namespace norva {

namespace {

// Setting a module attribute always records its name in `__all__`, creating the list on first use.
void add(PyObject* module, const char* name, PyObject* value) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = py::check(PyList_New(0));
        py::check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    py::Ref n = py::str(name);
    py::check_status(PyList_Append(all.get(), n.get()));
    py::check_status(PyObject_SetAttr(module, n.get(), value));
}

PyObject* as_object(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

py::Ref builtin_function(PyObject* module, PyMethodDef def) {
    auto* stored = new PyMethodDef(def);  // function objects keep pointing at it
    py::Ref modname = py::str("norva_core");
    return py::check(PyCFunction_NewEx(stored, module, modname.get()));
}

// One row per registered name, in registration order.
struct Row {
    const char* name;
    py::Ref (*make)(PyObject* module);
};

template <PyTypeObject* (*Type)()>
py::Ref type_row(PyObject*) {
    return py::Ref::borrow(as_object(Type()));
}

py::Ref exception_row(const char* name) { return py::Ref::borrow(exc::create(name)); }

py::Ref shm_submodule(PyObject*);

const Row registration[] = {
    {"SupervisorCore", type_row<supervisor_core_type>},
    {"SupervisorProxy", type_row<access::supervisor_proxy_type>},
    {"NorvaEngine", type_row<engine::norva_engine_type>},
    {"Transaction", type_row<engine::transaction_type>},
    {"OutboxCollector", type_row<engine::outbox_collector_type>},
    {"WriteTimeoutError", [](PyObject*) { return exception_row("WriteTimeoutError"); }},
    {"SignalHub", type_row<signals::signal_hub_type>},
    {"SignalReceiver", type_row<signals::signal_receiver_type>},
    {"State", type_row<state::state_type>},
    {"FrozenDict", type_row<state::frozen_dict_type>},
    {"OutboxMsg", type_row<engine::outbox_msg_type>},
    {"MetaLogEntry", type_row<state::meta_log_entry_type>},
    {"ContextError", [](PyObject*) { return exception_row("ContextError"); }},
    {"register_physics_override", [](PyObject* m) { return builtin_function(m, zones::register_physics_override_def()); }},
    {"clear_physics_overrides", [](PyObject* m) { return builtin_function(m, zones::clear_physics_overrides_def()); }},
    {"ConfigLoader", type_row<config::config_loader_type>},
    {"SchemaViolationError", [](PyObject*) { return exception_row("SchemaViolationError"); }},
    {"AuditBlockError", [](PyObject*) { return exception_row("AuditBlockError"); }},
    {"AuditAbortError", [](PyObject*) { return exception_row("AuditAbortError"); }},
    {"AuditStopError", [](PyObject*) { return exception_row("AuditStopError"); }},
    {"AuditWarning", [](PyObject*) { return exception_row("AuditWarning"); }},
    {"ConflictManager", type_row<engine::conflict_manager_type>},
    {"RetryDecision", type_row<engine::retry_decision_type>},
    {"shm", shm_submodule},
};

py::Ref shm_submodule(PyObject*) {
    // A plain module reached as norva_core.shm; it is deliberately not entered in sys.modules.
    py::Ref shm = py::check(PyModule_New("shm"));
    py::check_status(PyObject_SetAttrString(shm.get(), "__doc__", Py_None));
    py::check_status(PyModule_AddObjectRef(shm.get(), "BufferDescriptor", as_object(shm::buffer_descriptor_type())));
    return shm;
}

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT,
    "norva_core",
    "norva_core - native core of the norva process framework",
    0,  // no per-module state: a repeated import calls the init entry, which returns the same module
    nullptr,
};

PyModuleDef shm_def = {
    PyModuleDef_HEAD_INIT, "norva_shm", "Exposed Python Module", 0, nullptr,
};

// The interpreter that first loaded this file. The types are process-wide singletons bound to it.
PyInterpreterState* owner = nullptr;

void check_interpreter(const char* module) {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (owner == nullptr) owner = current;
    if (owner != current) {
        PyErr_Format(PyExc_ImportError, "%s: subinterpreters are not supported", module);
        throw py::error_already_set{};
    }
}

PyObject* init_core() {
    static PyObject* module = nullptr;
    check_interpreter("norva_core");
    if (module != nullptr) return py::Ref::borrow(module).release();
    py::Ref m = py::check(PyModule_Create(&core_def));
    py::write_stderr("[NORVA-CORE] Loaded Version: 3.0.25 (Target Env Build)\n");
    for (const Row& row : registration) {
        py::Ref value = row.make(m.get());
        add(m.get(), row.name, value.get());
    }
    engine::outbox_type();  // a class of the module that is reached only through its instances
    module = m.release();  // kept for the life of the process
    return py::Ref::borrow(module).release();
}

PyObject* init_shm() {
    static PyObject* module = nullptr;
    check_interpreter("norva_shm");
    if (module != nullptr) return py::Ref::borrow(module).release();
    py::Ref m = py::check(PyModule_Create(&shm_def));
    py::check_status(PyModule_AddObjectRef(m.get(), "BufferDescriptor", as_object(shm::buffer_descriptor_type())));
    module = m.release();
    return py::Ref::borrow(module).release();
}

}  // namespace

}  // namespace norva

PyMODINIT_FUNC PyInit_norva_core(void) {
    return py::guarded([] { return norva::init_core(); });
}

// The second module lives in this same file: norva_shm's own tiny library only links to this one,
// so the loader finds this entry here and both modules share one BufferDescriptor type.
PyMODINIT_FUNC PyInit_norva_shm(void) {
    return py::guarded([] { return norva::init_shm(); });
}
