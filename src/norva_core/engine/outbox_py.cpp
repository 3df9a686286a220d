// Python faces of queued messages: OutboxMsg, Outbox and OutboxCollector.
#include "../py/text.hpp"
#include "engine_py.hpp"
#include "outbox.hpp"

namespace norva::engine {

namespace {

// The Python classes hold these; each is a distinct native type.
struct OutboxHandle {
    SharedOutbox list;
    int traverse(visitproc visit, void* arg) { return OutboxList::traverse(list, visit, arg); }
    void clear() {
        if (list && list.use_count() == 1) list->take_all();
    }
};
struct CollectorHandle : OutboxHandle {};

Message make_message(std::string topic, PyObject* payload) { return {std::move(topic), py::Ref::borrow(payload)}; }
std::string topic(Message& m) { return m.topic; }
py::Ref payload(Message& m) { return m.payload.copy(); }

py::Ref copy_of(const py::Ref& msg) { return py::wrap(py::native<Message>(msg.get()).copy()); }

py::Ref messages_of(const OutboxList& list) { return py::list_of(list.snapshot(), copy_of); }
py::Ref handed_out(std::vector<py::Ref> taken) {
    return py::list_of(taken, [](py::Ref& m) { return std::move(m); });
}

OutboxHandle make_outbox() { return {std::make_shared<OutboxList>()}; }

void outbox_add(OutboxHandle& self, py::Instance<Message> msg) {
    py::Ref copy = queued_copy(msg.obj);
    py::write_stderr(py::fmt("DEBUG: Outbox::add topic={}\n", msg->topic));
    self.list->append(std::move(copy));
}
py::Ref outbox_messages(OutboxHandle& self) { return messages_of(*self.list); }

void collector_add(CollectorHandle& self, py::Instance<Message> msg) { self.list->append(queued_copy(msg.obj)); }
std::size_t collector_len(CollectorHandle& self) { return self.list->size(); }
py::Ref collector_drain(CollectorHandle& self) { return handed_out(self.list->take_all()); }

}  // namespace

void move_messages(OutboxList& from, OutboxList& to) { to.append_all(from.take_all()); }

py::Ref queued_copy(PyObject* msg) { return py::wrap(py::native<Message>(msg).copy()); }
py::Ref collector_object(SharedOutbox list) { return py::wrap(CollectorHandle{{std::move(list)}}); }
py::Ref outbox_object(SharedOutbox list) { return py::wrap(OutboxHandle{std::move(list)}); }

PyTypeObject* outbox_msg_type() {
    return py::define_class<Message, make_message>({
        .name = "norva_core.OutboxMsg",
        .signature = "(topic, payload)",
        .properties = {py::property<topic>("topic"), py::property<payload>("payload")},
    });
}

PyTypeObject* outbox_type() {
    return py::define_class<OutboxHandle, make_outbox>({
        .name = "norva_core.Outbox",
        .signature = "()",
        .methods = {py::method<outbox_add>("add($self, msg)")},
        .properties = {py::property<outbox_messages>("messages")},
    });
}

PyTypeObject* outbox_collector_type() {
    return py::define_class<CollectorHandle>({
        .name = "norva_core.OutboxCollector",
        .doc = "Helper to collect outbox messages in Transaction",
        .methods =
            {
                py::method<collector_add>("add($self, msg)"),
                py::method<collector_len>("len($self)", "[v3.3] Get current message count"),
                py::method<collector_drain>("drain($self)", "[v3.3] Drain all messages from the buffer for Python-side flush"),
            },
    });
}

}  // namespace norva::engine
