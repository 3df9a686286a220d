"""Transactions: the exit that commits, explicit updates, shadows and the delta log."""

import copy
import pickle
import threading
import time

import numpy as np
import pydantic
import pytest

import norva_core
from norva_core import NorvaEngine, SchemaViolationError, Transaction, WriteTimeoutError


def engine_with(data):
    e = NorvaEngine()
    e.commit_state(norva_core.State(data=data, version=0))
    return e


# ---- lifecycle ---------------------------------------------------------------------------------


def test_clean_exit_commits_and_an_exception_commits_nothing():
    e = NorvaEngine()
    with e.transaction() as tx:
        assert tx.__enter__() is tx
    assert e.state.version == 1 and e.state.data == {}
    before = e.state
    with pytest.raises(KeyError):
        with e.transaction() as tx:
            tx.update(data={"a": 1})
            raise KeyError("x")
    assert e.state is before


def test_write_timeout():
    e = NorvaEngine()
    with e.transaction(write_timeout_ms=0):
        pass  # well under a millisecond
    before = e.state
    with pytest.raises(WriteTimeoutError, match=r"^Transaction timed out after \d+ms \(limit 0ms\)$"):
        with e.transaction(write_timeout_ms=0) as tx:
            tx.update(data={"a": 1})
            time.sleep(0.005)
    assert e.state is before
    never_entered = e.transaction(write_timeout_ms=0)
    time.sleep(0.002)
    never_entered.update(data={"b": 2})
    never_entered.__exit__(None, None, None)
    assert e.state.data == {"b": 2}


def test_constructor_and_private_engine():
    tx = Transaction()
    assert tx.write_timeout_ms == 5000
    with tx:
        tx.update(data={"k": 1})
    e = NorvaEngine()
    assert Transaction(e, 7).write_timeout_ms == 7
    for args, error in [
        ((1,), TypeError),
        ((None, -1), OverflowError),
        ((None, "x"), TypeError),
    ]:
        with pytest.raises(error):
            Transaction(*args)
    with pytest.raises(TypeError, match="argument 'engine': 'int' object cannot be converted to 'NorvaEngine'"):
        Transaction(engine=1)


def test_update_steps_in_order():
    tx = Transaction()
    with pytest.raises(norva_core.ContextError, match="^heavy update data must be a dict$"):
        tx.update(data={"a": 1}, heavy=5, signal="s")
    assert tx.pending_data == {"a": 1} and tx.pending_signal == []
    with pytest.raises(norva_core.ContextError, match="^update data must be a dict$"):
        tx.update(data=[1])
    tx.update(signal={"go": 1})
    tx.update(signal=5)
    assert tx.pending_signal == [{"go": 1}, 5]
    tx.update(heavy={"m": {"x": 1}})
    tx.update(heavy={"m": {"y": 2}})
    assert tx.pending_heavy is tx.pending_heavy and tx.pending_heavy == {"m": {"x": 1, "y": 2}}


def test_update_merges_nested_data_into_the_state():
    e = engine_with({"cfg": {"x": 1, "y": {"z": 1}}, "keep": True})
    with e.transaction() as tx:
        tx.update(data={"cfg": {"y": {"w": 2}}, "n.m": 3})
    assert e.state.data == {"cfg": {"x": 1, "y": {"z": 1, "w": 2}}, "keep": True, "n": {"m": 3}}


def test_deltas_are_routed_by_zone_and_applied_shortest_path_first():
    tx = Transaction()
    tx.log_delta("domain.a.b", None, 2)
    tx.log_delta("domain.a", None, {"x": 1})
    tx.log_delta("heavy.model", None, "M")
    tx.log_delta("heavy_cache", None, "C")
    tx.log_delta("domain.gone", "old", None)  # a removal: skipped by the replay
    tx.commit()
    assert tx.pending_heavy == {"model": "M", "heavy_cache": "C"}
    tx.commit()  # replaying again changes nothing
    assert tx.pending_heavy == {"model": "M", "heavy_cache": "C"}


