"""Masking a text with an ordered list of compiled rules."""

from __future__ import annotations

import functools
from collections.abc import Sequence

from vorn_core.masking import _masking
from vorn_core.masking.errors import MaskingRuleError
from vorn_core.masking.rules import CompiledMaskingRule

__all__ = ["LiteralSet", "MaskingRuleError", "mask_text"]

LiteralSet = _masking.LiteralSet
LiteralSet.__doc__ = """Literals replaced by one placeholder in a single pass over a text.

``LiteralSet(literals, replacement).replace(text)`` returns exactly what
replacing every occurrence of each literal in turn (``str.replace``, in the
given order, each on the result of the one before) returns. The set is
compiled once; a text without any of the literals costs one scan.
"""


@functools.lru_cache(maxsize=64)
def _rule_set(natives: tuple[_masking.Pattern, ...]) -> _masking.RuleSet:
    # Compiled once per list of rules; the set holds its rules.
    return _masking.RuleSet(natives)


def mask_text(text: str, rules: Sequence[CompiledMaskingRule], *, exact: bool = False) -> str:
    """Return ``text`` with every match of every rule replaced by its placeholder.

    The rules run in order, each on the result of the one before. A rule's
    matches are found left to right without overlap (as ``re.finditer`` finds
    them) and each is replaced by ``"[MASKED <RULE NAME>]"``; when the pattern
    has a group named ``secret``, only that group is replaced and the rest of
    the match (such as a header or key name) stays visible. Empty matches mask
    nothing. Every code point outside a replaced span is kept exactly, lone
    surrogates included.

    One Vectorscan scan of the text, compiled once per list of rules, finds the
    literals each rule's matches start near ("sk-", "authorization", an "@"
    at most 64 characters after the start, a "://" right before it); a rule
    then only tries the starts next to them, and a rule without such
    literals (a back reference, ``\\K``, verbose syntax) runs over the whole
    text. When a rule replaces text, the literals are carried over to the
    new text and the placeholder's own added, so later rules see exactly
    what the rules before them left. The result is the same as running every
    rule over the whole text, which ``exact=True`` does.

    Matching runs on PCRE2's 32-bit code units with JIT. An ASCII text is
    matched in place on 8-bit code, a quarter of the copying, but only when
    every rule of the list has 8-bit code (``CompiledMaskingRule.ascii``): a
    pattern UTF-8 cannot hold, or one too large for 8-bit code (PCRE2 writes
    a group out once per repetition its bound allows, so
    ``(?:a|bc){0,32768}`` is 32768 copies), puts the whole list on 32-bit code.

    Raises ``MaskingRuleError`` when a rule hits its match limit, depth limit
    or time budget, so that callers can fall back instead of hanging, and
    ``TypeError`` when ``text`` is not a str or a rule is not compiled.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    natives = []
    for rule in rules:
        if not isinstance(rule, CompiledMaskingRule):
            raise TypeError(
                "rules must be CompiledMaskingRule objects "
                f"(use CompiledMaskingRule.from_masking_rule), got {type(rule).__name__}"
            )
        natives.append(rule._native)
    try:
        if exact:
            return _masking.mask(text, natives)
        return _rule_set(tuple(natives)).mask(text)
    except _masking.MatchError as exc:
        rule_name, reason, _code = exc.args
        raise MaskingRuleError(rule_name, reason) from None
