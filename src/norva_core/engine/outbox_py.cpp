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

py::Ref messages_of(const OutboxList& list) {
    return py::list_of(list.snapshot(), [](const Message& m) { return message_object(m); });
}

OutboxHandle make_outbox() { return {std::make_shared<OutboxList>()}; }

void outbox_add(OutboxHandle& self, Message& msg) {
    Message copy = msg.copy();
    py::write_stderr(py::fmt("DEBUG: Outbox::add topic={}\n", copy.topic));
    self.list->append(std::move(copy));
}
py::Ref outbox_messages(OutboxHandle& self) { return messages_of(*self.list); }

void collector_add(CollectorHandle& self, Message& msg) { self.list->append(msg.copy()); }
std::size_t collector_len(CollectorHandle& self) { return self.list->size(); }
py::Ref collector_drain(CollectorHandle& self) {
    std::vector<Message> taken = self.list->take_all();
    return py::list_of(taken, [](const Message& m) { return message_object(m); });
}

}  // namespace

void move_messages(OutboxList& from, OutboxList& to) {
    std::vector<Message> taken = from.take_all();
    to.append_all(std::move(taken));
}

py::Ref message_object(const Message& m) { return py::wrap(m.copy()); }
Message message_value(PyObject* msg) { return py::from_python<Message&>(msg).copy(); }
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
