"""The native bounded output sink and the streamed-output record against their pure-Python references."""

import sys
import tracemalloc

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tests.sandbox.reference_sink import MAX_CHARS, NOTICE, ReferenceSink, reference_streamed
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
                     NOTICE + "\n" + "x" * (MAX_CHARS - 2) + "y\n", id="long-line-keeps-its-newest-characters"),
        pytest.param([("stdout", "ab")] * 10_000, "ab" * 10_000, id="many-tiny-pieces-within-the-bound"),
        pytest.param([("stdout", "x" * 1000)] * (MAX_CHARS // 1000 + 1),
                     NOTICE + "\n" + "x" * MAX_CHARS, id="no-line-break-at-all"),
        pytest.param([("stdout", "a" * HALF + "\nb\n"), ("stdout", "c" * HALF)],
                     NOTICE + "\nb\n" + "c" * HALF, id="lines-and-unfinished-line-share-the-bound"),
        pytest.param([("stdout", "a\n"), ("stdout", "\n" * (MAX_CHARS + 5) + "z")],
                     NOTICE + "\n" + "\n" * (MAX_CHARS - 1) + "z", id="one-chunk-over-the-bound"),
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


_piece = st.one_of(
    st.text(alphabet="ab\r\n", max_size=8),
    st.tuples(st.integers(min_value=0, max_value=MAX_CHARS + 3), st.sampled_from(["", "\n", "\nw"])).map(
        lambda size_end: "z" * size_end[0] + size_end[1]
    ),
)
_chunk = st.lists(_piece, min_size=1, max_size=3).map("".join)


# The boundaries: an unfinished line at, or one over, the bound; a line costing exactly the bound
# and one character more; pieces held past twice the bound; single chunks just over the bound.
@example([("stdout", "z" * MAX_CHARS)])
@example([("stdout", "z" * MAX_CHARS), ("stdout", "z")])
@example([("stdout", "z" * MAX_CHARS)] * 2)
@example([("stdout", "a\n" + "z" * (MAX_CHARS - 1) + "\n")])
@example([("stdout", "a\n" + "z" * MAX_CHARS + "\n")])
@example([("stdout", "z" * MAX_CHARS), ("stdout", "\n")])
@example([("stdout", "z" * MAX_CHARS)] * 2 + [("stdout", "y"), ("stdout", "\nw")])
@example([("stdout", "a\n"), ("stdout", "\n" + "z" * MAX_CHARS)])
@example([("stdout", "a\n"), ("stdout", "z" * (MAX_CHARS + 1))])
@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["stdout", "stderr"]), _chunk), max_size=10))
def test_streamed_output_matches_reference(chunks):
    streamed = StreamedOutput()
    for stream, chunk in chunks:
        streamed.record(stream, chunk)
    for name in ("stdout", "stderr"):
        expected = reference_streamed("".join(chunk for stream, chunk in chunks if stream == name))
        assert streamed.render(name) == streamed.render(name) == expected


def _progress_bar():
    for step in range(20_000):
        yield "\r" + f"{step:>8}" + "#" * 1041


def _then_a_line_break():
    yield from ("y" * 100_000 for _ in range(200))
    yield "\n"


# Peak allocations while output streams through, against a budget a few times the bound (in bytes
# for ASCII text): a record holding what it was given, or splitting it whole, is far over.
@pytest.mark.parametrize(
    "chunks",
    [
        pytest.param(_progress_bar, id="carriage-return-progress"),
        pytest.param(lambda: ("\r" + str(step % 10) for step in range(400_000)), id="tiny-pieces"),
        pytest.param(_then_a_line_break, id="line-break-after-long-unfinished-line"),
        pytest.param(lambda: [("x" * 99 + "\n") * 200_000], id="one-enormous-chunk"),
    ],
)
def test_streamed_output_memory_stays_bounded_while_streaming(chunks):
    streamed, source = StreamedOutput(), chunks()  # an enormous chunk exists before: the provider holds it
    tracemalloc.start()
    try:
        for chunk in source:
            streamed.record("stdout", chunk)
        rendered = streamed.render("stdout")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert rendered.startswith(NOTICE + "\n") and len(rendered) - len(NOTICE) - 1 <= MAX_CHARS
    assert peak < 16 * MAX_CHARS
