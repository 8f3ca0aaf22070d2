# The native download-link scan against the regular expression it replaces.
import re

from hypothesis import example, given, settings
from hypothesis import strategies as st

from vorn_tools._native import find_sandbox_links
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import _MARKDOWN_LINK_PATTERN

# Pieces of near-links, so that random joins reach every branch of the scan; the non-ASCII
# ones force each storage width of a str (1, 2 and 4 bytes), surrogates included.
_TOKENS = ["[", "]", "(", ")", "/", " ", "\n", "a", "!", "<", '"', "sandbox:", "(sandbox:/", "Sandbox:/", "](",
           "](sandbox:/", "[Download a.csv](sandbox:/files/a.csv)", "é", "€", "\ud800", "😀"]  # fmt: skip
# Long runs of unclosed links, where a backtracking scan turns quadratic.
_LONG = ["[" * 3000 + "](sandbox:/a))", "[a" * 3000 + "](sandbox:/" + "(" * 3000, "[x](sandbox:/" * 3000]


@settings(max_examples=2000, deadline=None)
@given(st.one_of(st.lists(st.sampled_from(_TOKENS), max_size=40).map("".join), st.text()))
@example("[[a]](sandbox:/x) [a](sandbox:/)x) [a](sandbox:/x" + "[b](sandbox:/y)")
@example("![chart](sandbox:/files/c.png) [a](sandbox:/files/a(1).csv) [a](<sandbox:/files/a.csv>)")
def test_matches_findall(text):
    assert find_sandbox_links(text) == re.findall(_MARKDOWN_LINK_PATTERN, text)


def test_long_runs_of_unclosed_links():
    for text in (prefix + run for prefix in ("", "😀") for run in _LONG):
        assert find_sandbox_links(text) == re.findall(_MARKDOWN_LINK_PATTERN, text)
