"""VORN Tools Code Interpreter Sandbox module."""

from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus, FailureDetail
from vorn_tools.code_interpreter.errors import (
    CodeInterpreterError,
    SandboxExecutionError,
    SandboxNotInitializedError,
    SandboxStartError,
    SandboxTerminateError,
    Stage,
    TemplateBuildError,
)

__all__ = [
    "BaseSandbox",
    "CodeInterpreterSandbox",
    "ExecutionResult",
    "ExecutionStatus",
    "FailureDetail",
    "CodeInterpreterError",
    "SandboxExecutionError",
    "SandboxNotInitializedError",
    "SandboxStartError",
    "SandboxTerminateError",
    "Stage",
    "TemplateBuildError",
]
