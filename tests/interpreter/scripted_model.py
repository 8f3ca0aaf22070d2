# Scripted stand-ins for the interpreter's tests: a model and a sandbox.

from typing import Any

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.schema import LMOutput, ToolCall

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus


def reply(text: str = "", *calls: tuple[str, str, dict[str, Any]]) -> LMOutput:
    # An output with `text` and tool calls given as (id, name, args).
    return LMOutput(outputs=([text] if text else []) + [ToolCall(id=i, name=n, args=a) for i, n, a in calls])


def code_call(call_id: str, code: object, **extra: Any) -> tuple[str, str, dict[str, Any]]:
    return (call_id, "execute_code_tool", {"code": code, **extra})


def ok(stdout: str) -> ExecutionResult:
    return ExecutionResult.create(ExecutionStatus.SUCCESS, "code", stdout=stdout)


def _give(value: Any) -> Any:
    if isinstance(value, BaseException):
        raise value
    return value


class ScriptedLMInvoker(BaseLMInvoker):
    # Returns (or raises) its steps in order; records every invocation's messages and keyword arguments.

    def __init__(self, steps: list[Any]) -> None:
        super().__init__()
        self._steps, self.invocations = list(steps), []

    async def _invoke(self, messages, **kwargs):
        self.invocations.append((messages, kwargs))
        return _give(self._steps.pop(0))


class ScriptedSandbox:
    # The sandbox calls the interpreter makes: `execute_code` returns (or raises) `results` in order, then
    # "ran <code>"; `download_file` returns (or raises) what `files` maps the path to. Both are recorded.

    language = "python"

    def __init__(self, results=(), files=None, upload_dir="/files") -> None:
        self._results, self._files, self._DEFAULT_UPLOAD_DIR = list(results), dict(files or {}), upload_dir
        self.executions, self.downloads = [], []

    async def execute_code(self, code, timeout=None, files=None):
        self.executions.append((code, timeout, files))
        return _give(self._results.pop(0) if self._results else ok(f"ran {code}\n"))

    async def download_file(self, file_path):
        self.downloads.append(file_path)
        return _give(self._files.get(file_path))
