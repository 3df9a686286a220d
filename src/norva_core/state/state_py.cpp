// Python faces of State and MetaLogEntry.
#include "state_py.hpp"

#include "../access/proxy.hpp"
#include "../module/exceptions.hpp"
#include "../signals/signal_hub_py.hpp"
#include "frozen_dict.hpp"
#include "state.hpp"

namespace norva::state {

namespace {

PyObject* absent_if_none(PyObject* o) { return o == Py_None ? nullptr : o; }

// The constructor's `signal` is accepted for symmetry with update and has no effect: a new
// State starts a chain with empty signals.
State make(PyObject* data, PyObject* heavy, PyObject* /*signal*/, std::uint64_t version, std::size_t meta_capacity) {
    return State::create(absent_if_none(data), absent_if_none(heavy), version, meta_capacity);
}

py::Ref update(State& self, PyObject* data, PyObject* heavy, PyObject* signal) {
    return py::wrap(self.update(absent_if_none(data), absent_if_none(heavy), absent_if_none(signal)));
}

void log_meta(State& self, std::string key, std::string message) { self.log_meta(std::move(key), std::move(message)); }

py::Ref meta_list(State& self) {
    return py::list_of(self.meta_log->entries(), [](MetaLogEntry& e) { return py::wrap(std::move(e)); });
}

py::Ref restrict_view(State& self) { return py::wrap(self.restrict_view()); }

py::Ref zone_proxy(State& self, const char* key, bool read_only) {
    Handle k = Handle::steal(py::str(key));
    const Slot* slot = self.data.find(k);
    if (slot == nullptr) return py::none();
    // Built from its fields: the proxy constructor (and its thread slot) is not involved.
    return py::wrap(access::SupervisorProxy{key, py::Ref::borrow(slot->value.get()), read_only, false, false, 1});
}

py::Ref domain_proxy(State& self, std::optional<bool> read_only) {
    return zone_proxy(self, "domain", read_only.value_or(true));
}

std::uint64_t version(State& self) { return self.version; }
template <class M>
py::Ref frozen(const M& zone) { return py::wrap(FrozenDict{to_dict(zone)}); }
py::Ref data(State& self) { return frozen(self.data); }
py::Ref heavy(State& self) { return frozen(self.heavy); }
py::Ref signals_(State& self) { return frozen(self.signals); }
py::Ref signal(State& self) { return signals::new_hub(self.hub); }
py::Ref domain(State& self) { return zone_proxy(self, "domain", true); }
py::Ref global(State& self) { return zone_proxy(self, "global", true); }

int setattro(PyObject*, PyObject*, PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    } else {
        PyErr_SetString(exc::ContextError, "State is Immutable. Use .update() to create a new version.");
    }
    return -1;
}

double entry_timestamp(MetaLogEntry& e) { return e.timestamp; }
std::string entry_key(MetaLogEntry& e) { return e.key; }
std::string entry_message(MetaLogEntry& e) { return e.message; }


}  // namespace

PyTypeObject* state_type() {
    return py::define_class<State, make>({
        .name = "State",
        .signature = "(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)",
        .doc = "Norva v3 Immutable State",
        .subclassable = true,
        .methods =
            {
                py::method<update>("update($self, data=None, heavy=None, signal=None)"),
                py::method<log_meta>("log_meta($self, key, message)", "Log a system event to the Meta Zone Ring Buffer."),
                py::method<meta_list>("get_meta_logs($self)", "Retrieve persistent meta logs (shared across state versions)."),
                py::method<restrict_view>("restrict_view($self)"),
                py::method<domain_proxy>("domain_proxy($self, read_only=None)",
                                         "v3.1: Returns domain wrapped in SupervisorProxy (preserves PyObject idiomatics)"),
            },
        .properties =
            {
                py::property<version>("version"),
                py::property<data>("data"),
                py::property<heavy>("heavy"),
                py::property<signals_>("signals"),
                py::property<signal>("signal"),
                py::property<domain>("domain"),
                py::property<global>("global"),
                py::property<meta_list>("meta"),
            },
        .slots = {{Py_tp_setattro, reinterpret_cast<void*>(setattro)}},
    });
}

PyTypeObject* meta_log_entry_type() {
    return py::define_class<MetaLogEntry>({
        .name = "norva_core.MetaLogEntry",
        .properties =
            {
                py::property<entry_timestamp>("timestamp"),
                py::property<entry_key>("key"),
                py::property<entry_message>("message"),
            },
        .slots = {{Py_tp_repr, reinterpret_cast<void*>(py::repr_slot<MetaLogEntry>)}},
    });
}

}  // namespace norva::state
