"""Rows for the engine: transaction round trips, shadows, outbox dispatch."""

from __future__ import annotations

import copy
import threading
from time import perf_counter

import immutables

import norva_core
from common import Row, per_call


# ---- a full transaction round trip -------------------------------------------------------------


def engine_of(size: int) -> norva_core.NorvaEngine:
    e = norva_core.NorvaEngine()
    e.commit_state(norva_core.State(data={f"k{i}": i for i in range(size)}, version=0))
    return e


small_engine, large_engine = engine_of(1_000), engine_of(100_000)


def round_trip(engine: norva_core.NorvaEngine):
    def timed(loops: int) -> float:
        t0 = perf_counter()
        for i in range(loops):
            with engine.transaction() as tx:
                tx.update(data={"k": i})
        return perf_counter() - t0

    return timed


lock = threading.Lock()
shared = {"m": immutables.Map({f"k{i}": i for i in range(100_000)})}


def locked_map_set(loops: int) -> float:
    t0 = perf_counter()
    for i in range(loops):
        with lock:
            shared["m"] = shared["m"].set("k", i)
    return perf_counter() - t0


# ---- shadows -----------------------------------------------------------------------------------

document = {f"item{i}": {"id": i, "name": f"n{i}", "tags": ["a", "b"], "score": i * 0.5} for i in range(250)}
document.update({f"flag{i}": bool(i % 2) for i in range(750)})  # 1,000 entries in all
shadow_engine = norva_core.NorvaEngine()


def fresh_shadow():
    shadow_engine.transaction().get_shadow(document, "domain")


# ---- outbox dispatch ---------------------------------------------------------------------------

MESSAGES = 10_000
dispatch_engine = norva_core.NorvaEngine()
dispatch_engine.attach_worker(lambda msg: None)
messages = [norva_core.OutboxMsg(f"t{i}", i) for i in range(MESSAGES)]


def dispatch(loops: int) -> float:
    total = 0.0
    collector = dispatch_engine.outbox
    for _ in range(loops):
        for m in messages:
            collector.add(m)
        t0 = perf_counter()
        dispatch_engine.process_outbox()
        total += perf_counter() - t0
    return total


def python_dispatch(loops: int) -> float:
    worker = lambda msg: None  # noqa: E731
    t0 = perf_counter()
    for _ in range(loops):
        for m in messages:
            worker(m)
    return perf_counter() - t0


ROWS = [
    Row("transaction round trip: 100k keys vs 1k keys", "<= 1.5", round_trip(large_engine), round_trip(small_engine)),
    Row("transaction round trip vs locked immutables.Map.set", "<= 8.0", round_trip(large_engine), locked_map_set),
    Row("get_shadow of 1,000 entries vs copy.deepcopy", "<= 1.1", per_call(fresh_shadow),
        per_call(lambda: copy.deepcopy(document))),
    Row("process_outbox of 10,000 vs Python loop", "<= 1.5", dispatch, python_dispatch),
]
