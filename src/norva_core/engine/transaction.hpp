// Transaction: the unit of work in which one process changes application state, with its change
// tracker (the delta log and the shadows it compares at commit).
#pragma once

#include "../py/gil_mutex.hpp"
#include "outbox.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace norva::engine {

struct DeltaEntry {
    std::string path;
    std::string op;
    py::Ref new_value;  // empty: absent (a removal)
    py::Ref old_value;  // empty: not given
};

// What the transaction learns about changes. Every structure has its own lock; the locks may stay
// held while Python code runs (a deep copy, a replay into containers with Python-level
// __setitem__), so each is a GilMutex: a waiter does not hold the interpreter lock, and re-entry
// from the same thread raises RuntimeError instead of deadlocking.
class ChangeTracker {
public:
    void log_delta(std::string path, py::Ref old_value, py::Ref new_value);
    py::Ref get_shadow(PyObject* value, const std::optional<std::string>& path);
    bool is_known_shadow(PyObject* obj);
    // Compares every shadowed pair and logs the changed ones. May run any number of times: a pair
    // already logged with the same shadow object is not logged again (its entry holds the shadow
    // itself, so a replay sees every later change to it).
    void infer_shadow_deltas();
    // Delta values replayed by path into a new dict, in log order, with `pending_data` merged
    // over them.
    py::Ref build_pending_from_deltas(PyObject* pending_data);
    py::Ref get_shadow_updates(PyObject* pending_data);
    std::vector<std::string> delta_paths();
    // Replays the entries with a new value into `data` and `heavy` (by zone), shortest path first.
    void replay_by_length(PyObject* data, PyObject* heavy);

    int traverse(visitproc visit, void* arg);
    void clear();

private:
    struct Shadow {
        py::Ref shadow;
        py::Ref source;
    };
    py::GilMutex log_mutex_;
    std::vector<DeltaEntry> log_;
    std::set<std::pair<std::string, PyObject*>> inferred_;  // (path, shadow) pairs already logged
    py::GilMutex cache_mutex_;
    std::unordered_map<PyObject*, Shadow> cache_;
    py::GilMutex roots_mutex_;
    std::map<std::string, py::Ref, std::less<>> roots_;
    py::GilMutex sources_mutex_;
    std::map<std::string, py::Ref, std::less<>> sources_;
};

struct Transaction {
    std::uint64_t write_timeout_ms = 5000;
    py::Ref engine;          // a NorvaEngine object
    py::Ref pending_data;    // dict: what update() was given for the data zone, merged
    py::Ref pending_heavy;   // dict
    py::Ref pending_signal;  // list
    // The data zone of the next commit, built by commit(): the replayed deltas with the pending
    // data merged over them. A new dict each time; absent before the first commit().
    py::Ref committed_data;
    SharedOutbox outbox = std::make_shared<OutboxList>();
    std::shared_ptr<ChangeTracker> tracker = std::make_shared<ChangeTracker>();
    std::optional<std::chrono::steady_clock::time_point> start;
    bool exited = false;  // __exit__ ran and no __enter__ came since

    static Transaction create(py::Ref engine, std::uint64_t write_timeout_ms);

    void update(PyObject* data, PyObject* heavy, PyObject* signal);
    void commit();
    // Exit steps after the exception check: time-out, then under the engine's commit lock read
    // the state, infer, replay, build the successor, validate, install and move the messages.
    void finish();
    void flush_outbox();

    int traverse(visitproc visit, void* arg);
    void clear();
};

}  // namespace norva::engine
