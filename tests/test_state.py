"""State: construction, update with the copy-on-write merge, signals, the meta log, views."""

import gc
import re
import weakref

import pytest

from norva_core import ContextError, FrozenDict, MetaLogEntry, State, SupervisorProxy


def test_empty_state():
    s = State()
    assert s.version == 1
    assert s.data == {} and s.heavy == {} and s.signals == {} and s.get_meta_logs() == []
    assert isinstance(s.data, FrozenDict)


def test_construction_stores_values_as_given():
    value = {"k": [1]}
    proxy = SupervisorProxy({"p": 1})
    s = State(data={"a": value, "p": proxy}, heavy={"model": b"x"}, version=7)
    assert s.version == 7
    assert s.data["a"] is value and s.data["p"] is proxy  # neither copied nor unwrapped
    assert s.heavy.to_dict() == {"model": b"x"}


def test_update_makes_a_successor_and_logs_first():
    s = State()
    t = s.update(data={"a": 1})
    assert (t.version, t.data.to_dict()) == (2, {"a": 1})
    assert s.data == {} and s.version == 1
    last = s.get_meta_logs()[-1]  # the log is shared by the chain
    assert (last.key, last.message) == ("state_update", "State updated to version 2")
    assert re.fullmatch(r"MetaLogEntry\(time=\d+(\.\d+)?, key=state_update, msg=State updated to version 2\)", repr(last))


def test_nested_dicts_merge_and_share_untouched_branches():
    inner_y = {"z": 1}
    cfg = {"x": 1, "y": inner_y}
    other = {"k": 0}
    s = State(data={"cfg": cfg, "other": other})
    t = s.update(data={"cfg": {"y": {"w": 2}}})
    assert t.data["cfg"] == {"x": 1, "y": {"z": 1, "w": 2}}
    assert cfg == {"x": 1, "y": {"z": 1}} and inner_y == {"z": 1}  # predecessor's dicts unchanged
    assert t.data["other"] is other
    u = t.update(data={"cfg": 5})
    assert u.data["cfg"] == 5


def test_update_unwraps_proxies():
    target = {"v": 1}
    t = State().update(data={"d": SupervisorProxy(target)})
    assert t.data["d"] is target


def test_signals_publish_and_belong_to_one_version():
    s = State()
    rx = s.signal.subscribe()
    t = s.update(signal={"go": 1})
    assert t.signals == {"go": "1"} and rx.recv() == "go:1"
    assert t.update().signals == {}
    u = s.update(signal=[{"a": 1}, {"a": 2}])
    assert u.signals == {"a": "2"} and [rx.recv(), rx.recv()] == ["a:1", "a:2"]
    assert s.update(signal=5).signals == {}


def test_unprintable_signal_values_are_reported_and_replaced():
    class Bad:
        def __str__(self):
            raise ValueError("no")

    hooked = []
    import sys

    old = sys.unraisablehook
    sys.unraisablehook = hooked.append
    try:
        t = State().update(signal={"k": Bad()})
    finally:
        sys.unraisablehook = old
    assert t.signals == {"k": "<unprintable Bad object>"} and len(hooked) == 1


def test_restrict_view_has_its_own_hub():
    s = State(data={"a": 1})
    rx = s.signal.subscribe()
    view = s.restrict_view()
    assert view.version == s.version and view.data == s.data
    view.update(signal={"x": 1})
    assert s.signal.publish("direct") == 1
    assert rx.recv() == "direct"  # nothing from the view's chain arrived first


@pytest.mark.parametrize("capacity, logged, kept", [(2, 3, 2), (0, 3, 0), (5, 3, 3)])
def test_meta_log_is_bounded(capacity, logged, kept):
    s = State(meta_capacity=capacity)
    for i in range(logged):
        s.log_meta("k", f"m{i}")
    entries = s.meta
    assert [e.message for e in entries] == [f"m{i}" for i in range(logged - kept, logged)]
    assert all(isinstance(e, MetaLogEntry) for e in entries)


def test_domain_and_global_are_read_only_proxies():
    s = State()
    assert s.domain is None and getattr(s, "global") is None and s.domain_proxy() is None
    d = {"counter": 1}
    s = State(data={"domain": d, "global": {"g": 1}})
    for p in (s.domain, getattr(s, "global")):
        assert isinstance(p, SupervisorProxy) and p.read_only and p.capabilities == 1
    assert s.domain.path() == "domain" and s.domain.supervisor_target is d
    assert s.domain_proxy(read_only=False).read_only is False


def test_immutability():
    s = State()
    with pytest.raises(ContextError, match=r"^State is Immutable\. Use \.update\(\) to create a new version\.$"):
        s.version = 3
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del s.version


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"data": [1]}, "'list' object cannot be converted to 'PyDict'"),
        ({"heavy": 5}, "'int' object cannot be converted to 'PyDict'"),
        ({"data": {1: 2}}, "'int' object cannot be converted to 'PyString'"),
        ({"data": {"a": {1: 2}}}, "'int' object cannot be converted to 'PyString'"),
        ({"signal": [{"a": 1}, 3]}, "'int' object cannot be converted to 'PyDict'"),
        ({"signal": {2: 1}}, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_update_arguments_still_log(kwargs, text):
    s = State()
    with pytest.raises(TypeError, match=f"^{re.escape(text)}$"):
        s.update(**kwargs)
    assert [e.key for e in s.meta] == ["state_update"]


@pytest.mark.parametrize(
    "kwargs, exc",
    [({"data": [1]}, TypeError), ({"version": -1}, OverflowError), ({"version": None}, TypeError),
     ({"meta_capacity": "1"}, TypeError), ({"data": {1: 1}}, TypeError)],
)
def test_bad_constructor_arguments(kwargs, exc):
    with pytest.raises(exc):
        State(**kwargs)


def test_version_does_not_wrap():
    s = State(version=2**64 - 1)
    with pytest.raises(OverflowError):
        s.update(data={"a": 1})
    assert s.meta == []


def test_deep_merge_is_guarded_against_deep_nesting():
    deep = {}
    cur = deep
    for _ in range(100_000):
        cur["k"] = {}
        cur = cur["k"]
    s = State(data={"d": deep})
    with pytest.raises(RecursionError):
        s.update(data={"d": deep})


def test_long_chains_share_structure_and_release_values():
    class Value:
        pass

    s = State(data={f"k{i}": i for i in range(1000)})
    v = Value()
    ref = weakref.ref(v)
    chain = [s]
    for i in range(200):
        chain.append(chain[-1].update(data={f"k{i}": i + 1}))
    chain.append(chain[-1].update(data={"v": v}))
    assert chain[-1].data["k5"] == 6 and chain[0].data["k5"] == 5
    del v, chain
    gc.collect()
    assert ref() is None


def test_subclassing():
    class MyState(State):
        pass

    m = MyState(data={"a": 1})
    assert m.data == {"a": 1} and type(m.update()) is State
