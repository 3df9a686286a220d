"""Zones of paths and the process-wide physics overrides, seen through the module functions.

Zone resolution itself is native; the C++ unit tests walk its table of segment rules. Here the
registry's Python face: conversions, replacement, clearing, and prefix matching as later proxies
see it are exercised through the lookups the C++ tests cover.
"""

import pytest

import norva_core


def test_register_and_clear_return_none():
    assert norva_core.register_physics_override("domain", 1) is None
    assert norva_core.register_physics_override(path="domain.x", caps=255) is None
    assert norva_core.clear_physics_overrides() is None


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((1, 1), TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((None, 1), TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        (("p", 256), OverflowError, "argument 'caps'"),
        (("p", -1), OverflowError, "argument 'caps': can't convert negative int to unsigned"),
        (("p", "1"), TypeError, "argument 'caps': 'str' object cannot be interpreted as an integer"),
        (("p", 1.0), TypeError, "argument 'caps'"),
        (("p",), TypeError, "missing required argument 'caps'"),
        (("p", 1, 2), TypeError, "takes at most 2 positional arguments (3 given)"),
    ],
)
def test_register_rejects_bad_arguments(args, exc, text):
    with pytest.raises(exc) as info:
        norva_core.register_physics_override(*args)
    assert text in str(info.value)


def test_clear_takes_no_arguments():
    with pytest.raises(TypeError, match=r"clear_physics_overrides\(\) takes no arguments \(1 given\)"):
        norva_core.clear_physics_overrides(1)


def test_signatures():
    import inspect

    assert str(inspect.signature(norva_core.register_physics_override)) == "(path, caps)"
    assert str(inspect.signature(norva_core.clear_physics_overrides)) == "()"
