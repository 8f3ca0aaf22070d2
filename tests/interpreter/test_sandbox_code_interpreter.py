"""The request loop of SandboxCodeInterpreter, its files, links, downloads and records."""

import asyncio
import logging

import pytest
from vorn_inference.schema import Attachment, Role, ToolResult

from tests.interpreter.scripted_model import ScriptedLMInvoker, ScriptedSandbox, code_call, ok, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import (
    _FORMAT_INSTRUCTIONS,
    SandboxCodeInterpreter,
)
from vorn_tools.code_interpreter.errors import CodeInterpreterError, SandboxExecutionError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

LOGGER = "vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter"
SECRET = "sk-test-Zq8v3Lr0Wm2Xp9Ty"
DEFAULT = "You are a helpful assistant with code execution capabilities."


def make(steps, sandbox=None):
    model = ScriptedLMInvoker(steps)
    return SandboxCodeInterpreter(sandbox or ScriptedSandbox(), model), model


def results_of(model, turn):
    """The tool results that followed assistant turn `turn` (0-based), as (id, output)."""
    messages = model.invocations[turn + 1][0]
    return [(m.contents[0].id, m.contents[0].output) for m in messages if isinstance(m.contents[0], ToolResult)]


def logged(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


def test_constructor_refuses_a_non_invoker_and_accepts_any_sandbox():
    with pytest.raises(TypeError, match="^lm_invoker must be a BaseLMInvoker instance$"):
        SandboxCodeInterpreter(ScriptedSandbox(), object())
    assert SandboxCodeInterpreter("anything", ScriptedLMInvoker([])).sandbox == "anything"


@pytest.mark.parametrize("returned", [reply("Hello [c](sandbox:/files/c.svg)"), "[c](sandbox:/files/c.svg)", None])
async def test_answer_without_tool_calls(returned):
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    ci, model = make([returned], sandbox)
    out = await ci.execute("hi", temperature=0.2)
    text = returned.text if hasattr(returned, "text") else str(returned)
    assert (out.text, out.code_exec_results, out.tool_calls, sandbox.downloads) == (text, [], [], [])
    ((prompt, kwargs),) = model.invocations
    assert kwargs == {"temperature": 0.2} and [m.role for m in prompt] == [Role.SYSTEM, Role.USER]
    assert (prompt[0].text, prompt[1].text) == (DEFAULT + _FORMAT_INSTRUCTIONS, "hi")
    # The instructions' example link is one the parser accepts.
    assert ci._parse_output_files_from_response(_FORMAT_INSTRUCTIONS) == ["/files/filename.csv"]
    assert [t.name for t in model.tools] == ["execute_code_tool"]


async def test_loop_turns_replies_and_records():
    sandbox = ScriptedSandbox([ok("1\n"), ok("2\n"), ok("")])
    ci, model = make(
        [
            reply("", code_call("a", "print(1)"), code_call("b", "print(2)")),
            reply("thinking [x](sandbox:/files/x)", code_call("c", "x = 3")),
            reply("done"),
        ],
        sandbox,
    )
    out = await ci.execute("go", seed=1)
    assert out.text == "done" and sandbox.downloads == []  # only the final answer's links count
    assert [(r.id, r.code, r.output) for r in out.code_exec_results] == [
        ("a", "print(1)", ["1\n"]), ("b", "print(2)", ["2\n"]), ("c", "x = 3", [])
    ]
    turns = model.invocations[2][0]
    assert [m.role.value for m in turns] == "system user assistant user user assistant user".split()
    assert [c.id for c in turns[2].contents] == ["a", "b"] and turns[5].contents[0] == "thinking [x](sandbox:/files/x)"
    assert results_of(model, 1) == [("a", "1"), ("b", "2"), ("c", "Code executed successfully (no output)")]
    assert [kw for _, kw in model.invocations] == [{"seed": 1}] * 3
    assert sandbox.executions == [(c, {"timeout": 30, "files": None}) for c in ("print(1)", "print(2)", "x = 3")]
    # The first prompt is never grown; every later invocation gets the same, growing list.
    assert len(model.prompts[0]) == 2 and model.prompts[1] is model.prompts[2]


async def test_twenty_iterations_run_until_the_model_stops():
    ci, model = make([reply("", code_call(str(i), f"print({i})")) for i in range(20)] + [reply("fin")])
    out = await ci.execute("go")
    assert len(model.invocations) == 21 and len(out.code_exec_results) == 20
    assert len(model.invocations[-1][0]) == 2 + 20 * 2


async def test_unknown_tools_get_a_result_and_files_go_to_the_last_code_record():
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    ci, model = make(
        [
            reply("", ("u1", "web_search", {"q": "x"}), code_call("a", "print(1)")),
            reply("", ("u2", "other", {})),
            reply("[c](sandbox:/files/c.svg)"),
        ],
        sandbox,
    )
    out = await ci.execute("go")
    assert results_of(model, 0) == [("u1", "Error executing tool: unknown tool 'web_search'"), ("a", "ran print(1)")]
    assert results_of(model, 1)[-1] == ("u2", "Error executing tool: unknown tool 'other'")
    (record,) = out.code_exec_results
    assert record.id == "a" and [a.filename for a in record.output[1:]] == ["c.svg"]


async def test_calls_that_raise_or_are_rejected_keep_records_aligned_and_masked():
    register_secret(SECRET)
    failures = [SandboxExecutionError("upload failed", stage=Stage.EXECUTION), ConnectionError(f"token {SECRET}")]
    sandbox = ScriptedSandbox([*failures, ok("4\n")])
    # "c" lacks its code and "e" sends a number: the tool refuses both; "x" names another tool.
    calls = [code_call("a", "1"), code_call("b", "2"), ("c", "execute_code_tool", {"timeout": 5}), ("x", "other", {})]
    calls += [("e", "execute_code_tool", {"code": 7}), code_call("d", "4")]
    ci, model = make([reply("", *calls), reply("end")], sandbox)
    out = await ci.execute("go")
    replies = dict(results_of(model, 0))
    assert (replies["a"], replies["b"], replies["d"]) == (
        "Error executing tool: upload failed", "Error executing tool: token [SECRET]", "4"
    )
    assert all(replies[k].startswith("Error executing tool: ") and "code" in replies[k] for k in "ce")
    assert [(r.id, r.code, r.output) for r in out.code_exec_results] == [
        ("a", "1", [replies["a"]]), ("b", "2", [replies["b"]]), ("c", None, [replies["c"]]),
        ("e", "7", [replies["e"]]), ("d", "4", ["4\n"]),
    ]


@pytest.mark.parametrize(
    ("error", "text", "message", "stage"),
    [
        (RuntimeError(f"upstream refused key {SECRET}"), "LM invocation failed: upstream refused key [SECRET]",
         "Full error details: upstream refused key [SECRET]", None),
        (CodeInterpreterError("download broke", stage=Stage.DOWNLOAD), "download broke", "download broke", "download"),
    ],
)
async def test_a_failure_in_the_loop_is_logged_and_returned_as_the_answer(caplog, error, text, message, stage):
    register_secret(SECRET)
    ci, _ = make([reply("", code_call("a", "1")), error])
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        out = await ci.execute("go")
    assert (out.text, out.code_exec_results, out.tool_calls) == (text, [], [])
    (record,) = logged(caplog)
    assert (record.getMessage(), getattr(record, "error_code", None)) == (message, stage)
    assert SECRET not in record.exc_text


async def test_cancellation_during_a_tool_run_leaves_execute():
    started = asyncio.Event()

    class Hanging(ScriptedSandbox):
        async def execute_code(self, code, **kw):
            started.set()
            await asyncio.sleep(3600)

    ci, _ = make([reply("", code_call("a", "1"))], Hanging())
    task = asyncio.create_task(ci.execute("go"))
    await asyncio.wait_for(started.wait(), 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize(
    ("upload_dir", "path"),
    [("/files", "/files/{a}.csv"), ("/tmp/files", "/tmp/files/{a}.csv"), ("/data/", "/data/{a}.csv"), (None, "{a}.csv")],
)
async def test_model_is_told_where_input_files_are_and_braces_stay_literal(upload_dir, path):
    message = 'print(f"{x!r}") and {"a": 1} and }{ {0}'
    files = [Attachment.from_bytes(bytes=b"a\n", filename="{a}.csv")]
    ci, model = make([reply("ok")], ScriptedSandbox(upload_dir=upload_dir))
    await ci.execute(message, files)
    assert ci._prepare_uploaded_files(files) == [{"filename": "{a}.csv", "file_path": path}]
    system, user = model.invocations[0][0]
    assert user.text == message and system.text.split("\n")[:6] == [
        DEFAULT, "", "Available files:", f"- {{a}}.csv [file_path: {path}]", "",
        "These files are accessible in the code execution environment.",
    ]
    assert system.text.endswith("environment." + _FORMAT_INSTRUCTIONS)


@pytest.mark.parametrize("bad", [None, 12, b"[a](sandbox:/b)"])
def test_unparseable_response_gives_no_paths_and_logs(bad, caplog):
    ci, _ = make([])
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert ci._parse_output_files_from_response(bad) == []
    warning, debug = logged(caplog)
    assert warning.levelno == logging.WARNING and warning.exc_info is None
    assert warning.getMessage().startswith("Failed to parse output files from response: ")
    assert (debug.levelno, debug.getMessage()) == (logging.DEBUG, f"Response text: {bad}")


async def test_downloads_in_link_order_skipping_failures(caplog):
    files = {"/f/a.csv": b"a", "/f/b.png": b"b", "/f/gone": None, "/f/empty": b"", "/f/bad": OSError("disk on fire")}
    paths = ["/f/a.csv", "/f/bad", "/f/gone", "/f/empty", "/f/", "/f/b.png", "/f/a.csv"]
    answer = " ".join(f"[l](sandbox:{p})" for p in paths)
    sandbox = ScriptedSandbox(files=files)
    ci, _ = make([reply("", code_call("1", "x")), reply("", code_call("2", "y")), reply(answer)], sandbox)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out = await ci.execute("go")
    first, last = out.code_exec_results
    assert first.output == ["ran x\n"] and last.output[0] == "ran y\n"
    assert [(a.filename, a.data) for a in last.output[1:]] == [("a.csv", b"a"), ("b.png", b"b"), ("a.csv", b"a")]
    assert sandbox.downloads == [p for p in paths if p != "/f/"]
    assert [r.getMessage() for r in logged(caplog)] == ["Error downloading file /f/bad: disk on fire"]
