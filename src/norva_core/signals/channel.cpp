#include "channel.hpp"

#include "../py/boundary.hpp"
#include "../py/text.hpp"

#include <algorithm>
#include <iterator>

namespace norva::signals {

Take Channel::take(ReceiverState& rx, std::string& message, std::uint64_t& missed) {
    if (head - rx.position > WINDOW) {
        missed = head - WINDOW - rx.position;
        rx.position = head - WINDOW;
        return Take::Lagged;
    }
    if (rx.position < head) {
        message = ring[rx.position % WINDOW];
        ++rx.position;
        return Take::Message;
    }
    return closed ? Take::Closed : Take::Empty;
}

Sender::Sender() : channel_(std::make_shared<Channel>()) {}

Sender::~Sender() {
    std::vector<std::shared_ptr<AsyncWaiter>> parked;
    {
        std::lock_guard lock(channel_->mutex);
        channel_->closed = true;
        parked.swap(channel_->waiters);
    }
    channel_->ready.notify_all();
    wake(std::move(parked));
}

std::size_t Sender::publish(std::string_view message) {
    std::vector<std::shared_ptr<AsyncWaiter>> parked;
    std::size_t delivered;
    {
        std::lock_guard lock(channel_->mutex);
        delivered = channel_->receivers;
        if (delivered == 0) return 0;
        channel_->ring[channel_->head % WINDOW].assign(message);
        ++channel_->head;
        parked.swap(channel_->waiters);
    }
    channel_->ready.notify_all();
    wake(std::move(parked));
    return delivered;
}

std::shared_ptr<ReceiverState> Sender::subscribe() {
    auto rx = std::make_shared<ReceiverState>();
    rx->channel = channel_;
    std::lock_guard lock(channel_->mutex);
    rx->position = channel_->head;
    ++channel_->receivers;
    return rx;
}

void release_receiver(ReceiverState& rx) {
    std::lock_guard lock(rx.channel->mutex);
    --rx.channel->receivers;
}

namespace {

void set_outcome(PyObject* future, Take taken, const std::string& message, std::uint64_t missed) {
    py::Ref outcome;
    const char* setter = "set_exception";
    if (taken == Take::Message) {
        outcome = py::str(message);
        setter = "set_result";
    } else if (taken == Take::Lagged) {
        outcome = py::check(PyObject_CallFunction(PyExc_RuntimeError, "s",
                                                  py::fmt("Channel Lagged: missed {} messages", missed).c_str()));
    } else {
        outcome = py::check(PyObject_CallFunction(PyExc_StopAsyncIteration, "s", "Channel Closed"));
    }
    py::check(PyObject_CallMethod(future, setter, "O", outcome.get()));
}

bool future_done(PyObject* future) {
    py::Ref done = py::Ref::steal(PyObject_CallMethod(future, "done", nullptr));
    if (!done) {
        PyErr_Clear();
        return true;  // a future that cannot answer is not waited for
    }
    return PyObject_IsTrue(done.get()) != 0;
}

// Runs on the waiter's event loop. Taking the message only here means a receive cancelled before
// its completion ran consumes nothing.
PyObject* complete(PyObject* capsule, PyObject*) {
    auto* holder = static_cast<std::shared_ptr<AsyncWaiter>*>(PyCapsule_GetPointer(capsule, "norva.signal_waiter"));
    if (holder == nullptr) return nullptr;
    return py::guarded([&]() -> PyObject* {
        std::shared_ptr<AsyncWaiter> waiter = *holder;
        if (future_done(waiter->future.get())) return py::none().release();
        Channel& ch = *waiter->receiver->channel;
        std::string message;
        std::uint64_t missed = 0;
        Take taken;
        std::vector<std::shared_ptr<AsyncWaiter>> abandoned;  // released after the lock
        {
            std::lock_guard lock(ch.mutex);
            taken = ch.take(*waiter->receiver, message, missed);
            if (taken == Take::Empty) {
                // Another receive got there first: park again. Waiters whose futures were
                // cancelled meanwhile leave, so abandoned receives do not accumulate.
                auto keep = std::stable_partition(ch.waiters.begin(), ch.waiters.end(),
                                                  [](const auto& w) { return !future_done(w->future.get()); });
                std::move(keep, ch.waiters.end(), std::back_inserter(abandoned));
                ch.waiters.erase(keep, ch.waiters.end());
                ch.waiters.push_back(std::move(waiter));
                return py::none().release();
            }
        }
        set_outcome(waiter->future.get(), taken, message, missed);
        return py::none().release();
    });
}

PyMethodDef complete_def = {"signal_receive_completion", complete, METH_NOARGS, nullptr};

}  // namespace

void wake(std::vector<std::shared_ptr<AsyncWaiter>> waiters) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // waking may happen on an error path; keep its exception
    for (auto& w : waiters) {
        auto* holder = new std::shared_ptr<AsyncWaiter>(w);
        PyObject* capsule = PyCapsule_New(holder, "norva.signal_waiter", [](PyObject* c) {
            delete static_cast<std::shared_ptr<AsyncWaiter>*>(PyCapsule_GetPointer(c, "norva.signal_waiter"));
        });
        if (capsule == nullptr) {
            delete holder;
            PyErr_Clear();
            continue;
        }
        PyObject* fn = PyCFunction_New(&complete_def, capsule);
        Py_DECREF(capsule);
        if (fn == nullptr) {
            PyErr_Clear();
            continue;
        }
        // A loop that has been closed cannot take the completion; its receive is then abandoned.
        PyObject* r = PyObject_CallMethod(w->loop.get(), "call_soon_threadsafe", "O", fn);
        Py_XDECREF(r);
        Py_DECREF(fn);
        if (r == nullptr) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

}  // namespace norva::signals
