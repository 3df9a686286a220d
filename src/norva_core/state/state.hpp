// State: the application state as one immutable, versioned snapshot.
//
// A State never changes after construction. `update` makes a successor that shares every
// untouched node of the persistent maps with its predecessor, the meta log and the signal hub
// with the whole chain of versions.
#pragma once

#include "../signals/channel.hpp"
#include "py_map.hpp"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace norva::state {

struct MetaLogEntry {
    double timestamp;
    std::string key;
    std::string message;

    std::string repr() const;
};

// Bounded log shared by every version of one chain.
class MetaLog {
public:
    explicit MetaLog(std::size_t capacity) : capacity_(capacity) {}
    void append(MetaLogEntry entry);
    std::vector<MetaLogEntry> entries();

private:
    std::mutex mutex_;
    std::deque<MetaLogEntry> entries_;
    std::size_t capacity_;
};

// The key version table maps a key of `data` or `heavy`, or a composite "key.subkey" made of a
// key and a key of its dict value, to the version that last wrote it. Top-level keys keep their
// versions in the zones' slots; composite keys have a map of their own. Versions only grow along
// a chain, so where one text has several records the greatest is the last write.
struct State {
    std::uint64_t version = 1;
    ZoneMap data;
    ZoneMap heavy;
    ObjectMap signals;   // str -> str, of the update that produced this version
    VersionMap composite_versions;
    std::shared_ptr<MetaLog> meta_log;
    std::size_t meta_capacity = 1000;
    std::shared_ptr<signals::Sender> hub;

    // `data` and `heavy` are dicts or null; each key must be a str.
    static State create(PyObject* data, PyObject* heavy, std::uint64_t version, std::size_t meta_capacity);

    State update(PyObject* data, PyObject* heavy, PyObject* signal) const;
    // The key version table's entry for `text` (an exact str), if it has one.
    std::optional<std::uint64_t> key_version(const Handle& text) const;
    void log_meta(std::string key, std::string message) const;
    State restrict_view() const;
};

// Seconds since the epoch as a float (0.0 before it).
double now_seconds();

}  // namespace norva::state
