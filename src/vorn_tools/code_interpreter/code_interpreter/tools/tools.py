"""The `execute_code_tool` offered to the model, bound to one sandbox and one request."""

from __future__ import annotations

from collections.abc import Callable
from typing import Annotated

from langchain_core.tools import tool
from pydantic import BeforeValidator
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import DEFAULT_EXECUTION_TIMEOUT

_NO_OUTPUT_REPLY = "Code executed successfully (no output)"


def _refuse_bool(value: object) -> object:
    # The schema's lax int would make True a 1 s limit; the sandboxes refuse a bool as a limit too.
    if isinstance(value, bool):
        raise ValueError(f"timeout must be a number of seconds, got {value!r}")
    return value


_Seconds = Annotated[int, BeforeValidator(_refuse_bool)]


def create_execute_code_tool(
    sandbox: CodeInterpreterSandbox,
    execution_outputs: list[str],
    files: list[Attachment] | None = None,
) -> Callable:
    """Make the `execute_code_tool` structured tool over `sandbox`.

    Every call runs its code with `files` uploaded, appends the result's text (unstripped,
    whatever the status) to `execution_outputs`, and replies with the output or an error
    text. A failure of the sandbox call propagates, and then nothing is appended.

    The description tells the model that every execution starts fresh, whatever the
    backend, although most backends keep variables between calls; an app that wants the
    model to build on earlier calls says so in its own message.
    """
    description = (
        f"Execute {sandbox.language} code in a secure sandbox environment. "
        "Each code execution starts completely fresh with no memory of previous executions. "
        "Use print() statements to display results, as only printed output is visible."
    )

    @tool(description=description)
    async def execute_code_tool(code: str, timeout: _Seconds = DEFAULT_EXECUTION_TIMEOUT) -> str:
        """Execute code in the sandbox.

        Each execution starts fresh with no memory of earlier executions; only printed output
        is visible in the result.

        Args:
            code: The code to execute in the sandbox.
            timeout: Maximum execution time in seconds (default 30).

        Returns:
            The execution output, or an error message.
        """
        # The limit belongs to the host: a model asking for "no limit" gets the default.
        if timeout <= 0:
            timeout = DEFAULT_EXECUTION_TIMEOUT
        result = await sandbox.execute_code(code, files=files, timeout=timeout)
        execution_outputs.append(result.text)
        if result.status.value == "success":
            if not result.text:
                return _NO_OUTPUT_REPLY
            return result.text.strip()
        return f"Error: {result.error or result.stderr}"

    return execute_code_tool
