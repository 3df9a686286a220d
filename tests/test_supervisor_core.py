"""SupervisorCore: identity of stored objects, versions, removal, and racing writers."""

import gc
import threading
import weakref

import pytest

from norva_core import SupervisorCore


def test_store_keeps_the_object_itself():
    core = SupervisorCore()
    value = {"a": [1]}
    core.write("a", value)
    assert core.read("a") is value
    value["a"].append(2)
    assert core.read("a") == {"a": [1, 2]}
    assert core.get_version("a") == 0
    assert core.contains("a")


def test_versions_count_updates_and_restart_after_remove():
    core = SupervisorCore()
    assert core.keys() == []
    assert core.read("missing") is None and core.get_version("missing") is None
    for expected in (0, 1, 2):
        core.write("a", expected)
        assert core.get_version("a") == expected
    assert core.remove("a") is True
    assert core.remove("a") is False
    assert core.get_version("a") is None and not core.contains("a")
    core.write("a", "again")
    assert core.get_version("a") == 0


def test_none_value_is_present():
    core = SupervisorCore()
    core.write("n", None)
    assert core.read("n") is None
    assert core.contains("n") and core.get_version("n") == 0


def test_keys_lists_every_key():
    core = SupervisorCore()
    for k in "abc":
        core.write(k, k)
    assert sorted(core.keys()) == ["a", "b", "c"]


def test_replaced_and_removed_values_are_released():
    class Box:
        pass

    core = SupervisorCore()
    first, second = Box(), Box()
    r1, r2 = weakref.ref(first), weakref.ref(second)
    core.write("k", first)
    core.write("k", second)
    del first
    assert r1() is None
    core.remove("k")
    del second
    assert r2() is None


def test_cycle_through_the_store_is_collected():
    core = SupervisorCore()
    core.write("self", core)
    ref = weakref.ref(core)
    del core
    gc.collect()
    assert ref() is None


def test_finaliser_that_writes_back_does_not_deadlock():
    core = SupervisorCore()

    class Reentrant:
        def __del__(self):
            core.write("from_del", 1)

    core.write("k", Reentrant())
    core.write("k", 2)  # releases the old value, whose finaliser writes into the store
    assert core.read("from_del") == 1


def test_racing_writers_on_fresh_keys_lose_no_update():
    # Every write is one update: with N threads writing each fresh key once, the key's version
    # must end at N - 1, whichever thread inserted it.
    core = SupervisorCore()
    threads, keys = 8, 300
    barrier = threading.Barrier(threads)

    def writer(n):
        barrier.wait()
        for k in range(keys):
            core.write(f"k{k}", n)

    ts = [threading.Thread(target=writer, args=(n,)) for n in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert {core.get_version(f"k{k}") for k in range(keys)} == {threads - 1}


@pytest.mark.parametrize("method, args", [("read", (1,)), ("write", (None, 1)), ("get_version", (b"k",)),
                                           ("contains", (object(),)), ("remove", (1.5,))])
def test_non_string_keys_are_refused(method, args):
    with pytest.raises(TypeError, match="argument 'key': '.*' object cannot be converted to 'PyString'"):
        getattr(SupervisorCore(), method)(*args)


def test_docstrings_and_signatures():
    import inspect

    assert SupervisorCore.__doc__ == "SupervisorCore - The central state manager using references"
    assert SupervisorCore.read.__doc__ == "Read a value by key - returns reference (zero-copy)"
    assert str(inspect.signature(SupervisorCore.write)) == "(self, /, key, val)"
    assert str(inspect.signature(SupervisorCore)) == "()"