def test_commit_lands_the_replayed_deltas():
    e = NorvaEngine()
    with e.transaction() as tx:
        tx.log_delta("domain.a.b", None, 2)
        tx.log_delta("domain.a", None, {"x": 1})
        tx.log_delta("heavy.model", None, "M")
    assert e.state.data == {"domain": {"a": {"x": 1, "b": 2}}}
    assert e.state.heavy == {"model": "M"}


def test_explicit_update_wins_over_deltas_in_preview_and_commit():
    e = NorvaEngine()
    with e.transaction() as tx:
        tx.update(data={"domain": {"counter": 1}})
        tx.log_delta("domain.counter", 0, 99)
        tx.log_delta("domain.other", None, "kept")
        preview = tx.pending_data
    assert preview == {"domain": {"counter": 1, "other": "kept"}}
    assert e.state.data == preview


def test_reentry_after_exit_commits_again_on_the_current_state():
    e = NorvaEngine()
    tx = e.transaction()
    with tx:
        tx.update(data={"a": 1})
    e.commit_state(e.state.update({"b": 2}))
    with tx:
        pass
    assert e.state.data == {"a": 1, "b": 2} and e.state.version == 3


def test_transactions_refuse_pickling_and_copying():
    tx = Transaction()
    with pytest.raises(RuntimeError, match="cannot be pickled/deepcopied. They are transient"):
        pickle.dumps(tx)
    with pytest.raises(RuntimeError, match="^Transaction objects cannot be deepcopied. They are transient"):
        copy.deepcopy(tx)
    with pytest.raises(RuntimeError):
        tx.__deepcopy__(None)


def test_enter_needs_exclusive_access():
    tx = Transaction()
    errors = []

    class Probe(dict):
        def __setitem__(self, k, v):
            try:
                tx.__enter__()
            except RuntimeError as exc:
                errors.append(str(exc))
            super().__setitem__(k, v)

    tx.update(data={"p": Probe()})
    tx.update(data={"p": {"k": 1}})  # merges into the Probe while update holds shared access
    assert errors == ["Already borrowed"]


# ---- schema validation and the commit lock -----------------------------------------------------


class Model(pydantic.BaseModel):
    count: int


def test_schema_validation_with_a_pydantic_model():
    e = NorvaEngine()
    e.set_schema(Model)
    with e.transaction() as tx:
        tx.update(data={"count": 3})
    assert e.state.data == {"count": 3}
    before = e.state
    with pytest.raises(SchemaViolationError, match=r"^Schema Violation: ValidationError: 1 validation error"):
        with e.transaction() as tx:
            tx.update(data={"count": "many"})
            tx.outbox.add(norva_core.OutboxMsg("never", None))
    assert e.state is before and e.outbox.len() == 0 and tx.outbox.len() == 1


def test_a_none_schema_fails_every_commit():
    e = NorvaEngine()
    e.set_schema(None)
    with pytest.raises(SchemaViolationError, match="^Schema Violation: AttributeError: 'NoneType' object has no"):
        with e.transaction():
            pass
    assert e.state.version == 0


def test_concurrent_commits_through_a_slow_schema_lose_nothing():
    e = NorvaEngine()
    started = threading.Event()

    class Slow:
        @staticmethod
        def model_validate(d):
            started.set()
            time.sleep(0.05)  # another thread runs meanwhile and tries to commit

    e.set_schema(Slow)

    def commit(key):
        with e.transaction() as tx:
            tx.update(data={key: 1})

    t = threading.Thread(target=commit, args=("a",))
    t.start()
    started.wait()
    commit("b")
    t.join()
    assert e.state.data == {"a": 1, "b": 1} and e.state.version == 2


