"""The request loop of SandboxCodeInterpreter: turns, replies, records, files and failures."""

import asyncio
import logging

import pytest
from vorn_inference.schema import Attachment, Role, ToolResult

from tests.interpreter.scripted_model import ScriptedLMInvoker, ScriptedSandbox, Unprintable, code_call, ok, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import (
    _FORMAT_INSTRUCTIONS, SandboxCodeInterpreter,
)  # fmt: skip
from vorn_tools.code_interpreter.errors import CodeInterpreterError, SandboxExecutionError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

LOGGER = "vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter"
SECRET = "sk-test-Zq8v3Lr0Wm2Xp9Ty"
ERROR = "Error executing tool: "
UNPRINTABLE = "tests.interpreter.scripted_model.Unprintable"


def make(steps, sandbox=None):
    model = ScriptedLMInvoker(steps)
    return SandboxCodeInterpreter(sandbox or ScriptedSandbox(), model), model


def results_of(model, turn):
    """The tool results the model had seen after assistant turn `turn` (0-based), as (id, output)."""
    messages = model.invocations[turn + 1][0]
    return [(m.contents[0].id, m.contents[0].output) for m in messages if isinstance(m.contents[0], ToolResult)]


@pytest.mark.parametrize("returned", [reply("Hi [c](sandbox:/files/c.svg)"), "Hi [c](sandbox:/files/c.svg)", None])
async def test_answer_without_code_records_downloads_nothing(returned):
    # A result that is not an LMOutput is used by its text form; with no code record the
    # linked files have nowhere to go.
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    ci, model = make([returned], sandbox)
    out = await ci.execute("hi", temperature=0.2)
    assert (out.text, out.code_exec_results, sandbox.downloads) == (str(getattr(returned, "text", returned)), [], [])
    ((prompt, kwargs),) = model.invocations
    assert kwargs == {"temperature": 0.2} and [m.role for m in prompt] == [Role.SYSTEM, Role.USER]
    # The instructions' example link is one the parser accepts.
    assert ci._parse_output_files_from_response(_FORMAT_INSTRUCTIONS) == ["/files/filename.csv"]


async def test_loop_turns_replies_and_records():
    sandbox = ScriptedSandbox([ok("1\n"), ok("2\n"), ok("")])
    steps = [reply("", code_call("a", "print(1)"), code_call("b", "print(2)", timeout=5)),
             reply("thinking [x](sandbox:/files/x)", code_call("c", "x = 3")), reply("done")]  # fmt: skip
    ci, model = make(steps, sandbox)
    out = await ci.execute("go", seed=1)
    assert out.text == "done" and sandbox.downloads == []  # only the final answer's links count
    assert [(r.id, r.code, r.output) for r in out.code_exec_results] == [
        ("a", "print(1)", ["1\n"]), ("b", "print(2)", ["2\n"]), ("c", "x = 3", [])
    ]  # fmt: skip
    turns = model.invocations[2][0]
    assert [m.role.value for m in turns] == "system user assistant user user assistant user".split()
    assert [c.id for c in turns[2].contents] == ["a", "b"] and turns[5].contents[0] == "thinking [x](sandbox:/files/x)"
    assert results_of(model, 1) == [("a", "1"), ("b", "2"), ("c", "Code executed successfully (no output)")]
    assert [kw for _, kw in model.invocations] == [{"seed": 1}] * 3
    assert [kw["timeout"] for _, kw in sandbox.executions] == [30, 5, 30]


async def test_calls_that_raise_or_are_rejected_keep_records_aligned_and_masked():
    register_secret(SECRET)
    sandbox = ScriptedSandbox(
        [SandboxExecutionError("upload failed", stage=Stage.EXECUTION), ConnectionError(f"token {SECRET}"),
         Unprintable(), ok("4\n")]
    )  # fmt: skip
    # "c" lacks its code and "e" sends a number: the tool refuses both; "x" names another tool.
    calls = [code_call("a", "1"), code_call("b", "2"), ("c", "execute_code_tool", {"timeout": 5}), ("x", "other", {}),
             ("e", "execute_code_tool", {"code": 7}), code_call("f", "5"), code_call("d", "4")]  # fmt: skip
    ci, model = make([reply("", *calls), reply("end")], sandbox)
    out = await ci.execute("go")
    replies = dict(results_of(model, 0))
    assert [replies[k] for k in "abfd"] == [ERROR + "upload failed", ERROR + "token [SECRET]", ERROR + UNPRINTABLE, "4"]
    assert all(replies[k].startswith(ERROR) and "code" in replies[k] for k in "ce")
    assert [(r.id, r.code, r.output) for r in out.code_exec_results] == [
        ("a", "1", [replies["a"]]), ("b", "2", [replies["b"]]), ("c", None, [replies["c"]]),
        ("e", "7", [replies["e"]]), ("f", "5", [replies["f"]]), ("d", "4", ["4\n"]),
    ]  # fmt: skip


