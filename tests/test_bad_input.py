"""Wrong argument types anywhere in the public API raise the standard errors, never crash.

For each callable, a valid call is given; each argument in turn is replaced by each bad value.
Values that happen to be acceptable for a parameter (any object for an `Any` parameter) are
skipped by listing, per parameter, which bad values it accepts.
"""

import re

import pytest

import norva_core

BAD = {"None": None, "int": 7, "str": "text", "object": object(), "float": 1.5, "negative": -1}

STANDARD = re.compile(
    r"^argument '\w+': ("
    r"'\w+' object cannot be converted to '\w+'"
    r"|'\w+' object cannot be interpreted as an integer"
    r"|can't convert negative int to unsigned"
    r"|out of range integral type conversion attempted"
    r"|a str cannot be taken as a sequence of integers)$"
)

core = norva_core.SupervisorCore()

# callable, valid arguments, {position: names of bad values that are valid there}
API = [
    (norva_core.SupervisorCore.read, (core, "k"), {}),
    (norva_core.SupervisorCore.write, (core, "k", 1), {2: set(BAD)}),
    (norva_core.SupervisorCore.get_version, (core, "k"), {}),
    (norva_core.SupervisorCore.contains, (core, "k"), {}),
    (norva_core.SupervisorCore.remove, (core, "k"), {}),
    (norva_core.register_physics_override, ("p", 3), {}),
    (norva_core.ConfigLoader.load_from_string, ("context:",), {}),
    (norva_core.shm.BufferDescriptor, ("b", 8, [2], "u4"), {}),
]


def cases():
    for fn, valid, accepted in API:
        for pos in range(len(valid)):
            if fn.__qualname__.startswith("SupervisorCore.") and pos == 0:
                continue  # self is checked by the method descriptor itself
            for name, bad in BAD.items():
                if name in accepted.get(pos, ()):
                    continue
                if isinstance(valid[pos], str) and name == "str":
                    continue
                if isinstance(valid[pos], int) and name in ("int",):
                    continue
                yield pytest.param(fn, valid, pos, bad, id=f"{fn.__qualname__}-{pos}-{name}")


@pytest.mark.parametrize("fn, valid, pos, bad", list(cases()))
def test_bad_argument(fn, valid, pos, bad):
    args = list(valid)
    args[pos] = bad
    with pytest.raises((TypeError, OverflowError)) as info:
        fn(*args)
    assert STANDARD.match(str(info.value)), str(info.value)


def test_wrong_self_is_refused():
    with pytest.raises(TypeError):
        norva_core.SupervisorCore.read(object(), "k")


@pytest.mark.parametrize("cls", [norva_core.SupervisorCore])
def test_constructors_without_parameters_refuse_arguments(cls):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        cls(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        cls(x=1)
