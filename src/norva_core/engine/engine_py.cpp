// Python face of NorvaEngine.
#include "../state/state.hpp"
#include "engine.hpp"
#include "engine_py.hpp"
#include "transaction.hpp"

namespace norva::engine {

namespace {

NorvaEngine make() {
    NorvaEngine e;
    // A new engine reports version 0 until its first commit.
    e.state = py::wrap(state::State::create(nullptr, nullptr, 0, 1000));
    return e;
}

void store(ObjectSlot& slot, PyObject* value, const char* reentry) {
    py::Ref old;
    {
        py::GilLock lock(slot.mutex, reentry);
        old = std::exchange(slot.value, py::Ref::borrow(value));
        slot.present = true;
    }
    // `old` goes after the lock: releasing it may run code that uses the slot.
}

py::Ref state(NorvaEngine& self) { return self.state.copy(); }
py::Ref outbox(NorvaEngine& self) { return collector_object(self.outbox); }
void set_schema(NorvaEngine& self, PyObject* schema) { store(*self.schema, schema, kSchemaReentry); }
void set_audit_system(NorvaEngine& self, PyObject* audit) {
    store(*self.audit, audit, "Audit-system slot re-entered");
}
void attach_worker(NorvaEngine& self, PyObject* worker) { store(*self.worker, worker, kWorkerReentry); }
void set_strict_cas(NorvaEngine& self, bool enabled) { self.strict_cas->store(enabled); }
void set_strict_guards(NorvaEngine& self, bool enabled) { self.strict_guards->store(enabled); }

void commit_state(NorvaEngine& self, py::Instance<state::State> next) {
    py::Ref old = std::exchange(self.state, py::Ref::borrow(next.obj));
}

py::Ref transaction(py::Instance<NorvaEngine> self, std::uint64_t write_timeout_ms) {
    return py::wrap(Transaction::create(py::Ref::borrow(self.obj), write_timeout_ms));
}

void report_success(NorvaEngine& self, std::string_view process_name) { self.conflicts.report_success(process_name); }
py::Ref report_conflict(NorvaEngine& self, std::string_view process_name) {
    return py::wrap(self.conflicts.report_conflict(process_name));
}
void process_outbox_method(NorvaEngine& self) { process_outbox(self); }

}  // namespace

PyTypeObject* norva_engine_type() {
    return py::define_class<NorvaEngine, make>({
        .name = "norva_core.NorvaEngine",
        .signature = "()",
        .subclassable = true,
        .methods =
            {
                py::method<set_audit_system>("set_audit_system($self, audit)"),
                py::method<set_strict_guards>("set_strict_guards($self, enabled)"),
                py::method<set_strict_cas>("set_strict_cas($self, enabled)"),
                py::method<set_schema>("set_schema($self, schema)"),
                py::method<report_conflict>("report_conflict($self, process_name)"),
                py::method<report_success>("report_success($self, process_name)"),
                py::method<transaction, py::Access::None>("transaction($self, write_timeout_ms=5000)"),
                py::method<commit_state, py::Access::Exclusive>("commit_state($self, state)"),
                py::method<attach_worker>("attach_worker($self, worker)"),
                py::method<process_outbox_method>("process_outbox($self)"),
            },
        .properties =
            {
                py::property<state>("state"),
                py::property<outbox>("outbox", "[v3.3] Expose Engine Outbox for manual flushing"),
            },
    });
}

}  // namespace norva::engine
