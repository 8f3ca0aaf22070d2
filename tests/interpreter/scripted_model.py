"""Scripted stand-ins for the interpreter's own tests: a model and a contract-level sandbox."""

from __future__ import annotations

from typing import Any

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.schema import LMOutput, Message, ToolCall

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus


def reply(text: str = "", *calls: tuple[str, str, dict[str, Any]]) -> LMOutput:
    """An output with `text` and tool calls given as (id, name, args)."""
    out = LMOutput()
    if text:
        out.add_text(text)
    for call_id, name, args in calls:
        out.add_tool_call(ToolCall(id=call_id, name=name, args=args))
    return out


def code_call(call_id: str, code: str, **extra: Any) -> tuple[str, str, dict[str, Any]]:
    return (call_id, "execute_code_tool", {"code": code, **extra})


class ScriptedLMInvoker(BaseLMInvoker):
    """Returns its steps in order: an output or any other value, an exception to raise, or a
    function of the conversation so far. Records every invocation's messages and keyword arguments."""

    def __init__(self, steps: list[Any]) -> None:
        super().__init__()
        self._steps = list(steps)
        self.invocations: list[tuple[list[Message], dict[str, Any]]] = []

    async def _invoke(self, messages: list[Message], **kwargs: Any) -> Any:
        self.invocations.append((messages, kwargs))
        step = self._steps.pop(0)
        if isinstance(step, BaseException):
            raise step
        return step(messages) if callable(step) else step


class Unprintable(Exception):
    def __str__(self) -> str:
        raise RuntimeError("__str__ is broken")


def ok(stdout: str) -> ExecutionResult:
    return ExecutionResult.create(ExecutionStatus.SUCCESS, "code", stdout=stdout)


class ScriptedSandbox(CodeInterpreterSandbox):
    """`execute_code` returns (or raises) `results` in order, then "ran <code>"; `download_file`
    returns (or raises) what `files` maps the path to. Executions and downloads are recorded."""

    def __init__(self, results=(), files=None, upload_dir="/files", **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._results, self._files, self._DEFAULT_UPLOAD_DIR = list(results), dict(files or {}), upload_dir
        self.executions: list[tuple[str, dict[str, Any]]] = []
        self.downloads: list[str] = []

    async def execute_code(self, code, timeout=None, files=None, upload_dir=None, on_stdout=None, on_stderr=None):
        self.executions.append((code, {"timeout": timeout, "files": files}))
        result = self._results.pop(0) if self._results else ok(f"ran {code}\n")
        if isinstance(result, BaseException):
            raise result
        return result

    async def download_file(self, file_path, *, timeout=30):
        self.downloads.append(file_path)
        if isinstance(content := self._files.get(file_path), BaseException):
            raise content
        return content

    async def execute_command(self, cmd, *, env=None, timeout=None): ...

    async def set_timeout(self, seconds): ...

    async def terminate(self, *, timeout=10): ...

    @property
    def sandbox_id(self):
        return "scripted"
