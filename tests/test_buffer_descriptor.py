"""BufferDescriptor: immutable record, repr, shape conversions."""

import pytest

import norva_core

BufferDescriptor = norva_core.shm.BufferDescriptor


def test_fields_and_repr():
    d = BufferDescriptor("buf", 48, (2, 3), "float64")
    assert (d.name, d.size, d.shape, d.dtype) == ("buf", 48, [2, 3], "float64")
    assert d.shape is not d.shape  # a new list on every read
    assert repr(d) == "<BufferDescriptor name='buf' size=48 shape=[2, 3] dtype='float64'>"
    assert repr(BufferDescriptor("x'y", 0, [], "")) == "<BufferDescriptor name='x'y' size=0 shape=[] dtype=''>"


@pytest.mark.parametrize("shape", [(2, 3), [2, 3], range(2, 4, 1)])
def test_sequences_are_shapes(shape):
    assert BufferDescriptor("b", 1, shape, "u1").shape == list(shape)


def test_numpy_shape_and_sizes():
    np = pytest.importorskip("numpy")
    a = np.zeros((4, 5), dtype=np.int32)
    d = BufferDescriptor("seg", a.nbytes, a.shape, str(a.dtype))
    assert d.shape == [4, 5] and d.size == 80 and d.dtype == "int32"
    assert BufferDescriptor("b", 2**64 - 1, [2**64 - 1], "x").size == 2**64 - 1


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (("b", 1, "23", "u1"), TypeError, "argument 'shape': a str cannot be taken as a sequence"),
        (("b", 1, 5, "u1"), TypeError, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
        (("b", -1, [1], "u1"), OverflowError, "argument 'size'"),
        (("b", 1, [1, -2], "u1"), OverflowError, "argument 'shape'"),
        (("b", 1, [1, "x"], "u1"), TypeError, "argument 'shape'"),
        ((1, 1, [1], "u1"), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (("b", 1, [1], None), TypeError, "argument 'dtype'"),
        (("b", 2**64, [1], "u1"), OverflowError, "argument 'size'"),
    ],
)
def test_bad_arguments(args, exc, text):
    with pytest.raises(exc) as info:
        BufferDescriptor(*args)
    assert text in str(info.value)


@pytest.mark.parametrize("attr", ["name", "size", "shape", "dtype"])
def test_attributes_are_read_only(attr):
    d = BufferDescriptor("b", 1, [1], "u1")
    with pytest.raises(AttributeError):
        setattr(d, attr, getattr(d, attr))
    with pytest.raises(AttributeError):
        delattr(d, attr)


def test_docstring_and_signature():
    import inspect

    assert BufferDescriptor.__doc__ == (
        'BufferDescriptor: The "Passport" for Zero-Copy Data.\n'
        "Contains metadata needed for Python to reconstruct a memoryview."
    )
    assert str(inspect.signature(BufferDescriptor)) == "(name, size, shape, dtype)"
