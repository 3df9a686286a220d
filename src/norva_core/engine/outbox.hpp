// Queued messages: a message value and the shared, locked list that outboxes are made of.
//
// A list is shared by its owner (an engine, a transaction, a process context) and every handle
// made on it. Its mutex is held only for the append, the count or the move of messages, never
// while Python code runs, so it is never waited on while another thread holds the interpreter lock.
#pragma once

#include "../py/ref.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norva::engine {

struct Message {
    std::string topic;
    py::Ref payload;

    Message(std::string t, py::Ref p) : topic(std::move(t)), payload(std::move(p)) {}
    Message(Message&&) noexcept = default;
    Message& operator=(Message&&) noexcept = default;
    Message copy() const { return {topic, payload.copy()}; }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(payload.get());
        return 0;
    }
    void clear() { payload.reset(); }
};

// Holds OutboxMsg objects that nothing else references: each is a copy made when its message was
// queued, and is handed out once, when it leaves the list (drain, dispatch). Snapshots copy them.
class OutboxList {
public:
    void append(py::Ref msg) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(msg));
    }
    void append_all(std::vector<py::Ref>&& ms) {
        if (ms.empty()) return;
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
            items_ = std::move(ms);
            return;
        }
        for (py::Ref& m : ms) items_.push_back(std::move(m));
    }
    // Puts messages back in front, ahead of any that arrived since they were taken.
    void prepend_all(std::vector<py::Ref>&& ms) {
        if (ms.empty()) return;
        std::lock_guard lock(mutex_);
        items_.insert(items_.begin(), std::make_move_iterator(ms.begin()), std::make_move_iterator(ms.end()));
    }
    // The caller drops the result outside the lock: releasing messages may run Python code.
    std::vector<py::Ref> take_all() {
        std::lock_guard lock(mutex_);
        return std::exchange(items_, {});
    }
    std::vector<py::Ref> snapshot() const {
        std::lock_guard lock(mutex_);
        std::vector<py::Ref> out;
        out.reserve(items_.size());
        for (const py::Ref& m : items_) out.push_back(m.copy());
        return out;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

    // For the garbage collector: only an owner that holds the list alone may report its
    // messages, or a message would be counted once per holder.
    static int traverse(const std::shared_ptr<OutboxList>& list, visitproc visit, void* arg) {
        if (!list || list.use_count() != 1) return 0;
        for (py::Ref& m : list->items_) Py_VISIT(m.get());
        return 0;
    }

private:
    mutable std::mutex mutex_;
    std::vector<py::Ref> items_;
};

using SharedOutbox = std::shared_ptr<OutboxList>;

// Moves every message of `from` to the end of `to`, in order (transaction outbox, then engine
// outbox: the lock order every caller keeps).
void move_messages(OutboxList& from, OutboxList& to);

// A new OutboxMsg with the topic and payload of `msg` (an OutboxMsg), to be queued.
py::Ref queued_copy(PyObject* msg);

// The Python handles on a shared list.
py::Ref collector_object(SharedOutbox list);
py::Ref outbox_object(SharedOutbox list);

}  // namespace norva::engine
