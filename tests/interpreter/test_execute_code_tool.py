"""The execute_code_tool: description, schema, replies and what it stores."""

import pytest
from vorn_inference.schema import Attachment

from tests.interpreter.scripted_model import ScriptedSandbox
from vorn_tools.code_interpreter.code_interpreter.tools import create_execute_code_tool
from vorn_tools.code_interpreter.code_sandbox.constants import Language
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError


@pytest.mark.parametrize("language", [Language.PYTHON, "python"])
def test_name_description_and_schema(language):
    sandbox = ScriptedSandbox(language=language)
    tool = create_execute_code_tool(sandbox, [])
    sandbox.language = "r"  # read once, at creation
    assert tool.name == "execute_code_tool"
    assert tool.description.startswith("Execute python code in a secure sandbox environment. Each code")
    assert {k: (v["type"], v.get("default")) for k, v in tool.args.items()} == {
        "code": ("string", None),
        "timeout": ("integer", 30),
    }


def _result(status, stdout="", stderr="", error=""):
    return ExecutionResult.create(status, "c", stdout=stdout, stderr=stderr, error=error)


@pytest.mark.parametrize(
    ("result", "reply", "stored"),
    [
        (_result(ExecutionStatus.SUCCESS, "  a b \n"), "a b", "  a b \n"),
        (_result(ExecutionStatus.SUCCESS, ""), "Code executed successfully (no output)", ""),
        (_result(ExecutionStatus.SUCCESS, "\n"), "", "\n"),
        (_result(ExecutionStatus.ERROR, "partial\n", "warn", "ZeroDivision"), "Error: ZeroDivision", "ZeroDivision"),
        (_result(ExecutionStatus.ERROR, "", "only stderr"), "Error: only stderr", ""),
        (_result(ExecutionStatus.ERROR), "Error: ", ""),
        (_result(ExecutionStatus.TIMEOUT, "", "err", "timed out"), "Error: timed out", "timed out"),
        (_result(ExecutionStatus.UNKNOWN, "", "lost"), "Error: lost", ""),
    ],
)
async def test_replies_and_stored_texts(result, reply, stored):
    outputs = ["earlier"]
    tool = create_execute_code_tool(ScriptedSandbox([result]), outputs)
    assert await tool.ainvoke({"code": "c", "timeout": 5}) == reply
    assert outputs == ["earlier", stored]


@pytest.mark.parametrize(("args", "passed"),
    [({}, 30), ({"timeout": 7}, 7), ({"timeout": 0}, 30), ({"timeout": -1}, 30)],
)
async def test_timeout_default_and_model_cannot_lift_the_limit(args, passed):
    files = [Attachment.from_bytes(bytes=b"1", filename="a.csv")]
    sandbox = ScriptedSandbox()
    tool = create_execute_code_tool(sandbox, [], files)
    await tool.ainvoke({"code": "x", **args})
    await tool.ainvoke({"code": "y", **args})
    assert sandbox.executions == [(code, {"timeout": passed, "files": files}) for code in ("x", "y")]


async def test_sandbox_failures_and_rejected_arguments_propagate_without_storing():
    outputs = []
    tool = create_execute_code_tool(ScriptedSandbox([SandboxNotInitializedError()]), outputs)
    with pytest.raises(SandboxNotInitializedError):
        await tool.ainvoke({"code": "x", "timeout": 1})
    with pytest.raises(Exception, match="code"):
        await tool.ainvoke({"code": None, "timeout": 1})
    assert outputs == []
