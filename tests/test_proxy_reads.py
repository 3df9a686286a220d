"""SupervisorProxy reads: checks by mask and zone, child proxies, the active transaction."""

import contextvars
import pickle
import sys
import threading
import types

import pytest

import norva_core
from norva_core import SupervisorProxy


class FakeTx:
    """Stands in for a transaction: shadows are shallow copies, recorded per path."""

    def __init__(self, name="tx"):
        self.name = name
        self.shadowed = []

    def get_shadow(self, val, path=None):
        self.shadowed.append(path)
        return type(val)(val) if isinstance(val, (dict, list)) else val

    def log_delta(self, path, old, new):
        pass


@pytest.fixture
def host():
    """A fake host package whose context variable the proxy consults."""
    module = types.ModuleType("norva.guards")
    module._current_tx = contextvars.ContextVar("tx", default=None)
    saved = sys.modules.get("norva.guards")
    sys.modules["norva.guards"] = module
    yield module._current_tx
    if saved is None:
        del sys.modules["norva.guards"]
    else:
        sys.modules["norva.guards"] = saved


def in_fresh_thread(fn):
    """Run fn on a thread whose transaction slot is still empty."""
    out = []
    t = threading.Thread(target=lambda: out.append(fn()))
    t.start()
    t.join()
    return out[0]


def test_defaults_and_repr():
    p = SupervisorProxy({"a": 1})
    assert (p.path(), p.capabilities, p.read_only) == ("", 15, False)
    assert repr(p) == str(p) == "<SupervisorProxy[dict] at path='' cap=1111>"
    assert p.is_proxy() is True
    assert SupervisorProxy.__text_signature__ == (
        "(target, path=..., read_only=False, transaction=None, is_shadow=False, capabilities=15)"
    )


@pytest.mark.parametrize(
    "mask, key, readable",
    [
        (15, "counter", True),
        (15, "internal_x", False),   # Private: physics 0
        (15, "sig_x", True),          # Signal: 3 includes READ
        (2, "counter", False),        # no READ bit
        (16, "internal_x", True),     # ADMIN reads every zone but Constant
        (16, "const_x", False),       # ... where it needs READ as well
        (17, "const_x", True),
    ],
)
def test_read_checks_by_attribute_and_item(mask, key, readable):
    p = SupervisorProxy({key: 42}, "domain", capabilities=mask)
    expected = 42 if readable else None
    assert getattr(p, key) == expected
    assert p[key] == expected
    assert p.get(key) == 42  # get checks nothing


def test_overrides_decide_both_read_forms():
    p = SupervisorProxy({"counter": 1, "sig_x": {"a": 1}}, "domain")
    norva_core.register_physics_override("domain.counter", 0)
    norva_core.register_physics_override("domain[counter]", 0)
    assert p.counter is None
    assert p["counter"] is None  # item reads honour overrides too
    norva_core.register_physics_override("domain.sig_x", 1)
    child = p.sig_x
    assert child.capabilities == 15 & 1


def test_children_get_paths_and_narrowed_masks():
    data = {"items": [{"name": "x"}], "sig_flags": {"on": True}, "cfg": {"k": 1}}
    p = SupervisorProxy(data, "domain")
    items = p["items"]
    assert items.path() == "domain[items]" and items.capabilities == 15
    assert p.cfg.path() == "domain.cfg"
    assert items[0].path() == "domain[items][0]"
    assert p.sig_flags.capabilities == 3
    admin = SupervisorProxy(data, "domain", capabilities=16)
    assert admin.cfg.capabilities == 31
    assert all(v.path() == "domain.?" for v in p.values() if isinstance(v, SupervisorProxy))


def test_missing_attributes_and_private_names():
    p = SupervisorProxy({"a": 1}, "domain")
    with pytest.raises(AttributeError, match=r"^'SupervisorProxy\[dict\]' object has no attribute 'b'\. \(Hint: Key 'b' missing in wrapped dict at path 'domain'\)$"):
        p.b
    o = SupervisorProxy(types.SimpleNamespace(a=1), "obj")
    assert o.a == 1
    with pytest.raises(AttributeError, match=r"^'SupervisorProxy\[SimpleNamespace\]' object has no attribute 'b'\. \(Path: 'obj'\)$"):
        o.b
    with pytest.raises(AttributeError, match="^'SupervisorProxy' object has no attribute '_secret'$"):
        SupervisorProxy({"_secret": 1})._secret
    assert p.__dict__ == {} and p.__dict__ is not p.__dict__
    assert SupervisorProxy.__dict__["__dict__"].__get__(p) == {"a": 1}  # the property: to_dict()


def test_own_members_shadow_target_keys():
    p = SupervisorProxy({"get": 1, "path": 2, "keys": 3})
    assert callable(p.get) and p.path() == "" and p["path"] == 2


