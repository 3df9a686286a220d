"""ConfigLoader: schema documents checked through the YAML value tree."""

import textwrap

import pytest

from norva_core import ConfigLoader, SchemaViolationError

VALID = [
    "",
    "context:\n",
    "context: ~\n",
    "context:\n  domain:\n    user_id:\n      type: int\n      required: true\n    nickname:\n",
    "context:\n  global:\n    rate:\n      type: 5\n      default: 1.5\n      required: false\n",
    "context:\n  domain: {}\n  global:\n",
]


@pytest.mark.parametrize("text", VALID)
def test_valid_documents(text):
    assert ConfigLoader.load_from_string(text) is None


INVALID = [
    # (document, texts the message must contain)
    ("contexts:\n", ["contexts", "line 1"]),
    ("context:\n  local: {}\n", ["local", "line 2"]),
    ("context:\n  domain:\n    f:\n      kind: int\n", ["kind", "line 4"]),
    ("context:\n  domain:\n    f:\n      required: yes-please\n", ["required", "yes-please"]),
    ("context:\n  domain: {}\n  domain: {}\n", ["domain"]),
    ("context:\n  domain:\n    f:\n    f:\n", ["f"]),
    ("context:\n  domain:\n    f: text\n", ["f"]),
    ("context:\n  domain:\n    f: [1]\n", ["f"]),
    ("context: [1, 2]\n", ["context"]),
    ("context:\n  domain:\n    f:\n      type: [a]\n", ["type"]),
    ("context: {\n", ["line"]),
    ("a: 1\n---\nb: 2\n", ["document"]),
]


@pytest.mark.parametrize("text, needles", INVALID)
def test_invalid_documents(text, needles):
    with pytest.raises(SchemaViolationError) as info:
        ConfigLoader.load_from_string(text)
    message = str(info.value)
    assert message.startswith("Config Error: ")
    for needle in needles:
        assert needle in message
    assert "line" in message and "column" in message


def test_alias_bomb_and_deep_nesting_fail_cleanly():
    bomb = textwrap.dedent(
        """\
        a: &a [x, x, x, x, x, x, x, x, x, x]
        b: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]
        c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]
        d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]
        e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]
        f: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e, *e]
        g: &g [*f, *f, *f, *f, *f, *f, *f, *f, *f, *f]
        """
    )
    with pytest.raises(SchemaViolationError, match="^Config Error: "):
        ConfigLoader.load_from_string(bomb)
    with pytest.raises(SchemaViolationError, match="^Config Error: "):
        ConfigLoader.load_from_string("[" * 100_000)


def test_no_constructor_and_argument_type():
    with pytest.raises(TypeError, match="^No constructor defined for ConfigLoader$"):
        ConfigLoader()
    with pytest.raises(TypeError, match="argument 'content': 'bytes' object cannot be converted to 'PyString'"):
        ConfigLoader.load_from_string(b"context:")
