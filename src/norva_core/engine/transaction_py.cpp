// Python face of Transaction.
#include "../access/proxy.hpp"
#include "engine.hpp"
#include "engine_py.hpp"
#include "transaction.hpp"

namespace norva::engine {

namespace {

PyObject* absent_if_none(PyObject* o) { return o == Py_None ? nullptr : o; }

Transaction make(std::optional<py::Instance<NorvaEngine>> engine, std::uint64_t write_timeout_ms) {
    py::Ref owner;
    if (engine) {
        owner = py::Ref::borrow(engine->obj);
    } else {
        owner = py::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(norva_engine_type())));
    }
    return Transaction::create(std::move(owner), write_timeout_ms);
}

py::Ref enter(py::Instance<Transaction> self) {
    self->start = std::chrono::steady_clock::now();
    self->exited = false;
    return py::Ref::borrow(self.obj);
}

void exit(Transaction& self, PyObject* exc_type, PyObject*, PyObject*) {
    self.exited = true;
    if (exc_type != Py_None) return;
    self.finish();
}

void commit(Transaction& self) { self.commit(); }

void update(Transaction& self, PyObject* data, PyObject* heavy, PyObject* signal) {
    self.update(absent_if_none(data), absent_if_none(heavy), absent_if_none(signal));
}

[[noreturn]] void reduce(Transaction&) {
    throw py::error(PyExc_RuntimeError,
                    "Transaction objects cannot be pickled/deepcopied. They are transient controllers with scoped "
                    "lifecycle. Use contextvars to access the active transaction.");
}
[[noreturn]] void deepcopy(Transaction&, PyObject*) {
    throw py::error(PyExc_RuntimeError,
                    "Transaction objects cannot be deepcopied. They are transient controllers with scoped lifecycle.");
}

void log_delta(Transaction& self, std::string path, PyObject* old_val, PyObject* new_val) {
    auto ref = [](PyObject* o) { return o == Py_None ? py::Ref() : py::Ref::borrow(o); };
    self.tracker->log_delta(std::move(path), ref(old_val), ref(new_val));
}
void log_internal(Transaction&, std::string_view, std::string_view, PyObject*, PyObject*, PyObject*,
                  std::optional<std::string_view>) {}
py::Ref get_shadow(Transaction& self, PyObject* val, std::optional<std::string> path) {
    return self.tracker->get_shadow(val, path);
}
bool is_known_shadow(Transaction& self, PyObject* obj) { return self.tracker->is_known_shadow(obj); }
void infer_shadow_deltas(Transaction& self) { self.tracker->infer_shadow_deltas(); }
py::Ref build_pending_from_deltas(Transaction& self) {
    return self.tracker->build_pending_from_deltas(self.pending_data.get());
}
py::Ref get_shadow_updates(Transaction& self) { return self.tracker->get_shadow_updates(self.pending_data.get()); }
py::Ref get_delta_log(Transaction& self) {
    return py::list_of(self.tracker->delta_paths(), [](const std::string& p) { return py::str(p); });
}
void flush_outbox(Transaction& self) { self.flush_outbox(); }

std::uint64_t write_timeout_ms(Transaction& self) { return self.write_timeout_ms; }
py::Ref pending_heavy(Transaction& self) { return self.pending_heavy.copy(); }
py::Ref pending_signal(Transaction& self) { return self.pending_signal.copy(); }
py::Ref outbox(Transaction& self) { return collector_object(self.outbox); }

}  // namespace

PyTypeObject* transaction_type() {
    static PyTypeObject* tp = [] {
        PyTypeObject* t = py::define_class<Transaction, make>({
            .name = "norva_core.Transaction",
            .signature = "(engine=None, write_timeout_ms=5000)",
            .methods =
                {
                    py::method<enter, py::Access::Exclusive>("__enter__($self)"),
                    py::method<exit>("__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)"),
                    py::method<commit>("commit($self)",
                                       "[v3.1 Zero Trust] Commit Delta Log to Pending State\n"
                                       "This applies the implicit mutations (captured in shadow objects) to the "
                                       "pending_data/heavy buffers."),
                    py::method<update>("update($self, data=None, heavy=None, signal=None)"),
                    py::method<reduce>("__reduce__($self)",
                                       "[v3.4] Fail-fast: Transaction cannot be pickled/deepcopied.\n"
                                       "Prevents silent corruption if Transaction leaks into serializable paths."),
                    py::method<deepcopy>("__deepcopy__($self, _memo)"),
                    py::method<log_delta>("log_delta($self, path, old_val=None, new_val=None)",
                                          "[v3.1 Zero Trust] Log operation for Audit"),
                    py::method<log_internal>(
                        "log_internal($self, _path, _op, _new_val=None, _old_val=None, _obj_ref=None, _key=None)",
                        "Internal: Log operation for Audit (Full)"),
                    py::method<get_shadow>("get_shadow($self, val, path=None)",
                                           "Internal: Get shadow copy for CoW/Tracking"),
                    py::method<is_known_shadow>("is_known_shadow($self, obj)",
                                                "[INC-013] Helper: Check if object is a tracked Shadow."),
                    py::method<infer_shadow_deltas>("infer_shadow_deltas($self)",
                                                    "[v3.1.2] Infer Deltas from Shadow Mutations (Differential Merging)"),
                    py::method<build_pending_from_deltas>(
                        "build_pending_from_deltas($self)",
                        "[v3.1 Delta Replay] Build pending_data from delta_log by replaying mutations"),
                    py::method<get_shadow_updates>(
                        "get_shadow_updates($self)",
                        "Get shadow updates keyed by root path (e.g., 'domain' -> shadow_dict)\n"
                        "This extracts all modified root-level objects for committing to State."),
                    py::method<get_delta_log>("get_delta_log($self)",
                                              "[v3.1.2] Expose raw delta log for strict contract validation"),
                    py::method<flush_outbox>("flush_outbox($self)", "[v3.3] Manual Flush for Flux Engine / execute()"),
                },
            .properties =
                {
                    py::property<write_timeout_ms>("write_timeout_ms"),
                    py::property<pending_heavy>("pending_heavy"),
                    py::property<pending_signal>("pending_signal"),
                    py::property<build_pending_from_deltas>("pending_data"),
                    py::property<outbox>("outbox"),
                },
        });
        // A proxy must not hand out a transaction from the thread slot once it has exited.
        access::set_finished_check(
            [](PyObject* tx) { return py::is_instance<Transaction>(tx) && py::native<Transaction>(tx).exited; });
        return t;
    }();
    return tp;
}

}  // namespace norva::engine
