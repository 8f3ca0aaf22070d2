"""The native download-link scan against the regular expression it replaces."""

import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from vorn_tools._native import find_sandbox_links
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import _MARKDOWN_LINK_PATTERN

_REFERENCE = re.compile(_MARKDOWN_LINK_PATTERN)

# Pieces of near-links, so that random joins reach every branch of the scan; the non-ASCII
# ones force each storage width of a str (1, 2 and 4 bytes), surrogates included.
_TOKENS = [
    "[", "]", "(", ")", "/", " ", "\n", "a", "!", "<", '"', "sandbox:", "(sandbox:/", "Sandbox:/", "](",
    "](sandbox:/", "[Download a.csv](sandbox:/files/a.csv)", "é", "€", "\ud800", "😀",
]  # fmt: skip


@settings(max_examples=2000, deadline=None)
@given(st.one_of(st.lists(st.sampled_from(_TOKENS), max_size=40).map("".join), st.text()))
@example("[[a]](sandbox:/x)")
@example("[a](sandbox:/)x)")
@example("[a](sandbox:/x" + "[b](sandbox:/y)")
@example("![chart](sandbox:/files/c.png) [a](sandbox:/files/a(1).csv) [a](<sandbox:/files/a.csv>)")
def test_matches_findall(text):
    assert find_sandbox_links(text) == _REFERENCE.findall(text)


@pytest.mark.parametrize("wide", ["", "😀"])
def test_long_runs_of_unclosed_links(wide):
    n = 3000
    for text in ("[" * n + "](sandbox:/a))", "[a" * n + "](sandbox:/" + "(" * n, "[x](sandbox:/" * n):
        assert find_sandbox_links(wide + text) == _REFERENCE.findall(wide + text)
