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

class OutboxList {
public:
    void append(Message m) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(m));
    }
    void append_all(std::vector<Message>&& ms) {
        if (ms.empty()) return;
        std::lock_guard lock(mutex_);
        for (Message& m : ms) items_.push_back(std::move(m));
    }
    // Puts messages back in front, ahead of any that arrived since they were taken.
    void prepend_all(std::vector<Message>&& ms) {
        if (ms.empty()) return;
        std::lock_guard lock(mutex_);
        items_.insert(items_.begin(), std::make_move_iterator(ms.begin()), std::make_move_iterator(ms.end()));
    }
    // The caller drops the result outside the lock: releasing payloads may run Python code.
    std::vector<Message> take_all() {
        std::lock_guard lock(mutex_);
        return std::exchange(items_, {});
    }
    std::vector<Message> snapshot() const {
        std::lock_guard lock(mutex_);
        std::vector<Message> out;
        out.reserve(items_.size());
        for (const Message& m : items_) out.push_back(m.copy());
        return out;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

    // For the garbage collector: only an owner that holds the list alone may report its
    // payloads, or a payload would be counted once per holder.
    static int traverse(const std::shared_ptr<OutboxList>& list, visitproc visit, void* arg) {
        if (!list || list.use_count() != 1) return 0;
        for (Message& m : list->items_) {
            if (int r = m.traverse(visit, arg)) return r;
        }
        return 0;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Message> items_;
};

using SharedOutbox = std::shared_ptr<OutboxList>;

// Moves every message of `from` to the end of `to`, in order (transaction outbox, then engine
// outbox: the lock order every caller keeps).
void move_messages(OutboxList& from, OutboxList& to);

// The Python OutboxMsg for a message value, and back.
py::Ref message_object(const Message& m);
Message message_value(PyObject* msg);  // msg must be an OutboxMsg

// The Python handles on a shared list.
py::Ref collector_object(SharedOutbox list);
py::Ref outbox_object(SharedOutbox list);

}  // namespace norva::engine
