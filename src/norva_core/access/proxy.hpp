// SupervisorProxy: the capability-checked view through which a process sees a mutable piece of
// the shared state. Reads are refused (answered with None) when the mask and the zone of the path
// forbid them; containers read through a proxy come back wrapped in child proxies with their own
// paths and narrowed masks, so every level of a nested structure obeys the same rules.
#pragma once

#include "../py/object.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace norva::access {

struct SupervisorProxy {
    std::string path;
    py::Ref target;
    bool read_only = false;
    bool has_transaction = false;  // a transaction was given at construction; it is not kept
    bool is_shadow = false;        // the target is already the transaction's private copy
    std::uint8_t capabilities = 15;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(target.get());
        return 0;
    }
    void clear() { target.reset(); }
};

// The active transaction: the host's context variable first (norva.guards._current_tx), then the
// calling thread's slot. Never raises; an empty Ref means none.
py::Ref get_current_tx();

// Store a transaction in the calling thread's slot (every proxy built with one does).
void set_thread_tx(PyObject* tx);

// Hook for the engine: tells whether a transaction object has finished (its exit ran), so the
// thread slot never hands out a committed transaction. Unset until the engine registers one.
using FinishedCheck = bool (*)(PyObject* tx);
void set_finished_check(FinishedCheck check);

// Child paths: "p.k" (attribute form) or "p[k]" (item form); just "k" under an empty path.
std::string dotted_child(std::string_view path, std::string_view key);
std::string bracket_child(std::string_view path, std::string_view key);

// May a holder of `mask` read `child_path`?
bool may_read(std::uint8_t mask, std::string_view child_path);

// Wrapping rule of attribute and item reads: containers come back as child proxies whose mask
// is narrowed by the child path's zone. `item_read` decides whether a failing shadow copy raises.
py::Ref wrap_read(const SupervisorProxy& self, PyObject* value, std::string_view child_path, bool item_read);

// Wrapping rule of get/items/values/setdefault: the proxy's own mask is kept.
py::Ref wrap_result(const SupervisorProxy& self, PyObject* value, std::string_view child_path);

// A new Python proxy object; a non-null `tx` is stored in the thread slot.
py::Ref make_proxy(std::string path, PyObject* target, bool read_only, PyObject* tx, bool is_shadow,
                   std::uint8_t capabilities);

// Text of str(key) for building child paths.
std::string key_text(PyObject* key);

}  // namespace norva::access
