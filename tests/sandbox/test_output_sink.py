"""The native bounded output sink against the pure-Python reference."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.sandbox.reference_sink import MAX_CHARS, NOTICE, ReferenceSink
from vorn_tools.code_interpreter.code_sandbox import utils
from vorn_tools.code_interpreter.code_sandbox.utils import BoundedOutputSink

HALF = (MAX_CHARS - 2) // 2  # two such lines cost exactly the budget


def _feed(lines, native=None, reference=None):
    """Feed both sinks and check they agree on state and rendering."""
    native, reference = native or BoundedOutputSink(), reference or ReferenceSink()
    for line in lines:
        native.append(line)
        reference.append(line)
    assert (native._size, native._truncated, list(native._lines)) == (
        reference._size, reference._truncated, list(reference._lines),
    )  # fmt: skip
    assert native.render() == native.render() == reference.render()
    return native


@pytest.mark.parametrize(
    ("lines", "size", "truncated", "kept"),
    [
        pytest.param(["one\ntwo", "three"], 14, False, 2, id="embedded-newline-is-one-entry"),
        pytest.param(["a" * HALF, "b" * HALF], MAX_CHARS, False, 2, id="exactly-the-budget"),
        pytest.param(["a" * HALF, "b" * HALF, "c"], HALF + 3, True, 2, id="over-evicts-oldest"),
        pytest.param(["a" * MAX_CHARS], MAX_CHARS + 1, False, 1, id="one-line-one-over-is-kept"),
        pytest.param(["a" * (MAX_CHARS - 1), ""], 1, True, 1, id="one-over-by-empty-line"),
        pytest.param(["a", "b", "x" * (3 * MAX_CHARS)], 3 * MAX_CHARS + 1, True, 1, id="giant-line-evicts-all"),
        pytest.param([""] * (MAX_CHARS + 1), MAX_CHARS, True, MAX_CHARS, id="one-empty-line-too-many"),
    ],
)
def test_boundaries(lines, size, truncated, kept):
    native = _feed(lines)
    assert (native._size, native._truncated, len(native._lines)) == (size, truncated, kept)


def test_code_points_not_bytes_and_surrogates_survive():
    non_ascii = "\u00e9\u4e2d\U0001f600" * 333 + "\u00e9"  # 1000 code points, far more UTF-8 bytes
    surrogate = "bad \udc80 byte \ud800"
    native = _feed([non_ascii, surrogate])
    assert native._size == 1001 + len(surrogate) + 1
    assert list(native._lines)[1] is surrogate  # the very object: no encode/decode round trip
    with pytest.raises(TypeError):
        native.append(b"bytes")


def test_refcounts_are_balanced():
    line = "".join(["refcounted", "-line"])  # a fresh object, not interned
    before = sys.getrefcount(line)
    sink = BoundedOutputSink()
    sink.append(line)
    assert sys.getrefcount(line) == before + 1
    sink.append("x" * MAX_CHARS)  # evicts it
    assert sys.getrefcount(line) == before


_line = st.one_of(st.text(max_size=40), st.integers(min_value=0, max_value=MAX_CHARS + 10).map(lambda n: "z" * n))


@settings(max_examples=60, deadline=None)
@given(st.lists(_line, max_size=30))
def test_matches_reference_on_random_streams(lines):
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
    streamed = utils.StreamedOutput()
    for stream, chunk in chunks:
        streamed.record(stream, chunk)
    assert streamed.render("stdout") == stdout
    assert streamed.render("stderr") == ("e\n" if any(s == "stderr" for s, _ in chunks) else "")
    # Once anything streamed, no failure is retry safe, whatever the backend's judgement.
    assert streamed.seen is bool(chunks)
    assert streamed.retry_safe(ConnectionError(), lambda error: True) is (not chunks)
    assert streamed.retry_safe(ConnectionError(), lambda error: False) is False
