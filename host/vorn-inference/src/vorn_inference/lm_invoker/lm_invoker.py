"""Base class of language-model invokers."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any

from vorn_inference.schema import LMOutput, Message


class BaseLMInvoker(ABC):
    """Sends a prompt to a language model and returns its `LMOutput`.

    Subclasses implement `_invoke`; `invoke` normalises the prompt first. The tools set with
    `set_tools` are offered to the model on every invocation until they are replaced.
    """

    def __init__(self) -> None:
        self.tools: list[Any] = []

    def set_tools(self, tools: list[Any]) -> None:
        """Replace the tools offered to the model."""
        if not isinstance(tools, list):
            raise TypeError(f"tools must be a list, got {type(tools).__name__}")
        self.tools = list(tools)

    async def invoke(self, prompt: str | list[Message], **kwargs: Any) -> LMOutput:
        """Invoke the model with a prompt text or a message list.

        A text becomes one user message. The subclass receives a snapshot of the list, so a
        caller that keeps growing its conversation does not change what was sent.
        """
        if isinstance(prompt, str):
            messages = [Message.user(prompt)]
        elif isinstance(prompt, list) and all(isinstance(m, Message) for m in prompt):
            messages = list(prompt)
        else:
            raise TypeError("prompt must be a text or a list of Message")
        return await self._invoke(messages, **kwargs)

    @abstractmethod
    async def _invoke(self, messages: list[Message], **kwargs: Any) -> LMOutput:
        """Send the messages to the model and return what it answered."""
