"""A short tour of what norva_core offers so far.

Run it with `make example`. It shows the zones that decide what a path may do and how the
process-wide physics overrides change them, the SupervisorCore key/value store, a shared-memory
buffer descriptor, the schema loader on a valid and an invalid schema document, and an order book
kept by an engine: transactions that commit through a schema, shadows, committed messages
dispatched to a worker, a refused commit, and conflict back-off.
"""

from __future__ import annotations

import threading

import pydantic

import norva_core
from norva_core import ConfigLoader, NorvaEngine, OutboxMsg, SchemaViolationError, SupervisorCore

BufferDescriptor = norva_core.shm.BufferDescriptor


def section(title: str) -> None:
    print(f"\n== {title} ==")


def zones_and_overrides() -> None:
    section("physics overrides")
    # The registry is process-wide: every proxy of every engine sees it until it is cleared.
    norva_core.register_physics_override("domain.settings", 1)  # READ only below domain.settings
    print("registered: domain.settings -> 0001 (read only)")
    try:
        norva_core.register_physics_override("domain.settings", 256)
    except OverflowError as exc:
        print(f"refused a mask outside 0..255: {exc}")
    norva_core.clear_physics_overrides()
    print("cleared: zone physics apply again")


def supervisor_core() -> None:
    section("SupervisorCore")
    store = SupervisorCore()
    config = {"retries": 3}
    store.write("config", config)
    print("read returns the stored object itself:", store.read("config") is config)
    store.write("config", {"retries": 5})
    print("version after two writes:", store.get_version("config"))

    def bump(n: int) -> None:
        for _ in range(1000):
            store.write("counter", n)

    threads = [threading.Thread(target=bump, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("4 threads x 1000 writes -> version", store.get_version("counter"), "(every write counted)")
    print("keys:", sorted(store.keys()), "| remove:", store.remove("config"), store.remove("config"))


def buffer_descriptor() -> None:
    section("BufferDescriptor")
    desc = BufferDescriptor("/norva_frame_0", 2 * 3 * 8, (2, 3), "float64")
    print(repr(desc))
    try:
        BufferDescriptor("/bad", 6, "23", "uint8")
    except TypeError as exc:
        print(f"a text is not a shape: {exc}")


def schema_loader() -> None:
    section("ConfigLoader")
    valid = """\
context:
  domain:
    user_id:
      type: int
      required: true
    nickname:
"""
    ConfigLoader.load_from_string(valid)
    print("valid schema accepted")
    invalid = """\
context:
  domain:
    user_id:
      type: int
      required: yes-please
"""
    try:
        ConfigLoader.load_from_string(invalid)
    except SchemaViolationError as exc:
        print(f"invalid schema refused: {exc}")


class Book(pydantic.BaseModel):
    """What every committed version of the order book must look like."""

    orders: list[str]
    total: int


def order_book() -> None:
    section("engine and transactions")
    engine = NorvaEngine()
    engine.set_schema(Book)
    with engine.transaction() as tx:
        tx.update(data={"orders": [], "total": 0})
    print("version", engine.state.version, "data", engine.state.data.to_dict())

    def place(order: str, amount: int) -> None:
        with engine.transaction() as tx:
            data = engine.state.data
            orders = tx.get_shadow(data["orders"], "orders")  # a private copy, compared at exit
            orders.append(order)
            tx.update(data={"total": data["total"] + amount})
            tx.outbox.add(OutboxMsg("order_placed", {"order": order, "amount": amount}))

    place("apples", 3)
    place("pears", 2)
    print("version", engine.state.version, "data", engine.state.data.to_dict())

    try:
        with engine.transaction() as tx:
            tx.update(data={"total": "a lot"})
            tx.outbox.add(OutboxMsg("never_sent", None))
    except SchemaViolationError as exc:
        print("refused:", str(exc).splitlines()[0])
    print("still version", engine.state.version, "| the refused message stayed behind:", tx.outbox.len())

    engine.attach_worker(lambda msg: print(f"  worker got {msg.topic}: {msg.payload}"))
    print("dispatching the committed messages:")
    engine.process_outbox()

    decisions = [engine.report_conflict("importer") for _ in range(6)]
    print("back-off for a writer that keeps losing:", [d.wait_ms for d in decisions], "(the last one: VIP)")
    engine.report_success("importer")


if __name__ == "__main__":
    zones_and_overrides()
    supervisor_core()
    buffer_descriptor()
    schema_loader()
    order_book()
