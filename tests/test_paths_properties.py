"""Paths, replayed through a transaction, checked against a small reference of the grammar."""

from hypothesis import given, settings
from hypothesis import strategies as st

from norva_core import Transaction

DIGITS = "0123456789"


def reference_segments(path):
    segments, buf, i = [], "", 0
    while i < len(path):
        c = path[i]
        if c in ".[" and buf:
            segments.append(("key", buf))
            buf = ""
        if c == "[":
            end = path.find("]", i + 1)
            content = path[i + 1 :] if end < 0 else path[i + 1 : end]
            digits = content[1:] if content.startswith("+") else content
            if digits and all(ch in DIGITS for ch in digits) and int(digits) < 2**64:
                segments.append(("index", int(digits)))
            else:
                segments.append(("key", content.strip("'\"")))
            if end < 0:
                return segments
            i = end
        elif c != ".":
            buf += c
        i += 1
    if buf:
        segments.append(("key", buf))
    return segments


def reference_replay(path, value):
    """What writing `value` at `path` into an empty dict gives: the dict, or the error text."""
    root = cur = {}
    segments = reference_segments(path)
    for n, (kind, seg) in enumerate(segments):
        last = n == len(segments) - 1
        if kind == "index":
            if not last:
                return f"TypeError: Cannot navigate index [{seg}] in non-list"
            cur[str(seg)] = value
        elif last:
            cur[seg] = value
        else:
            cur = cur.setdefault(seg, {})
    return root


def native_replay(path, value):
    tx = Transaction()
    tx.log_delta(path, None, value)
    try:
        return tx.build_pending_from_deltas()
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"


pieces = st.sampled_from(
    ["a", "bc", "é", " ", ".", "..", "[", "]", "0", "007", "+", "-", "'", '"', "18446744073709551615",
     "18446744073709551616", "[0]", "['x.y']", "[+3]"]
)
paths = st.one_of(st.lists(pieces, max_size=12).map("".join), st.text(max_size=16))


@settings(max_examples=1500, deadline=None)
@given(path=paths)
def test_replay_matches_the_reference_grammar(path):
    assert native_replay(path, "v") == reference_replay(path, "v")


def test_reference_examples():
    # The reference itself, on the examples the grammar is defined by.
    assert reference_segments("a.b[0].c") == [("key", "a"), ("key", "b"), ("index", 0), ("key", "c")]
    assert reference_segments("a[+7][x]") == [("key", "a"), ("index", 7), ("key", "x")]
    assert reference_segments("a['b.c']") == [("key", "a"), ("key", "b.c")]
    assert reference_segments('a["0"]') == [("key", "a"), ("key", "0")]
    assert reference_segments("a[0") == [("key", "a"), ("index", 0)]
    assert reference_segments("..a..") == [("key", "a")]
    assert reference_segments("") == []
