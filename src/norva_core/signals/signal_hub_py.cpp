// Python faces of SignalHub and SignalReceiver.
#include "signal_hub_py.hpp"

#include "../py/gil_mutex.hpp"

#include <chrono>

namespace norva::signals {

namespace {

// A live receiver: counted by the channel from subscribe until the Python object goes.
struct SignalReceiver {
    std::shared_ptr<ReceiverState> rx;

    explicit SignalReceiver(std::shared_ptr<ReceiverState> r) : rx(std::move(r)) {}
    SignalReceiver(SignalReceiver&& other) noexcept = default;
    ~SignalReceiver() {
        if (rx) release_receiver(*rx);
    }
};

SignalHub make_hub() { return SignalHub{std::make_shared<Sender>()}; }

std::size_t publish(SignalHub& self, std::string_view msg) { return self.sender->publish(msg); }

py::Ref subscribe(SignalHub& self) { return py::wrap(SignalReceiver(self.sender->subscribe())); }

[[noreturn]] void raise_for(Take taken, std::uint64_t missed) {
    if (taken == Take::Lagged) throw py::error(PyExc_RuntimeError, py::fmt("Channel Lagged: missed {} messages", missed));
    throw py::error(PyExc_StopAsyncIteration, "Channel Closed");
}

py::Ref recv(SignalReceiver& self) {
    std::shared_ptr<ReceiverState> rx = self.rx;
    Channel& ch = *rx->channel;
    std::string message;
    std::uint64_t missed = 0;
    Take taken = Take::Empty;
    while (true) {
        bool got = false;
        {
            py::AllowThreads nogil;
            std::unique_lock lock(ch.mutex);
            got = ch.ready.wait_for(lock, std::chrono::milliseconds(100), [&] {
                taken = ch.take(*rx, message, missed);
                return taken != Take::Empty;
            });
        }
        if (got) break;
        // The wait has no limit, but Ctrl-C must still end it.
        if (PyErr_CheckSignals() < 0) throw py::error_already_set{};
    }
    if (taken != Take::Message) raise_for(taken, missed);
    return py::str(message);
}

py::Ref recv_async(SignalReceiver& self) {
    py::Ref asyncio = py::check(PyImport_ImportModule("asyncio"));
    py::Ref loop = py::check(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
    py::Ref future = py::check(PyObject_CallMethod(loop.get(), "create_future", nullptr));
    auto waiter = std::make_shared<AsyncWaiter>(AsyncWaiter{self.rx, future.copy(), std::move(loop)});
    wake({std::move(waiter)});
    return future;
}

}  // namespace

PyTypeObject* signal_hub_type() {
    return py::define_class<SignalHub, make_hub>({
        .name = "norva_core.SignalHub",
        .signature = "()",
        .methods =
            {
                py::method<publish>("publish($self, msg)"),
                py::method<subscribe>("subscribe($self)"),
            },
    });
}

PyTypeObject* signal_receiver_type() {
    return py::define_class<SignalReceiver>({
        .name = "norva_core.SignalReceiver",
        .methods =
            {
                py::method<recv>("recv($self)", "Blocking receive. intended to be called via asyncio.to_thread()"),
                py::method<recv_async>("recv_async($self)",
                                       "Non-blocking async receive. Returns Python awaitable that can be cancelled.\n"
                                       "\n"
                                       "    msg = await rx.recv_async()\n"
                                       "    msg = await asyncio.wait_for(rx.recv_async(), timeout=5.0)"),
            },
    });
}

py::Ref new_hub(std::shared_ptr<Sender> sender) { return py::wrap(SignalHub{std::move(sender)}); }

}  // namespace norva::signals
