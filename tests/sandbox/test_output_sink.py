"""The native bounded output sink against the pure-Python reference, and the streamed-output record."""

import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tests.sandbox.reference_sink import MAX_CHARS, NOTICE, ReferenceSink
from vorn_tools.code_interpreter.code_sandbox.utils import BoundedOutputSink, StreamedOutput

HALF = (MAX_CHARS - 2) // 2  # two such lines cost exactly the budget


def _feed(lines):
    """Feed both sinks and check they agree on state and rendering."""
    native, reference = BoundedOutputSink(), ReferenceSink()
    for line in lines:
        native.append(line)
        reference.append(line)
    state = (native._size, native._truncated, list(native._lines))
    assert state == (reference._size, reference._truncated, list(reference._lines))
    assert native.render() == native.render() == reference.render()
    return native


def test_code_points_not_bytes_surrogates_survive_and_refcounts_balance():
    non_ascii = "\u00e9\u4e2d\U0001f600" * 333 + "\u00e9"  # 1000 code points, far more UTF-8 bytes
    surrogate = "".join(["bad \udc80 byte ", "\ud800"])  # a fresh object, not interned
    before = sys.getrefcount(surrogate)
    native = _feed([non_ascii, surrogate])
    assert native._size == 1001 + len(surrogate) + 1
    assert list(native._lines)[1] is surrogate  # the very object: no encode/decode round trip
    with pytest.raises(TypeError):
        native.append(b"bytes")
    native.append("x" * MAX_CHARS)  # evicts both
    assert sys.getrefcount(surrogate) == before


_line = st.one_of(st.text(max_size=40), st.integers(min_value=0, max_value=MAX_CHARS + 10).map(lambda n: "z" * n))


# The boundaries: exactly the budget, one over (by a line or by an empty line), eviction of
# everything but a giant line, an embedded newline kept as one entry.
@example(["a" * HALF, "b" * HALF])
@example(["a" * HALF, "b" * HALF, "c"])
@example(["a" * MAX_CHARS])
@example(["a" * (MAX_CHARS - 1), ""])
@example(["a", "b", "x" * (3 * MAX_CHARS)])
@example([""] * (MAX_CHARS + 1))
@example(["one\ntwo", "three"])
@settings(max_examples=60, deadline=None)
@given(st.lists(_line, max_size=30))
def test_matches_reference(lines):
    _feed(lines)


@pytest.mark.parametrize(
    ("chunks", "stdout"),
    [
        pytest.param([], "", id="nothing"),
        pytest.param([("stdout", "")], "", id="empty-chunk-is-seen"),
        pytest.param([("stdout", "a"), ("stdout", "b\n")], "ab\n", id="partial-line-joined"),
        pytest.param([("stdout", "a\nb\n"), ("stderr", "e\n"), ("stdout", "c")], "a\nb\nc", id="multi-line-chunk"),
        pytest.param([("stdout", "\n\n")], "\n\n", id="empty-lines"),
        pytest.param([("stdout", "a" * HALF + "\n"), ("stdout", "b" * HALF + "\nc"), ("stdout", "\nd")],
                     NOTICE + "\n" + "b" * HALF + "\nc\nd", id="truncated-keeps-newest-lines"),
        pytest.param([("stdout", "old\n"), ("stdout", "x" * (2 * MAX_CHARS)), ("stdout", "y\n")],
                     NOTICE + "\n" + "x" * (2 * MAX_CHARS) + "y\n", id="one-long-line-kept-whole"),
    ],
)
def test_streamed_output_reads_as_printed(chunks, stdout):
    streamed = StreamedOutput()
    for stream, chunk in chunks:
        streamed.record(stream, chunk)
    assert streamed.render("stdout") == stdout
    assert streamed.render("stderr") == ("e\n" if any(s == "stderr" for s, _ in chunks) else "")
    # Once anything streamed, no failure is retry safe, whatever the backend's judgement.
    assert streamed.retry_safe(ConnectionError(), lambda error: True) is (not chunks)
    assert streamed.retry_safe(ConnectionError(), lambda error: False) is False
