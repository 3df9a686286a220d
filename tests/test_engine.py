"""The engine's slots and outboxes, and the conflict manager that paces writers."""

import threading

import pytest

import norva_core
from norva_core import ConflictManager, NorvaEngine, OutboxMsg, State


# ---- ConflictManager ---------------------------------------------------------------------------


def test_backoff_doubles_with_jitter_then_promotes_a_vip():
    cm = ConflictManager()
    ranges = [(1, 2), (3, 4), (6, 9), (12, 19), (25, 38)]
    for lo, hi in ranges:
        d = cm.report_conflict("a")
        assert d.should_retry and lo <= d.wait_ms <= hi
    assert cm.get_failure_count("a") == 5
    promoted = cm.report_conflict("a")
    assert (promoted.should_retry, promoted.wait_ms) == (True, 1)
    assert cm.is_blocked() and cm.is_blocked("b") and not cm.is_blocked("a")
    assert cm.report_conflict("a").wait_ms == 1  # the holder keeps the short answer

    other = cm.report_conflict("b")
    assert (other.wait_ms, cm.get_failure_count("b")) == (50, 0)
    assert repr(other) == "RetryDecision(retry=true, wait=50ms)"

    cm.report_success("a")
    assert cm.get_failure_count("a") == 0 and not cm.is_blocked(None)
    assert 1 <= cm.report_conflict("b").wait_ms <= 2  # b counts again from zero


def test_backoff_limits():
    assert ConflictManager(max_retries=0).report_conflict("x").wait_ms == 1
    capped = ConflictManager(max_retries=20, base_backoff_ms=1)
    waits = [capped.report_conflict("k").wait_ms for _ in range(15)]
    assert all(819 <= w <= 1228 for w in waits[10:])  # 1024 at most, times the jitter
    # A base so large that shifting it would overflow saturates instead of wrapping to a tiny wait.
    huge = ConflictManager(base_backoff_ms=2**63)
    huge.report_conflict("k")
    assert huge.report_conflict("k").wait_ms >= int(0.8 * (2**64 - 1)) - 2**12


def test_conflict_manager_argument_errors_and_texts():
    with pytest.raises(OverflowError):
        ConflictManager(max_retries=-1)
    with pytest.raises(OverflowError):
        ConflictManager(max_retries=2**32)
    with pytest.raises(TypeError, match="argument 'key': 'int' object cannot be converted to 'PyString'"):
        ConflictManager().report_conflict(1)
    with pytest.raises(TypeError, match="No constructor defined for RetryDecision"):
        norva_core.RetryDecision()
    assert ConflictManager.__text_signature__ == "(max_retries=5, base_backoff_ms=2)"
    assert ConflictManager.is_blocked.__text_signature__ == "($self, requester=None)"
    assert ConflictManager.__doc__ == "Manages conflict resolution policies (Backoff, Priority)"


# ---- NorvaEngine -------------------------------------------------------------------------------


def test_new_engine():
    e = NorvaEngine()
    assert e.state.version == 0 and e.state.data == {}
    assert e.outbox.len() == 0 and e.process_outbox() is None
    assert e.outbox is not e.outbox
    with pytest.raises(TypeError):
        NorvaEngine(1)


def test_commit_state_installs_any_state():
    e = NorvaEngine()
    s = State(data={"a": 1}, version=7)
    e.commit_state(s)
    assert e.state is s
    older = State(version=3)
    e.commit_state(older)  # no version comparison here
    assert e.state is older
    with pytest.raises(TypeError, match="argument 'state': 'dict' object cannot be converted to 'State'"):
        e.commit_state({})
    assert e.state is older


@pytest.mark.parametrize(
    "name, text",
    [
        ("set_audit_system", "($self, audit)"),
        ("set_strict_guards", "($self, enabled)"),
        ("set_strict_cas", "($self, enabled)"),
        ("set_schema", "($self, schema)"),
        ("report_conflict", "($self, process_name)"),
        ("report_success", "($self, process_name)"),
        ("transaction", "($self, write_timeout_ms=5000)"),
        ("commit_state", "($self, state)"),
        ("attach_worker", "($self, worker)"),
        ("process_outbox", "($self)"),
    ],
)
def test_engine_signatures(name, text):
    assert getattr(NorvaEngine, name).__text_signature__ == text


def test_setters_convert_and_forward():
    e = NorvaEngine()
    with pytest.raises(TypeError, match="argument 'enabled'"):
        e.set_strict_cas(1)
    e.set_strict_guards(True)
    e.set_audit_system(object())
    assert 1 <= e.report_conflict("p").wait_ms <= 2
    e.report_success("p")


def test_engine_subclass_overrides_are_honoured_by_transactions():
    seen = []

    class Engine(NorvaEngine):
        def commit_state(self, state):
            seen.append(state.version)
            super().commit_state(state)

    e = Engine()
    with e.transaction() as tx:
        tx.update(data={"a": 1})
    assert seen == [1] and e.state.data == {"a": 1}