def test_a_schema_that_commits_fails_or_finishes_but_never_hangs():
    e = NorvaEngine()
    results = []

    class Reentrant:
        @staticmethod
        def model_validate(d):
            if "inner" in d:
                return
            # The same thread: refused.
            try:
                with e.transaction() as tx:
                    tx.update(data={"inner": 1})
            except RuntimeError as exc:
                results.append(str(exc))
            # Another thread: waits for this commit and then makes its own.
            threading.Thread(target=other).start()

    def other():
        with e.transaction() as tx:
            tx.update(data={"inner": 2})
        results.append("other committed")

    e.set_schema(Reentrant)
    with e.transaction() as tx:
        tx.update(data={"outer": 1})
    deadline = time.monotonic() + 10
    while len(results) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert results[0].startswith("Commit re-entered") and results[1] == "other committed"
    assert e.state.data == {"outer": 1, "inner": 2}


# ---- shadows and inference ---------------------------------------------------------------------


def test_shadows_are_made_once_and_heavy_values_never_copied():
    tx = Transaction()
    src = {"items": [1, 2]}
    s1 = tx.get_shadow(src, "domain")
    assert s1 == src and s1 is not src and s1["items"] is not src["items"]
    assert tx.get_shadow(src, "other") is s1
    assert tx.is_known_shadow(src) and not tx.is_known_shadow(s1)
    model = {"w": [0.0]}
    assert tx.get_shadow(model, "heavy.model") is model and tx.is_known_shadow(model)
    assert tx.get_shadow([1]) == [1]  # no path: copied, recorded nowhere


def test_inference_logs_changed_shadows_only():
    tx = Transaction()
    changed, restored, untouched = {"v": 1}, {"v": 1}, {"v": 1}
    tx.get_shadow(changed, "domain")["v"] = 2
    back = tx.get_shadow(restored, "global")
    back["v"] = 5
    back["v"] = 1
    tx.get_shadow(untouched, "data")
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["domain"]
    assert tx.pending_data == {"domain": {"v": 2}}


def test_array_shadows_compare_through_all():
    tx = Transaction()
    same, edited = np.arange(3), np.arange(3)
    tx.get_shadow(same, "domain.same")
    tx.get_shadow(edited, "domain.edited")[0] = 9
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["domain.edited"]


def test_a_shadow_changed_after_a_preview_is_still_committed():
    e = engine_with({"domain": {"items": [1]}})
    with e.transaction() as tx:
        shadow = tx.get_shadow(e.state.data["domain"], "domain")
        shadow["items"].append(2)
        assert tx.pending_data == {"domain": {"items": [1, 2]}}
        shadow["items"].append(3)  # after the read-out ran inference
        tx.get_shadow({"n": 1}, "global")["n"] = 2
    assert e.state.data["domain"] == {"items": [1, 2, 3]}
    assert e.state.data["global"] == {"n": 2}
    assert tx.get_delta_log() == ["domain", "global"]  # no pair logged twice


def test_isolation_failure_text():
    tx = Transaction()
    for path, where in [("domain.lock", 'Some("domain.lock")'), (None, "None")]:
        with pytest.raises(RuntimeError) as info:
            tx.get_shadow({"l": threading.Lock()}, path)
        assert str(info.value).startswith(
            f"Transaction isolation failure: cannot deepcopy object of type 'dict' at path {where}. "
            "Store non-copyable objects in Heavy Zone instead. Original error: TypeError: "
        )


def test_deepcopy_that_calls_back_into_the_transaction_fails_cleanly():
    tx = Transaction()

    class CallsBack:
        def __deepcopy__(self, memo):
            tx.is_known_shadow(self)
            return CallsBack()

    with pytest.raises(RuntimeError, match="Original error: RuntimeError: Transaction shadow cache re-entered"):
        tx.get_shadow(CallsBack(), "domain")
    assert tx.get_shadow({"ok": 1}, "domain.ok") == {"ok": 1}  # the lock was released


