"""Rows for immutable state, proxies and signals."""

from __future__ import annotations

import asyncio
import threading

import immutables

import norva_core
from common import Row, per_call
from pure_proxy import PurePythonProxy

# ---- State.update of one key ---------------------------------------------------------------

small = norva_core.State(data={f"k{i}": i for i in range(1_000)})
large = norva_core.State(data={f"k{i}": i for i in range(100_000)})
large_map = immutables.Map({f"k{i}": i for i in range(100_000)})
large_dict = {f"k{i}": i for i in range(100_000)}
one = {"k500": -1}


def dict_copy_update():
    d2 = dict(large_dict)
    d2["k500"] = -1


# ---- a scalar read through a read-only proxy -----------------------------------------------

plain = {"counter": 1, "name": "x"}
proxy = norva_core.SupervisorProxy(plain, "domain", read_only=True, capabilities=1)
pure = PurePythonProxy(plain, "domain", read_only=True, capabilities=1)
norva_core.clear_physics_overrides()


# ---- signals: publish to 8 receivers and receive each ----------------------------------------

hub = norva_core.SignalHub()
receivers = [hub.subscribe() for _ in range(8)]
queues: list[asyncio.Queue] = [asyncio.Queue() for _ in range(8)]


def hub_round():
    hub.publish("tick")
    for r in receivers:
        r.recv()


def queue_round():
    for q in queues:
        q.put_nowait("tick")
    for q in queues:
        q.get_nowait()


ROWS = [
    Row("State.update 1 key: 100k keys vs 1k keys", "<= 1.5",
        per_call(lambda: large.update(one)), per_call(lambda: small.update(one))),
    Row("State.update 1 key on 100k vs immutables.Map.set", "<= 2.0",
        per_call(lambda: large.update(one)), per_call(lambda: large_map.set("k500", -1))),
    Row("State.update 1 key on 100k vs dict copy", "<= 0.01",
        per_call(lambda: large.update(one)), per_call(dict_copy_update)),
    Row("proxy.counter (read-only) vs d['counter']", "<= 8.0",
        per_call(lambda: proxy.counter), per_call(lambda: plain["counter"])),
    Row("proxy['counter'] (read-only) vs d['counter']", "<= 8.0",
        per_call(lambda: proxy["counter"]), per_call(lambda: plain["counter"])),
    Row("proxy.counter vs pure-Python proxy", "<= 0.2",
        per_call(lambda: proxy.counter), per_call(lambda: pure.counter)),
    Row("publish to 8 + 8 recv vs asyncio.Queue fan-out", "<= 0.5",
        per_call(hub_round), per_call(queue_round)),
]
