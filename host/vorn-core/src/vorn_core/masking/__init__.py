"""Credential masking on PCRE2: rules, built-in credential patterns and ``mask_text``."""

from vorn_core.masking.errors import MaskingRuleError
from vorn_core.masking.rules import (
    BuiltInMaskingRule,
    CompiledMaskingRule,
    MaskingRule,
    placeholder,
)
from vorn_core.masking.text import mask_text

__all__ = [
    "BuiltInMaskingRule",
    "CompiledMaskingRule",
    "MaskingRule",
    "MaskingRuleError",
    "mask_text",
    "placeholder",
]
