"""Prompt builders."""

from vorn_inference.prompt_builder.prompt_builder import PromptBuilder

__all__ = ["PromptBuilder"]
