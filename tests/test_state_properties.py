"""The persistent map behind State, checked against a plain dict model."""

import gc
import resource
import sys

from hypothesis import given, settings
from hypothesis import strategies as st

from norva_core import State

keys = st.text(min_size=0, max_size=6)
ops = st.lists(st.tuples(keys, st.integers()), max_size=300)


@settings(max_examples=200, deadline=None)
@given(initial=st.dictionaries(keys, st.integers(), max_size=200), ops=ops)
def test_update_chain_matches_a_dict_model(initial, ops):
    state = State(data=initial)
    model = dict(initial)
    versions = [(state, dict(model))]
    for k, v in ops:
        state = state.update(data={k: v})
        model[k] = v
        versions.append((state, dict(model)))
    # Every version still holds exactly what it held when it was made.
    for s, m in versions[:: max(1, len(versions) // 20)]:
        data = s.data.to_dict()
        assert data == m
        assert sorted(s.data.keys()) == sorted(m)  # every entry once


def test_many_sizes_and_colliding_prefixes():
    for n in (0, 1, 31, 32, 33, 1000, 40_000):
        d = {f"key-{i}": i for i in range(n)}
        s = State(data=d)
        assert s.data.to_dict() == d
        t = s.update(data={"key-0": -1})
        assert t.data["key-0"] == -1 and len(t.data) == max(n, 1)


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_a_million_entries_are_released():
    sentinel = object()
    baseline = sys.getrefcount(sentinel)

    def round_trip():
        s = State(data=dict.fromkeys((f"k{i}" for i in range(1_000_000)), sentinel))
        s = s.update(data={"k1": sentinel})
        assert sys.getrefcount(sentinel) >= baseline + 1_000_000
        del s
        gc.collect()

    for _ in range(2):
        round_trip()  # the allocators keep what they once had; measure from there
    warm = rss_kib()
    for _ in range(3):
        round_trip()
    # Every reference the maps took is given back, and with it the memory: rounds do not add up.
    assert sys.getrefcount(sentinel) == baseline
    # (A leak of the map nodes alone would add over 24 MB a round.)
    assert rss_kib() - warm < 40_000
