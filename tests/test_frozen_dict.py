"""FrozenDict: every reading operation of a dict, refused writes, element-wise equality."""

import copy

import pytest

from norva_core import ContextError, FrozenDict


def test_reads():
    inner = {"a": 1, "b": [2]}
    fd = FrozenDict(inner)
    assert len(fd) == 2 and "a" in fd and "z" not in fd
    assert fd["a"] == 1 and fd.get("a") == 1 and fd.get("z") is None and fd.get("z", 5) == 5
    assert fd.keys() == ["a", "b"] and fd.values() == [1, [2]] and fd.items() == [("a", 1), ("b", [2])]
    assert fd["b"] is inner["b"]  # values are returned as stored
    assert fd.to_dict() is inner
    assert str(fd) == "FrozenDict({'a': 1, 'b': [2]})"


def test_attribute_reads_fall_back_to_the_dict():
    fd = FrozenDict({"a": 1, "get": "shadowed"})
    assert fd.a == 1
    assert callable(fd.get)  # methods win over keys
    with pytest.raises(AttributeError, match="^Attribute not found$"):
        fd.b


def test_empty_and_missing():
    fd = FrozenDict({})
    assert len(fd) == 0 and fd.get("x") is None
    with pytest.raises(KeyError, match="Key not found"):
        fd["x"]
    with pytest.raises(TypeError):
        fd[[1]]  # unhashable keys fail like a dict


def test_writes_are_refused():
    fd = FrozenDict({"a": 1})
    with pytest.raises(ContextError, match=r"^Context is Immutable\. Use \.update\(\)$"):
        fd["a"] = 2
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del fd["a"]
    assert fd.to_dict() == {"a": 1}


@pytest.mark.parametrize(
    "other, equal",
    [
        ({"a": 1}, True),
        (FrozenDict({"a": 1}), True),
        ({"a": 2}, False),
        ({"a": 1, "b": 2}, False),
        ({"b": 1}, False),
        (["a"], False),
        ("a", False),
        (None, False),
    ],
)
def test_equality(other, equal):
    fd = FrozenDict({"a": 1})
    assert (fd == other) is equal
    assert (fd != other) is (not equal)


def test_ordering_unhashable_and_not_iterable():
    fd = FrozenDict({"a": 1})
    with pytest.raises(TypeError):
        fd < fd
    with pytest.raises(TypeError):
        hash(fd)
    with pytest.raises(TypeError):
        iter(fd)


def test_element_wise_values_compare_through_all():
    np = pytest.importorskip("numpy")
    a = FrozenDict({"x": np.arange(3)})
    assert a == FrozenDict({"x": np.arange(3)})
    assert a != FrozenDict({"x": np.array([0, 1, 5])})
    with pytest.raises(ValueError):  # errors of the comparison itself propagate
        a == {"x": np.arange(4)}


def test_comparison_errors_propagate():
    class Boom:
        def __eq__(self, other):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        FrozenDict({"a": Boom()}) == {"a": 1}


def test_deepcopy():
    inner = {"a": [1, {"b": 2}]}
    fd = FrozenDict(inner)
    dup = copy.deepcopy(fd)
    assert isinstance(dup, FrozenDict) and dup == fd
    assert dup.to_dict() is not inner and dup["a"] is not inner["a"]


def test_deep_nesting_raises_recursion_error():
    a, b = {}, {}
    ca, cb = a, b
    for _ in range(100_000):
        ca["k"] = {}
        cb["k"] = {}
        ca, cb = ca["k"], cb["k"]
    with pytest.raises(RecursionError):
        FrozenDict(a) == FrozenDict(b)


def test_constructor_and_subclassing():
    with pytest.raises(TypeError, match="argument 'data': 'list' object cannot be converted to 'PyDict'"):
        FrozenDict([("a", 1)])

    class Mine(FrozenDict):
        pass

    assert Mine({"a": 1}) == {"a": 1}
    assert not hasattr(FrozenDict({}), "__dict__")
    assert FrozenDict.__doc__ == ""
