"""Records exchanged with language models: messages, tool calls and results, outputs, attachments."""

from __future__ import annotations

import builtins
from enum import StrEnum
from typing import Any, Union

from pydantic import BaseModel, ConfigDict, Field


class Attachment(BaseModel):
    """A named file held in memory: a model input or an output file."""

    model_config = ConfigDict(frozen=True)

    filename: str
    data: builtins.bytes

    @classmethod
    def from_bytes(cls, *, bytes: builtins.bytes, filename: str) -> Attachment:  # noqa: A002 - the host's keyword
        """Make an attachment from the whole content of a file and its name."""
        return cls(filename=filename, data=bytes)


class ToolCall(BaseModel):
    """One call of a tool requested by the model; `id` is echoed back in the matching `ToolResult`."""

    id: str
    name: str
    args: dict[str, Any] = Field(default_factory=dict)


class ToolResult(BaseModel):
    """The reply to the tool call with the same `id`."""

    id: str
    output: str


class CodeExecResult(BaseModel):
    """Record of one code execution: the code and what it produced (texts and files, in order)."""

    id: str
    code: str | None = None
    output: list[Union[str, Attachment]] = Field(default_factory=list)


class Role(StrEnum):
    SYSTEM = "system"
    USER = "user"
    ASSISTANT = "assistant"


Content = Union[str, ToolCall, ToolResult, Attachment]


class Message(BaseModel):
    """One turn of a conversation: a role and its contents, in order."""

    role: Role
    contents: list[Content]

    @classmethod
    def system(cls, content: Content | list[Content]) -> Message:
        return cls(role=Role.SYSTEM, contents=_as_list(content))

    @classmethod
    def user(cls, content: Content | list[Content]) -> Message:
        return cls(role=Role.USER, contents=_as_list(content))

    @classmethod
    def assistant(cls, content: Content | list[Content]) -> Message:
        return cls(role=Role.ASSISTANT, contents=_as_list(content))

    @property
    def text(self) -> str:
        """The text contents joined by line feeds."""
        return "\n".join(c for c in self.contents if isinstance(c, str))


def _as_list(content: Content | list[Content]) -> list[Content]:
    return list(content) if isinstance(content, list) else [content]


_OutputItem = Union[str, ToolCall, CodeExecResult]


class LMOutput(BaseModel):
    """What a model returned: texts, tool calls and code-execution records, in the order added."""

    outputs: list[_OutputItem] = Field(default_factory=list)

    def add_text(self, text: str | list[str]) -> None:
        self._add(text, str)

    def add_tool_call(self, tool_call: ToolCall | list[ToolCall]) -> None:
        self._add(tool_call, ToolCall)

    def add_code_exec_result(self, result: CodeExecResult | list[CodeExecResult]) -> None:
        self._add(result, CodeExecResult)

    def _add(self, item: Any, kind: type) -> None:
        items = item if isinstance(item, list) else [item]
        for each in items:
            if not isinstance(each, kind):
                raise TypeError(f"expected {kind.__name__}, got {type(each).__name__}")
        self.outputs.extend(items)

    @property
    def text(self) -> str:
        """Every text added, joined by line feeds; the empty text when there is none."""
        return "\n".join(o for o in self.outputs if isinstance(o, str))

    @property
    def tool_calls(self) -> list[ToolCall]:
        return [o for o in self.outputs if isinstance(o, ToolCall)]

    @property
    def code_exec_results(self) -> list[CodeExecResult]:
        return [o for o in self.outputs if isinstance(o, CodeExecResult)]

    @property
    def attachments(self) -> list[Attachment]:
        """The attachments carried by the code-execution records, in order."""
        return [x for r in self.code_exec_results for x in r.output if isinstance(x, Attachment)]


__all__ = [
    "Attachment",
    "CodeExecResult",
    "LMOutput",
    "Message",
    "Role",
    "ToolCall",
    "ToolResult",
]
