"""Prompt builder: system and user templates formatted into a message list."""

from __future__ import annotations

import string
from collections.abc import Mapping
from typing import Any

from vorn_inference.schema import Message

_PARSER = string.Formatter()


class PromptBuilder:
    """Formats a system template and a user template into the messages of a prompt.

    Templates use `str.format` syntax restricted to plain names: "{name}" is replaced by the
    variable of that name, "{{" and "}}" stand for literal braces. Any other use of a brace
    (a lone "{" or "}", an index, an attribute, a conversion or a format specification) is
    refused with a `ValueError` when the builder is made; a missing variable is refused with
    a `KeyError` when it is formatted.
    """

    def __init__(self, system_template: str = "", user_template: str = "") -> None:
        self.system_template = system_template
        self.user_template = user_template
        self._system = _parse(system_template, "system_template")
        self._user = _parse(user_template, "user_template")

    @property
    def variables(self) -> set[str]:
        """Names of the placeholders of both templates."""
        return {name for _, name in self._system + self._user if name is not None}

    def format(self, variables: Mapping[str, Any] | None = None, /) -> list[Message]:
        """Return the prompt: a system message when the system template is not empty, then the user message."""
        values = {} if variables is None else variables
        messages: list[Message] = []
        if self.system_template:
            messages.append(Message.system(_render(self._system, values)))
        messages.append(Message.user(_render(self._user, values)))
        return messages


def _parse(template: str, which: str) -> list[tuple[str, str | None]]:
    if not isinstance(template, str):
        raise TypeError(f"{which} must be a text, got {type(template).__name__}")
    try:
        pieces = list(_PARSER.parse(template))
    except ValueError as exc:
        raise ValueError(f"{which}: {exc} (write '{{{{' and '}}}}' for literal braces)") from None
    parsed: list[tuple[str, str | None]] = []
    for literal, name, spec, conversion in pieces:
        if name is not None and (not name.isidentifier() or spec or conversion):
            field = "{" + name + ("!" + conversion if conversion else "") + (":" + spec if spec else "") + "}"
            raise ValueError(
                f"{which}: placeholder {field!r} is not a plain name "
                "(write '{{' and '}}' for literal braces)"
            )
        parsed.append((literal, name))
    return parsed


def _render(pieces: list[tuple[str, str | None]], values: Mapping[str, Any]) -> str:
    out: list[str] = []
    for literal, name in pieces:
        out.append(literal)
        if name is not None:
            if name not in values:
                raise KeyError(f"prompt variable {name!r} is missing")
            out.append(str(values[name]))
    return "".join(out)
