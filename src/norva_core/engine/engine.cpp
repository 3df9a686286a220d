#include "engine.hpp"

#include "../module/exceptions.hpp"
#include "../py/compat.hpp"
#include "../py/text.hpp"

namespace norva::engine {

int NorvaEngine::traverse(visitproc visit, void* arg) {
    Py_VISIT(state.get());
    for (const auto* slot : {&worker, &schema, &audit}) {
        if (*slot && slot->use_count() == 1) Py_VISIT((*slot)->value.get());
    }
    return OutboxList::traverse(outbox, visit, arg);
}

void NorvaEngine::clear() {
    // The state stays: every read of the engine expects one. Slots are emptied of what can form
    // a cycle back to the engine.
    for (auto* slot : {&worker, &schema, &audit}) {
        if (*slot && slot->use_count() == 1) {
            py::Ref old = std::move((*slot)->value);
            (*slot)->value = py::none();
        }
    }
    if (outbox && outbox.use_count() == 1) outbox->take_all();
}

void validate_schema(NorvaEngine& engine, PyObject* successor, const char* pattern) {
    std::shared_ptr<ObjectSlot> slot = engine.schema;
    py::GilLock lock(slot->mutex, kSchemaReentry);
    if (!slot->present) return;
    py::Ref schema = slot->value.copy();
    py::Ref data = py::check(PyObject_GetAttr(successor, NORVA_ID("data")));
    py::Ref dict = py::check(PyObject_CallMethodNoArgs(data.get(), NORVA_ID("to_dict")));
    py::Ref validated =
        py::Ref::steal(PyObject_CallMethodOneArg(schema.get(), NORVA_ID("model_validate"), dict.get()));
    if (!validated) {
        py::Ref error = py::take_exception();
        throw py::error(exc::SchemaViolationError, py::fmt(pattern, py::exception_text(error.get())));
    }
}

void process_outbox(NorvaEngine& engine) {
    if (engine.outbox->size() == 0) return;
    std::shared_ptr<ObjectSlot> slot = engine.worker;
    // The worker slot is taken before any message, so a refused re-entry loses nothing.
    py::GilLock lock(slot->mutex, kWorkerReentry);
    if (!slot->present) return;  // without a worker the messages wait for one
    std::vector<py::Ref> batch = engine.outbox->take_all();
    py::Ref worker = slot->value.copy();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        py::Ref msg = std::move(batch[i]);  // handed out once, as it leaves the queue
        py::Ref r = py::Ref::steal(PyObject_CallOneArg(worker.get(), msg.get()));
        if (!r) {
            // The failed message is dropped; the rest go back in front, in order.
            std::vector<py::Ref> rest(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(i) + 1),
                                      std::make_move_iterator(batch.end()));
            engine.outbox->prepend_all(std::move(rest));
            throw py::error_already_set{};
        }
    }
}

}  // namespace norva::engine
