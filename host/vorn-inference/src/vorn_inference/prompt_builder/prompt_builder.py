"""Prompt builder: a system template and a user template formatted into a message list."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from vorn_inference.schema import Message


class PromptBuilder:
    """Formats a system template and a user template into the messages of a prompt.

    Templates use `str.format` syntax: "{name}" takes the variable of that name, "{{" and "}}"
    stand for literal braces; a lone brace raises `ValueError`, a missing variable `KeyError`.
    """

    def __init__(self, system_template: str = "", user_template: str = "") -> None:
        self.system_template = system_template
        self.user_template = user_template

    def format(self, variables: Mapping[str, Any], /) -> list[Message]:
        """Return the prompt: the system message (when its template is not empty), then the user message."""
        messages: list[Message] = []
        if self.system_template:
            messages.append(Message.system(self.system_template.format_map(variables)))
        messages.append(Message.user(self.user_template.format_map(variables)))
        return messages
