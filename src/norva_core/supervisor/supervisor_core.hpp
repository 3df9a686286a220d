// SupervisorCore: a thread-safe key/value store of Python objects with a version per key.
//
// It keeps references, not copies. Each entry has its own lock, so writers of different keys
// only share a short read lock on the key table.
#pragma once

#include "poison_lock.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace norva {

class SupervisorCore {
public:
    SupervisorCore() = default;
    SupervisorCore(SupervisorCore&&) noexcept;

    py::Ref read(std::string_view key);  // the stored object itself, or None
    void write(std::string_view key, PyObject* value);
    std::optional<std::uint64_t> get_version(std::string_view key);
    bool contains(std::string_view key);
    std::vector<std::string> keys();
    bool remove(std::string_view key);

    int traverse(visitproc visit, void* arg);
    void clear();

private:
    struct Entry {
        PoisonLock lock{"Entry Lock Poisoned"};
        py::Ref value;
        std::atomic<std::uint64_t> version{0};
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using Table = std::unordered_map<std::string, std::shared_ptr<Entry>, Hash, std::equal_to<>>;

    std::shared_ptr<Entry> find(std::string_view key);

    // Behind a pointer so the store can be moved into its Python object; locks cannot move.
    struct State {
        PoisonLock lock{"Lock Poisoned"};
        Table table;
    };
    std::unique_ptr<State> state_ = std::make_unique<State>();
};

}  // namespace norva
