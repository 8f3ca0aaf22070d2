"""The execute_code_tool: description, schema, replies and what it stores."""

import pytest
from vorn_inference.schema import Attachment

from tests.interpreter.scripted_model import ScriptedSandbox, ok
from vorn_tools.code_interpreter.code_interpreter.tools import __all__ as tools_all
from vorn_tools.code_interpreter.code_interpreter.tools import create_execute_code_tool
from vorn_tools.code_interpreter.code_sandbox.constants import Language
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError

DESCRIPTION = (
    "Execute python code in a secure sandbox environment. Each code execution starts completely fresh "
    "with no memory of previous executions. Use print() statements to display results, as only printed "
    "output is visible."
)


@pytest.mark.parametrize("language", [Language.PYTHON, "python"])
def test_name_description_and_schema(language):
    assert tools_all == ["create_execute_code_tool"]
    tool = create_execute_code_tool(ScriptedSandbox(language=language), [])
    assert tool.name == "execute_code_tool"
    assert tool.description == DESCRIPTION
    assert tool.args == {
        "code": {"title": "Code", "type": "string"},
        "timeout": {"default": 30, "title": "Timeout", "type": "integer"},
    }


def test_description_is_fixed_at_creation():
    sandbox = ScriptedSandbox()
    tool = create_execute_code_tool(sandbox, [])
    sandbox.language = "r"
    assert tool.description == DESCRIPTION


def _result(status, stdout="", stderr="", error=""):
    return ExecutionResult.create(status, "c", stdout=stdout, stderr=stderr, error=error)


@pytest.mark.parametrize(
    ("result", "reply", "stored"),
    [
        (_result(ExecutionStatus.SUCCESS, "42\n"), "42", "42\n"),
        (_result(ExecutionStatus.SUCCESS, ""), "Code executed successfully (no output)", ""),
        (_result(ExecutionStatus.SUCCESS, "\n"), "", "\n"),
        (_result(ExecutionStatus.SUCCESS, "  a b \n"), "a b", "  a b \n"),
        (_result(ExecutionStatus.ERROR, "partial\n", "warn", "ZeroDivisionError"), "Error: ZeroDivisionError", "ZeroDivisionError"),
        (_result(ExecutionStatus.ERROR, "", "only stderr"), "Error: only stderr", ""),
        (_result(ExecutionStatus.ERROR), "Error: ", ""),
        (_result(ExecutionStatus.TIMEOUT, "", "err", "timed out"), "Error: timed out", "timed out"),
        (_result(ExecutionStatus.UNKNOWN, "", "lost"), "Error: lost", ""),
    ],
)
async def test_replies_and_stored_texts(result, reply, stored):
    outputs = []
    tool = create_execute_code_tool(ScriptedSandbox([result]), outputs)
    assert await tool.ainvoke({"code": "c", "timeout": 5}) == reply
    assert outputs == [stored]


@pytest.mark.parametrize(("args", "passed"), [({}, 30), ({"timeout": 7}, 7), ({"timeout": 0}, 30), ({"timeout": -1}, 30)])
async def test_timeout_default_and_model_cannot_lift_the_limit(args, passed):
    sandbox = ScriptedSandbox()
    await create_execute_code_tool(sandbox, []).ainvoke({"code": "x", **args})
    assert sandbox.executions[0][1]["timeout"] == passed


async def test_files_go_with_every_call():
    files = [Attachment.from_bytes(bytes=b"1", filename="a.csv")]
    sandbox = ScriptedSandbox()
    tool = create_execute_code_tool(sandbox, [], files)
    await tool.ainvoke({"code": "1"})
    await tool.ainvoke({"code": "2"})
    assert [kw["files"] for _, kw in sandbox.executions] == [files, files]
    bare = ScriptedSandbox()
    await create_execute_code_tool(bare, []).ainvoke({"code": "1"})
    assert bare.executions[0][1]["files"] is None


async def test_sandbox_failures_and_rejected_arguments_propagate_without_storing():
    outputs = []
    tool = create_execute_code_tool(ScriptedSandbox([SandboxNotInitializedError()]), outputs)
    with pytest.raises(SandboxNotInitializedError):
        await tool.ainvoke({"code": "x", "timeout": 1})
    with pytest.raises(Exception, match="code"):
        await tool.ainvoke({"code": None, "timeout": 1})
    assert outputs == []


async def test_outputs_accumulate_in_call_order():
    outputs = ["earlier"]
    tool = create_execute_code_tool(ScriptedSandbox([ok("1\n"), ok("2\n")]), outputs)
    for code in ("a", "b"):
        await tool.ainvoke({"code": code})
    assert outputs == ["earlier", "1\n", "2\n"]
