"""Pure-Python reference of the masking engine, on the standard ``re`` module.

Same rule records, same placeholder and the same replacement semantics as
``vorn_core.masking``; it has no limits (a pathological rule hangs it), so it
only serves differential tests and benchmarks.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

from vorn_core.masking.errors import MaskingRuleError
from vorn_core.masking.rules import MaskingRule, placeholder


class ReferenceRule:
    """A rule compiled with ``re``."""

    def __init__(self, name: str, pattern: str) -> None:
        rule = MaskingRule(name=name, pattern=pattern)
        try:
            self.regex = re.compile(rule.pattern)
        except re.error as exc:
            raise MaskingRuleError(rule.name, exc.msg, exc.pos) from None
        self.name, self.pattern = rule.name, rule.pattern
        self.replacement = placeholder(rule.name)
        self.secret = "secret" in self.regex.groupindex

    @classmethod
    def of(cls, rules) -> list[ReferenceRule]:
        """Reference rules for records (``MaskingRule`` or ``BuiltInMaskingRule``)."""
        return [cls(rule.name, rule.pattern) for rule in rules]


def mask_one(text: str, rule: ReferenceRule) -> str:
    parts: list[str] = []
    kept_from = 0
    for match in rule.regex.finditer(text):
        start, end = match.span()
        if rule.secret and match.start("secret") != -1:
            start, end = match.span("secret")
        if end > start and start >= kept_from:
            parts += [text[kept_from:start], rule.replacement]
            kept_from = end
    return "".join(parts) + text[kept_from:] if parts else text


def mask_text(text: str, rules: Sequence[ReferenceRule]) -> str:
    """Apply the rules in order, each on the result of the one before."""
    for rule in rules:
        text = mask_one(text, rule)
    return text
