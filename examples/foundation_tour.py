"""A short tour of what norva_core offers so far.

Run it with `make example`. It shows the zones that decide what a path may do and how the
process-wide physics overrides change them, the SupervisorCore key/value store, a shared-memory
buffer descriptor, and the schema loader on a valid and an invalid schema document.
"""

from __future__ import annotations

import threading

import norva_core
from norva_core import ConfigLoader, SchemaViolationError, SupervisorCore

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


if __name__ == "__main__":
    zones_and_overrides()
    supervisor_core()
    buffer_descriptor()
    schema_loader()
