"""Pure-Python reference of the masking engine, on the standard ``re`` module.

Same rule records, same placeholder and the same replacement semantics as
``vorn_core.masking``; it has no limits (a pathological rule hangs it), so it
only serves differential tests and benchmarks.

Some interpreters' ``re`` mis-evaluates a possessive repeat over a group that
holds a look-around (``(?:a(?!b))*+`` takes all of "ab" in Python 3.11.2), so
there the reference is wrong for a rule with such a repeat. ``untrusted``
names those rules, found by probing the interpreter, so that a test compares
with the reference only where the reference can be right.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from re import _constants as sre
from re import _parser as sre_parser

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
        self.trusted = POSSESSIVE_REPEATS_HONOUR_LOOKAROUNDS or not _possessive_over_lookaround(rule.pattern)

    @classmethod
    def of(cls, rules) -> list[ReferenceRule]:
        """Reference rules for records (``MaskingRule`` or ``BuiltInMaskingRule``)."""
        return [cls(rule.name, rule.pattern) for rule in rules]


def _possessive_over_lookaround(pattern: str) -> bool:
    """Whether ``pattern`` has a look-around inside a possessive repeat."""

    def walk(items, inside: bool) -> bool:
        for op, av in items:
            if op in (sre.ASSERT, sre.ASSERT_NOT):
                if inside:
                    return True
                subs = [av[1]]
            elif op in (sre.POSSESSIVE_REPEAT, sre.MAX_REPEAT, sre.MIN_REPEAT):
                subs = [av[2]]
            elif op is sre.SUBPATTERN:
                subs = [av[3]]
            elif op is sre.ATOMIC_GROUP:
                subs = [av]
            elif op is sre.BRANCH:
                subs = av[1]
            elif op is sre.GROUPREF_EXISTS:
                subs = [sub for sub in av[1:] if sub is not None]
            else:
                continue
            if any(walk(sub, inside or op is sre.POSSESSIVE_REPEAT) for sub in subs):
                return True
        return False

    return walk(sre_parser.parse(pattern), False)


POSSESSIVE_REPEATS_HONOUR_LOOKAROUNDS = re.match(r"(?:a(?!b))*+", "ab").end() == 0


def untrusted(rules: Iterable[ReferenceRule]) -> str | None:
    """Why the reference cannot be compared with for ``rules`` on this interpreter, or None when it can."""
    names = [rule.name for rule in rules if not rule.trusted]
    if not names:
        return None
    return (
        f"this interpreter's re mis-evaluates a possessive repeat over a look-around, as rule(s) "
        f"{', '.join(sorted(set(names)))} use: the comparison with the reference is skipped"
    )


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
