"""The execute_code_tool: description, schema, replies and what it stores."""

import pytest
from vorn_inference.schema import Attachment

from tests.interpreter.scripted_model import ScriptedSandbox
from vorn_tools.code_interpreter.code_interpreter.tools import create_execute_code_tool
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus


def test_name_description_and_schema():
    tool = create_execute_code_tool(ScriptedSandbox(language="python"), [])
    assert tool.name == "execute_code_tool"
    assert tool.description.startswith("Execute python code in a secure sandbox environment. Each code")
    schema = {k: (v["type"], v.get("default")) for k, v in tool.args.items()}
    assert schema == {"code": ("string", None), "timeout": ("integer", 30)}


@pytest.mark.parametrize(
    ("status", "texts", "reply", "stored"),
    [
        (ExecutionStatus.SUCCESS, ("  a b \n", "", ""), "a b", "  a b \n"),
        (ExecutionStatus.SUCCESS, ("", "", ""), "Code executed successfully (no output)", ""),
        (ExecutionStatus.ERROR, ("partial\n", "warn", "ZeroDivision"), "Error: ZeroDivision", "ZeroDivision"),
        (ExecutionStatus.ERROR, ("", "only stderr", ""), "Error: only stderr", ""),
        (ExecutionStatus.TIMEOUT, ("", "err", "timed out"), "Error: timed out", "timed out"),
    ],
)
async def test_replies_and_stored_texts(status, texts, reply, stored):
    stdout, stderr, error = texts
    outputs = ["earlier"]
    result = ExecutionResult.create(status, "c", stdout=stdout, stderr=stderr, error=error)
    tool = create_execute_code_tool(ScriptedSandbox([result]), outputs)
    assert await tool.ainvoke({"code": "c", "timeout": 5}) == reply
    assert outputs == ["earlier", stored]


@pytest.mark.parametrize(
    ("args", "passed"), [({}, 30), ({"timeout": 7}, 7), ({"timeout": 0}, 30), ({"timeout": -5}, 30)]
)
async def test_timeout_default_and_model_cannot_lift_the_limit(args, passed):
    files = [Attachment.from_bytes(bytes=b"1", filename="a.csv")]
    sandbox = ScriptedSandbox()
    await create_execute_code_tool(sandbox, [], files).ainvoke({"code": "x", **args})
    assert sandbox.executions == [("x", {"timeout": passed, "files": files})]
