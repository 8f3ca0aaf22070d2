"""Masking a text with an ordered list of compiled rules."""

from __future__ import annotations

from collections.abc import Sequence

from vorn_core.masking import _masking
from vorn_core.masking.errors import MaskingRuleError
from vorn_core.masking.rules import CompiledMaskingRule

__all__ = ["MaskingRuleError", "mask_text"]


def mask_text(text: str, rules: Sequence[CompiledMaskingRule]) -> str:
    """Return ``text`` with every match of every rule replaced by its placeholder.

    The rules run in order, each on the result of the one before. A rule's
    matches are found left to right without overlap (as ``re.finditer`` finds
    them) and each is replaced by ``"[MASKED <RULE NAME>]"``; when the pattern
    has a group named ``secret``, only that group is replaced and the rest of
    the match (such as a header or key name) stays visible. Empty matches mask
    nothing. Every code point outside a replaced span is kept exactly, lone
    surrogates included.

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
        return _masking.mask(text, natives)
    except _masking.MatchError as exc:
        rule_name, reason, _code = exc.args
        raise MaskingRuleError(rule_name, reason) from None
