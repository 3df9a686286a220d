#include "supervisor_core.hpp"

namespace norva {

SupervisorCore::SupervisorCore(SupervisorCore&&) noexcept = default;

std::shared_ptr<SupervisorCore::Entry> SupervisorCore::find(std::string_view key) {
    PoisonLock::Shared table(state_->lock);
    auto it = state_->table.find(key);
    return it == state_->table.end() ? nullptr : it->second;
}

py::Ref SupervisorCore::read(std::string_view key) {
    std::shared_ptr<Entry> entry = find(key);
    if (!entry) return py::none();
    PoisonLock::Shared guard(entry->lock);
    return entry->value.copy();
}

void SupervisorCore::write(std::string_view key, PyObject* value) {
    // A replaced value is released only after every lock is dropped: its finaliser may run Python
    // code that comes back to this store.
    py::Ref incoming = py::Ref::borrow(value);
    py::Ref replaced;
    auto update = [&](Entry& entry) {
        PoisonLock::Exclusive guard(entry.lock);
        replaced = std::exchange(entry.value, std::move(incoming));
        entry.version.fetch_add(1, std::memory_order_relaxed);
    };
    if (std::shared_ptr<Entry> entry = find(key)) {
        update(*entry);
        return;
    }
    std::shared_ptr<Entry> existing;
    {
        PoisonLock::Exclusive table(state_->lock);
        // Another thread may have inserted the key since the shared lookup; an update must then
        // count as one, not reset the entry.
        auto it = state_->table.find(key);
        if (it != state_->table.end()) {
            existing = it->second;
        } else {
            auto entry = std::make_shared<Entry>();
            entry->value = std::move(incoming);
            state_->table.emplace(std::string(key), std::move(entry));
        }
    }
    if (existing) update(*existing);
}

std::optional<std::uint64_t> SupervisorCore::get_version(std::string_view key) {
    std::shared_ptr<Entry> entry = find(key);
    if (!entry) return std::nullopt;
    return entry->version.load(std::memory_order_relaxed);
}

bool SupervisorCore::contains(std::string_view key) { return find(key) != nullptr; }

std::vector<std::string> SupervisorCore::keys() {
    PoisonLock::Shared table(state_->lock);
    std::vector<std::string> out;
    out.reserve(state_->table.size());
    for (const auto& [k, _] : state_->table) out.push_back(k);
    return out;
}

bool SupervisorCore::remove(std::string_view key) {
    std::shared_ptr<Entry> removed;
    {
        PoisonLock::Exclusive table(state_->lock);
        auto it = state_->table.find(key);
        if (it == state_->table.end()) return false;
        removed = std::move(it->second);
        state_->table.erase(it);
    }
    return true;  // `removed` drops the value here, outside the lock
}

int SupervisorCore::traverse(visitproc visit, void* arg) {
    // The collector runs only where no operation of this store holds a lock (none allocates
    // Python objects while locked), so try-locking never skips in practice; if it ever did, the
    // values would merely look reachable for one round.
    if (!state_ || !state_->lock.try_lock_shared()) return 0;
    int rc = 0;
    for (auto& [_, entry] : state_->table) {
        if (!entry->lock.try_lock_shared()) continue;
        PyObject* v = entry->value.get();
        rc = v ? visit(v, arg) : 0;
        entry->lock.unlock_shared();
        if (rc) break;
    }
    state_->lock.unlock_shared();
    return rc;
}

void SupervisorCore::clear() {
    Table dropped;
    {
        PoisonLock::Exclusive table(state_->lock);
        dropped.swap(state_->table);
    }
}

}  // namespace norva
