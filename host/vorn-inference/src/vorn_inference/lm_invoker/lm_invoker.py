"""Base class of language-model invokers."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any

from vorn_inference.schema import LMOutput, Message


class BaseLMInvoker(ABC):
    """Sends a prompt to a language model and returns its `LMOutput`; subclasses implement `_invoke`.

    The tools set with `set_tools` are offered to the model until they are replaced.
    """

    def __init__(self) -> None:
        self.tools: list[Any] = []

    def set_tools(self, tools: list[Any]) -> None:
        """Replace the tools offered to the model."""
        self.tools = list(tools)

    async def invoke(self, prompt: list[Message], **kwargs: Any) -> LMOutput:
        """Invoke the model with a message list; `_invoke` gets a snapshot of it."""
        return await self._invoke(list(prompt), **kwargs)

    @abstractmethod
    async def _invoke(self, messages: list[Message], **kwargs: Any) -> LMOutput:
        """Send the messages to the model and return what it answered."""
