"""The one exception of the masking engine."""

from __future__ import annotations

__all__ = ["MaskingRuleError"]


class MaskingRuleError(ValueError):
    """A masking rule that cannot be compiled, or that failed on a text.

    ``rule`` names the rule, ``reason`` says what went wrong (PCRE2's own
    message, or the limit that was hit) and ``offset`` is the position in the
    pattern where compilation failed (None for failures while matching).
    """

    def __init__(self, rule: str, reason: str, offset: int | None = None) -> None:
        self.rule = rule
        self.reason = reason
        self.offset = offset
        if offset is None:
            message = f"masking rule {rule!r} failed: {reason}"
        else:
            message = f"masking rule {rule!r}: {reason} at pattern offset {offset}"
        super().__init__(message)

    def __reduce__(self):
        return (type(self), (self.rule, self.reason, self.offset))
