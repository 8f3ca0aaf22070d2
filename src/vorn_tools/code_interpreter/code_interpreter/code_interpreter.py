"""Deprecated base class of code interpreters, with the model-facing system message."""

from __future__ import annotations

import sys
import warnings
from abc import ABC, abstractmethod
from typing import Any

from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult

_DEPRECATION_MESSAGE = (
    "{name} subclasses BaseCodeInterpreter, which is deprecated and will be merged into "
    "SandboxCodeInterpreter. Subclass or use SandboxCodeInterpreter instead."
)
_DEFAULT_SYSTEM_MESSAGE = "You are a helpful assistant with code execution capabilities."
_FILES_SECTION_TEMPLATE = (
    "\n\nAvailable files:\n{file_list}\n\nThese files are accessible in the code execution environment."
)
# The class the deprecation message recommends: it and the classes derived from it do not warn.
_SUCCESSOR = ("vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter", "SandboxCodeInterpreter")


def _class_creation_stacklevel(cls: type) -> int:
    """Stack level, counted from `__init_subclass__`, of the frame that defines `cls`.

    Between the class statement and the hook run the metaclass constructors (ABCMeta's
    `__new__` in abc.py, and those of any custom metaclass) and any `__init_subclass__`
    of intermediate classes that chains up with `super()`. Skipping exactly those frames
    makes the warning name the line that has to change.
    """
    candidates = [vars(meta).get("__new__") for meta in type(cls).__mro__]
    candidates += [vars(klass).get("__init_subclass__") for klass in cls.__mro__[1:]]
    hooks = set()
    for hook in candidates:
        code = getattr(getattr(hook, "__func__", hook), "__code__", None)
        if code is not None:
            hooks.add(code)
    level = 2
    frame = sys._getframe(2)  # the caller of the hook
    while frame is not None and frame.f_code in hooks:
        level += 1
        frame = frame.f_back
    return level


class BaseCodeInterpreter(ABC):
    """Deprecated abstract base of code interpreters; use `SandboxCodeInterpreter` directly.

    This base will be merged into `SandboxCodeInterpreter`. Every class derived from it, other
    than `SandboxCodeInterpreter` and the classes derived from that, issues a
    `DeprecationWarning` when it is defined. Its declared `execute` contract is not
    one to rely on: `SandboxCodeInterpreter.execute` returns an `LMOutput`.
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        """Warn, once per class definition, that `cls` derives from this deprecated base.

        `SandboxCodeInterpreter`, and any class derived from it, is what the warning recommends
        and does not warn: importing or subclassing it stays clean under warnings-as-errors.
        The warning points at the class statement that derives from the base, not at the
        metaclass machinery in between.
        """
        super().__init_subclass__(**kwargs)
        if any((klass.__module__, klass.__qualname__) == _SUCCESSOR for klass in cls.__mro__):
            return
        warnings.warn(
            _DEPRECATION_MESSAGE.format(name=cls.__name__),
            DeprecationWarning,
            stacklevel=_class_creation_stacklevel(cls),
        )

    @abstractmethod
    async def execute(
        self, message: str, files: list[Attachment] | None = None, **kwargs: Any
    ) -> tuple[str, list[ExecutionResult]]:
        """Answer `message`, running code as needed.

        Args:
            message: The user's message or query.
            files: Files for the execution.
            **kwargs: Further parameters of the execution.

        Returns:
            The interpreter's response and the execution results.
        """
        raise NotImplementedError

    def _build_system_message(self, uploaded_files: list[dict[str, Any]] | None = None) -> str:
        """Return the system message: the default prompt, then a files section when there are files."""
        if not uploaded_files:
            return _DEFAULT_SYSTEM_MESSAGE
        file_info = [self._format_single_file(item) for item in uploaded_files]
        return _DEFAULT_SYSTEM_MESSAGE + self._format_files_section(file_info)

    def _format_single_file(self, file_item: dict[str, Any]) -> str:
        """Render one file item as "- name [key: value, ...]"; keys other than "filename" are metadata."""
        name = file_item.get("filename", "unknown")
        metadata = [f"{key}: {value}" for key, value in file_item.items() if key != "filename"]
        if metadata:
            return f"- {name} [{', '.join(metadata)}]"
        return f"- {name}"

    def _format_files_section(self, file_info: list[str]) -> str:
        """Render the files section around the file lines."""
        return _FILES_SECTION_TEMPLATE.format(file_list="\n".join(file_info))