@pytest.mark.parametrize(
    ("error", "text", "message", "stage"),
    [
        (RuntimeError(f"upstream refused key {SECRET}"), "LM invocation failed: upstream refused key [SECRET]",
         "Full error details: upstream refused key [SECRET]", None),
        (CodeInterpreterError("download broke", stage=Stage.DOWNLOAD), "download broke", "download broke", "download"),
        # An exception whose __str__ fails still yields an answer: it never raises out of execute.
        (Unprintable(), f"LM invocation failed: {UNPRINTABLE}", f"Full error details: {UNPRINTABLE}", None),
    ],
)  # fmt: skip
async def test_a_failure_in_the_loop_is_logged_masked_and_returned_as_the_answer(caplog, error, text, message, stage):
    register_secret(SECRET)
    ci, _ = make([reply("", code_call("a", "1")), error])
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        out = await ci.execute("go")
    assert (out.text, out.code_exec_results) == (text, [])
    (record,) = [r for r in caplog.records if r.name == LOGGER]
    assert (record.getMessage(), getattr(record, "error_code", None)) == (message, stage)
    assert SECRET not in record.exc_text


async def test_cancellation_during_a_tool_run_leaves_execute():
    class Hanging(ScriptedSandbox):
        async def execute_code(self, code, **kw):
            started.set()
            await asyncio.sleep(3600)

    started = asyncio.Event()
    task = asyncio.create_task(make([reply("", code_call("a", "1"))], Hanging())[0].execute("go"))
    await asyncio.wait_for(started.wait(), 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize(("upload_dir", "path"), [("/files", "/files/{a}.csv"), ("/tmp/files", "/tmp/files/{a}.csv")])
async def test_model_is_told_where_input_files_are_and_braces_stay_literal(upload_dir, path):
    message = 'print(f"{x!r}") and {"a": 1} and }{ {0}'
    ci, model = make([reply("ok")], ScriptedSandbox(upload_dir=upload_dir))
    await ci.execute(message, [Attachment.from_bytes(bytes=b"a\n", filename="{a}.csv")])
    system, user = model.invocations[0][0]
    assert user.text == message
    assert system.text.split("\n")[2:4] == ["Available files:", f"- {{a}}.csv [file_path: {path}]"]
    assert system.text.endswith("environment." + _FORMAT_INSTRUCTIONS)


async def test_unknown_tools_get_a_result_and_files_go_to_the_last_code_record(caplog):
    files = {"/f/a.csv": b"a", "/f/b.png": b"b", "/f/gone": None, "/f/empty": b"", "/f/bad": OSError("disk on fire"),
             "/f/odd": Unprintable()}  # fmt: skip
    # Each distinct path is downloaded and attached once, however often or however spelled.
    paths = ["/f/a.csv", "/f/bad", "/f/gone", "/f/a.csv", "/f/empty", "/f/", "/f/odd", "/f/b.png", "/f/./a.csv"]
    sandbox = ScriptedSandbox(files=files)
    answer = " ".join(f"[l](sandbox:{p})" for p in paths)
    steps = [reply("", ("u1", "web_search", {}), code_call("1", "x")),
             reply("", code_call("2", "y"), ("u2", "other", {})), reply(answer)]  # fmt: skip
    ci, model = make(steps, sandbox)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out = await ci.execute("go")
    # Every call of an assistant turn gets its result, an unknown tool included.
    assert results_of(model, 1) == [("u1", ERROR + "unknown tool 'web_search'"), ("1", "ran x"), ("2", "ran y"),
                                    ("u2", ERROR + "unknown tool 'other'")]  # fmt: skip
    # The last call named another tool: the files still go to the last code record, in link order.
    first, last = out.code_exec_results
    assert first.output == ["ran x\n"] and last.output[0] == "ran y\n"
    assert [(a.filename, a.data) for a in last.output[1:]] == [("a.csv", b"a"), ("b.png", b"b")]
    # A failed download is logged and skipped; a missing or empty file is skipped silently.
    assert sandbox.downloads == ["/f/a.csv", "/f/bad", "/f/gone", "/f/empty", "/f/odd", "/f/b.png"]
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [
        "Error downloading file /f/bad: disk on fire", f"Error downloading file /f/odd: {UNPRINTABLE}"
    ]


async def test_output_downloads_are_bounded(caplog):
    # 50 links to one file make one download; past 20 distinct files the rest are skipped, with a warning.
    paths = ["/files/big.bin"] * 50 + [f"/files/{i}.txt" for i in range(25)] * 2
    sandbox = ScriptedSandbox(files=dict.fromkeys(paths, b"x"))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        attached = await make([], sandbox)[0]._download_output_files(paths)
    assert sandbox.downloads == paths[:1] + paths[50:69] and len(attached) == 20
    assert [r.getMessage() for r in caplog.records] == [
        "The answer links more than 20 files; only the first 20 are downloaded"
    ]
