"""Rows for the foundation: SupervisorCore against a locked dict, ConfigLoader against PyYAML."""

from __future__ import annotations

import threading
from time import perf_counter

import yaml

import norva_core
from common import Row, per_call

# ---- SupervisorCore vs a dict behind threading.Lock, doing the same work -------------------

core = norva_core.SupervisorCore()
core.write("counter", 1)


class LockedStore:
    """The pure-Python peer: a value dict and a version dict behind one lock."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.values: dict[str, object] = {}
        self.versions: dict[str, int] = {}

    def read(self, key: str) -> object:
        with self.lock:
            return self.values.get(key)

    def write(self, key: str, val: object) -> None:
        with self.lock:
            if key in self.values:
                self.versions[key] += 1
            else:
                self.versions[key] = 0
            self.values[key] = val

    def get_version(self, key: str) -> int | None:
        with self.lock:
            return self.versions.get(key)


peer = LockedStore()
peer.write("counter", 1)


def loop(fn, *args):
    def timed(loops: int) -> float:
        it = range(loops)
        t0 = perf_counter()
        for _ in it:
            fn(*args)
        return perf_counter() - t0

    return timed


# ---- ConfigLoader vs PyYAML's C loader plus a pure-Python check ----------------------------

SCHEMA = "context:\n  domain:\n" + "".join(
    f"    field_{i}:\n      type: {'int' if i % 2 else 'str'}\n      required: {'true' if i % 3 else 'false'}\n"
    + (f"      default: '{i}'\n" if i % 5 == 0 else "")
    for i in range(25)
) + "  global:\n" + "".join(f"    setting_{i}:\n      type: float\n" for i in range(25))

FIELD_KEYS = {"type", "required", "default"}


def python_check(text: str) -> None:
    doc = yaml.load(text, Loader=yaml.CSafeLoader)
    if doc is None:
        return
    if not isinstance(doc, dict) or set(doc) - {"context"}:
        raise ValueError("bad root")
    ctx = doc.get("context") or {}
    if not isinstance(ctx, dict) or set(ctx) - {"global", "domain"}:
        raise ValueError("bad context")
    for zone in ("global", "domain"):
        fields = ctx.get(zone) or {}
        if not isinstance(fields, dict):
            raise ValueError("bad zone")
        for spec in fields.values():
            spec = spec or {}
            if not isinstance(spec, dict) or set(spec) - FIELD_KEYS:
                raise ValueError("bad field")
            if not isinstance(spec.get("required", True), bool):
                raise ValueError("bad required")
            for key in ("type", "default"):
                if isinstance(spec.get(key), (list, dict)):
                    raise ValueError("bad scalar")


python_check(SCHEMA)
norva_core.ConfigLoader.load_from_string(SCHEMA)

ROWS = [
    Row("SupervisorCore.read vs locked dict", "<= 1.0", loop(core.read, "counter"), loop(peer.read, "counter")),
    Row("SupervisorCore.write vs locked dict", "<= 1.0", loop(core.write, "counter", 2), loop(peer.write, "counter", 2)),
    Row("SupervisorCore.get_version vs locked dict", "report", loop(core.get_version, "counter"),
        loop(peer.get_version, "counter")),
    Row("ConfigLoader.load_from_string, 50 fields vs PyYAML C + check", "<= 1.0",
        per_call(lambda: norva_core.ConfigLoader.load_from_string(SCHEMA)), per_call(lambda: python_check(SCHEMA))),
]