def test_item_errors_propagate_and_protocols_forward():
    p = SupervisorProxy({"a": 1})
    with pytest.raises(KeyError):
        p["missing"]
    with pytest.raises(IndexError):
        SupervisorProxy([1])[5]
    assert len(p) == 1 and "a" in p and list(iter(p)) == ["a"]
    assert p == {"a": 1} and p != {"a": 2}
    with pytest.raises(TypeError):
        p < p


def test_to_dict_prefers_model_dump():
    pydantic = pytest.importorskip("pydantic")

    class M(pydantic.BaseModel):
        x: int = 1

    assert SupervisorProxy(M()).to_dict() == {"x": 1}
    d = {"a": 1}
    assert SupervisorProxy(d).to_dict() == d and SupervisorProxy(d).to_dict() is not d
    with pytest.raises(AttributeError, match="^Wrapped object has no to_dict/model_dump$"):
        SupervisorProxy(5).to_dict()


def test_transaction_shadows_children(host):
    tx = FakeTx()
    token = host.set(tx)
    try:
        src = {"inner": {"v": 1}}
        p = SupervisorProxy(src, "domain", transaction=tx)
        child = p.inner
        assert tx.shadowed == ["domain.inner"]
        assert child.supervisor_target is not src["inner"] and child.supervisor_target == {"v": 1}
        grandchild = SupervisorProxy({"x": {"y": 1}}, "d", is_shadow=True).x
        assert grandchild.supervisor_target is not None and tx.shadowed == ["domain.inner"]  # shadows are not re-copied
    finally:
        host.reset(token)


def test_context_variable_wins_over_the_thread_slot(host):
    # Two interleaved processes on one thread: each read must shadow through its own transaction.
    def run():
        a, b = FakeTx("a"), FakeTx("b")
        SupervisorProxy({}, transaction=a)
        SupervisorProxy({}, transaction=b)  # the thread slot now holds b
        ctx_a = contextvars.copy_context()
        ctx_a.run(host.set, a)
        ctx_a.run(lambda: SupervisorProxy({"k": {}}, "domain").k)
        return a.shadowed, b.shadowed

    assert in_fresh_thread(run) == (["domain.k"], [])


def test_thread_slot_is_used_without_the_host_package():
    def run():
        saved = sys.modules.pop("norva.guards", None)
        try:
            tx = FakeTx()
            SupervisorProxy({}, transaction=tx)
            SupervisorProxy({"k": {}}, "domain").k
            return tx.shadowed
        finally:
            if saved is not None:
                sys.modules["norva.guards"] = saved

    assert in_fresh_thread(run) == ["domain.k"]


@pytest.mark.parametrize(
    "read_only, mask, bare",
    [(False, 15, True), (True, 15, False), (False, 1, False), (False, 7, False), (False, 31, True)],
)
def test_restricted_proxies_never_hand_out_bare_lists(host, read_only, mask, bare):
    tx = FakeTx()
    token = host.set(tx)
    try:
        p = SupervisorProxy({"rows": [1, 2]}, "domain", read_only=read_only, capabilities=mask)
        for got in (p.get("rows"), dict(p.items())["rows"], p.values()[0]):
            if bare:
                assert type(got) is list
            else:
                assert isinstance(got, SupervisorProxy)
                assert got.read_only is read_only and got.capabilities == mask
    finally:
        host.reset(token)


def test_pickle_drops_the_transaction_flag():
    p = SupervisorProxy({"a": [1]}, "domain", read_only=False, transaction=FakeTx(), capabilities=7)
    q = pickle.loads(pickle.dumps(p))
    assert (q.path(), q.read_only, q.capabilities, q.to_dict()) == ("domain", False, 7, {"a": [1]})
    assert p.__getnewargs__() == (None, "", True, None, False, 15)
    assert p.__getstate__()[1:] == ("domain", False, False, 7)
    r = SupervisorProxy(None)
    r.__setstate__(({"z": 1}, "p", True))
    assert (r.path(), r.read_only, r.capabilities, r.z) == ("p", True, 15, 1)
    with pytest.raises(TypeError):
        r.__setstate__([1, 2, 3])


def test_capabilities_setter_and_bad_arguments():
    p = SupervisorProxy({})
    assert p._set_capabilities(3) is None and p.capabilities == 3
    SupervisorProxy.capabilities.__set__(p, 9)
    assert p.capabilities == 9
    with pytest.raises(OverflowError, match="argument 'caps'"):
        p._set_capabilities(256)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        SupervisorProxy.capabilities.__delete__(p)
    with pytest.raises(TypeError, match="argument 'path': 'int' object cannot be converted to 'PyString'"):
        SupervisorProxy({}, 5)
    with pytest.raises(TypeError, match="argument 'read_only'"):
        SupervisorProxy({}, "p", 1)
    with pytest.raises(TypeError, match="argument 'key_or_path'"):
        p._wrap_result(1, 2)
