"""Pure-Python reference of the masking engine, on the standard ``re`` module.

Same rule objects, same patterns, same placeholder and the same replacement
semantics as ``vorn_core.masking``; it has no limits (a pathological rule
hangs it), so it only serves differential tests and benchmarks.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

from vorn_core.masking.errors import MaskingRuleError
from vorn_core.masking.rules import BuiltInMaskingRule, MaskingRule, placeholder


class ReferenceRule:
    """A rule compiled with ``re``."""

    __slots__ = ("name", "pattern", "regex", "replacement", "secret")

    def __init__(self, name: str, pattern: str) -> None:
        rule = MaskingRule(name=name, pattern=pattern)
        try:
            self.regex = re.compile(rule.pattern)
        except re.error as exc:
            raise MaskingRuleError(rule.name, exc.msg, exc.pos) from None
        self.name = rule.name
        self.pattern = rule.pattern
        self.replacement = placeholder(rule.name)
        self.secret = "secret" in self.regex.groupindex

    @classmethod
    def from_masking_rule(cls, rule: MaskingRule | BuiltInMaskingRule) -> ReferenceRule:
        return cls(rule.name, rule.pattern)


def mask_one(text: str, rule: ReferenceRule) -> str:
    parts: list[str] = []
    kept_from = 0
    for match in rule.regex.finditer(text):
        start, end = match.span()
        if rule.secret and match.start("secret") != -1:
            start, end = match.span("secret")
        if end > start and start >= kept_from:
            parts.append(text[kept_from:start])
            parts.append(rule.replacement)
            kept_from = end
    if not parts:
        return text
    parts.append(text[kept_from:])
    return "".join(parts)


def mask_text(text: str, rules: Sequence[ReferenceRule]) -> str:
    """Apply the rules in order, each on the result of the one before."""
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    for rule in rules:
        text = mask_one(text, rule)
    return text