def test_a_thread_waiting_for_the_shadow_cache_does_not_hold_the_interpreter_lock():
    tx = Transaction()
    waiting = threading.Event()
    done = []

    class Slow:
        def __deepcopy__(self, memo):
            waiting.wait(5)
            time.sleep(0.05)  # needs the interpreter lock back while the other thread waits
            return Slow()

    t = threading.Thread(target=lambda: (waiting.set(), done.append(tx.get_shadow({"x": 1}))))
    t.start()
    tx.get_shadow(Slow())
    t.join(10)
    assert done == [{"x": 1}]


def test_shadow_updates_and_delta_log():
    tx = Transaction()
    dom = tx.get_shadow({"k": 1}, "domain.inner")
    tx.log_delta("domain.inner.k", 1, 2)
    tx.log_delta("solo", None, None)
    tx.update(data={"extra": 1})
    assert tx.get_shadow_updates() == {"domain": dom, "extra": 1}
    assert tx.get_delta_log() == ["domain.inner.k", "solo"]
    with pytest.raises(TypeError, match="argument 'path'"):
        tx.log_delta(1)
    with pytest.raises(TypeError, match="argument '_op'"):
        tx.log_internal("p", 5)
    assert tx.log_internal("p", "SET", 1, 2, None, "k") is None


# ---- the thread slot after exit ----------------------------------------------------------------


def test_thread_slot_forgets_an_exited_transaction():
    def run():
        e = NorvaEngine()
        tx = e.transaction()
        norva_core.SupervisorProxy({}, transaction=tx)  # stores tx in this thread's slot
        seen = []
        with tx:
            inner = {"v": 1}
            norva_core.SupervisorProxy({"k": inner}, "domain").k
            seen.append(tx.is_known_shadow(inner))
        late = {"v": 1}
        norva_core.SupervisorProxy({"k": late}, "domain").k
        seen.append(tx.is_known_shadow(late))
        with tx:
            again = {"v": 1}
            norva_core.SupervisorProxy({"k": again}, "domain").k
            seen.append(tx.is_known_shadow(again))
        return seen

    out = []
    t = threading.Thread(target=lambda: out.append(run()))
    t.start()
    t.join()
    assert out == [[True, False, True]]


# ---- what survives a failed exit ---------------------------------------------------------------


class FailingState(norva_core.State):
    def update(self, *args):
        raise ValueError("no successor")


class RefusingEngine(NorvaEngine):
    armed = False

    def commit_state(self, state):
        if self.armed:
            raise LookupError("refused")
        super().commit_state(state)


def body_raises(tx):
    raise KeyError("in block")


def body_sleeps(tx):
    time.sleep(0.005)


def setup_failing_state(e):
    e.commit_state(FailingState(version=0))


def setup_schema(e):
    e.set_schema(Model)


def setup_refusal(e):
    e.armed = True


@pytest.mark.parametrize(
    "timeout, setup, body, data, error, text",
    [
        (5000, None, body_raises, {"a": 1}, KeyError, "in block"),
        (0, None, body_sleeps, {"a": 1}, WriteTimeoutError, "Transaction timed out after"),
        (5000, setup_failing_state, None, {"a": 1}, ValueError, "no successor"),
        (5000, setup_schema, None, {"count": "x"}, SchemaViolationError, "Schema Violation: ValidationError"),
        (5000, setup_refusal, None, {"a": 1}, LookupError, "refused"),
    ],
)
def test_a_failed_exit_commits_nothing_and_keeps_the_messages(timeout, setup, body, data, error, text):
    e = RefusingEngine()
    if setup:
        setup(e)
    before = e.state
    with pytest.raises(error, match=text):
        with e.transaction(write_timeout_ms=timeout) as tx:
            tx.update(data=data)
            tx.outbox.add(norva_core.OutboxMsg("m", None))
            if body:
                body(tx)
    assert e.state is before
    assert (tx.outbox.len(), e.outbox.len()) == (1, 0)
    e.attach_worker(lambda m: pytest.fail("an abandoned message was dispatched"))
    e.process_outbox()