# ---- outboxes and dispatch ---------------------------------------------------------------------


def queue(tx, *topics):
    for t in topics:
        tx.outbox.add(OutboxMsg(t, {"t": t}))


def test_outbox_msg_and_collector():
    payload = object()
    m = OutboxMsg("t", payload)
    assert (m.topic, m.payload) == ("t", payload)
    with pytest.raises(TypeError, match="argument 'topic'"):
        OutboxMsg(1, None)
    with pytest.raises(TypeError, match="No constructor defined for OutboxCollector"):
        norva_core.OutboxCollector()
    e = NorvaEngine()
    a, b = e.outbox, e.outbox
    a.add(m)
    assert a.len() == b.len() == 1
    drained = b.drain()
    assert [(x.topic, x.payload) for x in drained] == [("t", payload)] and drained[0] is not m
    assert a.drain() == [] and a.len() == 0
    with pytest.raises(TypeError, match="argument 'msg': 'str' object cannot be converted to 'OutboxMsg'"):
        a.add("t")


def test_messages_move_on_clean_exit_in_commit_order():
    e = NorvaEngine()
    dispatched = []
    e.attach_worker(lambda msg: dispatched.append(msg.topic))
    for topic in ("first", "second"):
        with e.transaction() as tx:
            queue(tx, topic)
    with pytest.raises(ZeroDivisionError):
        with e.transaction() as tx:
            queue(tx, "abandoned")
            1 / 0
    assert tx.outbox.len() == 1  # kept by the abandoned transaction, never dispatched
    with pytest.raises(ZeroDivisionError):
        with e.transaction() as tx:
            queue(tx, "flushed")
            tx.flush_outbox()
            1 / 0
    e.process_outbox()
    assert dispatched == ["first", "second", "flushed"]


def test_without_a_worker_messages_wait():
    e = NorvaEngine()
    e.outbox.add(OutboxMsg("kept", 1))
    e.process_outbox()
    assert e.outbox.len() == 1
    got = []
    e.attach_worker(got.append)
    e.process_outbox()
    assert [m.topic for m in got] == ["kept"] and e.outbox.len() == 0


def test_worker_error_drops_that_message_and_requeues_the_rest_in_front():
    e = NorvaEngine()
    seen = []

    def worker(msg):
        seen.append(msg.topic)
        if msg.topic == "b":
            e.outbox.add(OutboxMsg("late", None))  # arrives during the dispatch
            raise ValueError("bad message")

    e.attach_worker(worker)
    for t in "abc":
        e.outbox.add(OutboxMsg(t, None))
    with pytest.raises(ValueError, match="bad message"):
        e.process_outbox()
    assert [m.topic for m in e.outbox.drain()] == ["c", "late"]
    assert seen == ["a", "b"]


def test_worker_none_fails_on_the_first_message():
    e = NorvaEngine()
    e.attach_worker(None)
    for t in "ab":
        e.outbox.add(OutboxMsg(t, None))
    with pytest.raises(TypeError, match="not callable"):
        e.process_outbox()
    assert [m.topic for m in e.outbox.drain()] == ["b"]


@pytest.mark.parametrize(
    "reenter, error, left",
    [
        (lambda e: (e.outbox.add(OutboxMsg("again", None)), e.process_outbox()), "Worker slot re-entered", ["again"]),
        (lambda e: e.attach_worker(print), "Worker slot re-entered", []),
        (lambda e: e.commit_state(State()), "Already borrowed", []),
    ],
)
def test_worker_reentry_fails_instead_of_deadlocking(reenter, error, left):
    e = NorvaEngine()
    errors = []

    def worker(msg):
        try:
            reenter(e)
        except RuntimeError as exc:
            errors.append(str(exc))

    e.attach_worker(worker)
    e.outbox.add(OutboxMsg("m", None))
    e.process_outbox()
    assert len(errors) == 1 and errors[0].startswith(error)
    assert [m.topic for m in e.outbox.drain()] == left  # a refused dispatch takes nothing


def test_a_thread_waiting_for_the_worker_slot_does_not_hold_the_interpreter_lock():
    e = NorvaEngine()
    in_worker = threading.Event()
    other_done = []

    def worker(msg):
        in_worker.set()
        # The other thread now blocks on the worker slot; if it held the interpreter lock while
        # waiting, this thread could not get back from the sleep.
        threading.Event().wait(0.1)

    e.attach_worker(worker)
    e.outbox.add(OutboxMsg("m", None))
    t = threading.Thread(target=lambda: (in_worker.wait(), e.attach_worker(print), other_done.append(True)))
    t.start()
    e.process_outbox()
    t.join(10)
    assert other_done == [True]
