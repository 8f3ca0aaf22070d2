"""The native download-link scan against the regular expression it replaces."""

import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from vorn_tools._native import find_sandbox_links
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import _MARKDOWN_LINK_PATTERN

_REFERENCE = re.compile(_MARKDOWN_LINK_PATTERN)

# Pieces that make near-links, so that random joins exercise every branch of the scan.
_TOKENS = [
    "[", "]", "(", ")", "/", " ", "\n", "a", "x.csv", "!", "<", ">", '"',
    "sandbox:", "sandbox:/", "(sandbox:/", "Sandbox:/", "](", "](sandbox:", "](sandbox:/",
    "[Download a.csv](sandbox:/files/a.csv)", "é", "ÿ", "€", "\ud800", "\udfff", "😀", "\U0010ffff",
]


def _same(text: str) -> None:
    assert find_sandbox_links(text) == _REFERENCE.findall(text)


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(_TOKENS), max_size=40).map("".join))
@example("[" * 300 + "](sandbox:/x)")
@example("[[a]](sandbox:/x)")
@example("[a](sandbox:/)x)")
@example("[a](sandbox:/x" + "[b](sandbox:/y)")
@example("[a](sandbox:/x\n)")
def test_matches_findall_on_near_links(text):
    _same(text)


@settings(max_examples=500, deadline=None)
@given(st.text())
def test_matches_findall_on_any_text(text):
    _same(text)


@pytest.mark.parametrize("kind", ["ascii", "latin1", "bmp", "astral", "surrogate"])
@pytest.mark.parametrize("n", [1, 2, 500, 3000])
def test_long_bracket_runs_without_close(kind, n):
    # One character forces each storage width of a str: the scan runs on all three.
    wide = {"ascii": "", "latin1": "é", "bmp": "€", "astral": "😀", "surrogate": "\ud800"}[kind]
    for text in (
        wide + "[" * n,
        wide + "[" * n + "]",
        wide + "[" * n + "](sandbox:/a" + ")" * 2,
        wide + "[a" * n + "](sandbox:/" + "(" * n,
        wide + "[x](sandbox:/" * n,
    ):
        _same(text)


@pytest.mark.parametrize(
    ("text", "paths"),
    [
        ("[Download filename.csv](sandbox:/files/filename.csv)", ["/files/filename.csv"]),
        ("![chart](sandbox:/files/c.png)", ["/files/c.png"]),
        ("[[Download](sandbox:/files/a.csv)]", ["/files/a.csv"]),
        ("[](sandbox:/files/a.csv)", []),
        ("[a]b](sandbox:/files/a.csv)", []),
        ("[a](sandbox: /files/a.csv)", []),
        ("[a](sandbox:files/a.csv)", []),
        ("[a](Sandbox:/files/a.csv)", []),
        ("[a](sandbox:/)", []),
        ("[a](<sandbox:/files/a.csv>)", []),
        ("[a](https://x.org/a.csv) [b](file:/a)", []),
        ("[a](sandbox:/files/a(1).csv)", ["/files/a(1"]),
        ('[a](sandbox:/files/a.csv "title")', ['/files/a.csv "title"']),
        ("[two\nlines](sandbox:/files/a\nb.csv)", ["/files/a\nb.csv"]),
        ("[a](sandbox:/p) [b](sandbox:/q) [c](sandbox:/p)", ["/p", "/q", "/p"]),
        ("[ü](sandbox:/files/😀 ß.csv)", ["/files/😀 ß.csv"]),
    ],
)
def test_documented_link_cases(text, paths):
    assert find_sandbox_links(text) == paths == _REFERENCE.findall(text)


def test_str_subclass_is_scanned_and_other_types_refused():
    class Text(str):
        pass

    assert find_sandbox_links(Text("[a](sandbox:/b)")) == ["/b"]
    with pytest.raises(TypeError):
        find_sandbox_links(b"[a](sandbox:/b)")
