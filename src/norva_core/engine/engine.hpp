// NorvaEngine: the current state and everything a commit needs besides the changes themselves.
#pragma once

#include "../py/gil_mutex.hpp"
#include "conflict.hpp"
#include "outbox.hpp"

#include <atomic>
#include <memory>

namespace norva::engine {

// A slot holding a Python object (absent until first set), with a lock that may stay held while
// Python code runs: the schema's validation, the worker's dispatch.
struct ObjectSlot {
    py::GilMutex mutex;
    py::Ref value;
    bool present = false;
};

struct NorvaEngine {
    py::Ref state;  // the current State object
    SharedOutbox outbox = std::make_shared<OutboxList>();
    std::shared_ptr<ObjectSlot> worker = std::make_shared<ObjectSlot>();
    std::shared_ptr<ObjectSlot> schema = std::make_shared<ObjectSlot>();
    std::shared_ptr<ObjectSlot> audit = std::make_shared<ObjectSlot>();
    std::shared_ptr<std::atomic<bool>> strict_guards = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> strict_cas = std::make_shared<std::atomic<bool>>(false);
    ConflictManager conflicts{5, 2};
    // Serializes commits (transaction exits, compare-and-swap): held from reading the current
    // state until the successor is installed and its messages are moved.
    std::shared_ptr<py::GilMutex> commit_lock = std::make_shared<py::GilMutex>();

    int traverse(visitproc visit, void* arg);
    void clear();
};

inline constexpr const char* kCommitReentry =
    "Commit re-entered: this thread is already committing through this engine";
inline constexpr const char* kSchemaReentry =
    "Schema slot re-entered: the schema's validation started a commit through the same engine";
inline constexpr const char* kWorkerReentry =
    "Worker slot re-entered: the worker called process_outbox or attach_worker of the engine dispatching to it";

// Validate `successor` against the engine's schema, if one is stored: successor.data.to_dict()
// handed to schema.model_validate. `prefix` starts the SchemaViolationError text.
void validate_schema(NorvaEngine& engine, PyObject* successor, const char* prefix);

// Dispatch the engine outbox through the worker.
void process_outbox(NorvaEngine& engine);

}  // namespace norva::engine
