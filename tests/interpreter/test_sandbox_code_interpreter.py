"""The request loop of SandboxCodeInterpreter, its files, links, downloads and records."""

import asyncio
import logging

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.prompt_builder.prompt_builder import PromptBuilder
from vorn_inference.schema import Attachment, LMOutput, Role, ToolCall, ToolResult

from tests.interpreter.scripted_model import ScriptedSandbox, ok
from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import (
    _FORMAT_INSTRUCTIONS,
    SandboxCodeInterpreter,
    _escape_template,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.errors import CodeInterpreterError, SandboxExecutionError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

LOGGER = "vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter"
SECRET = "sk-test-Zq8v3Lr0Wm2Xp9Ty"


def make(steps, sandbox=None):
    model = ScriptedLMInvoker(steps)
    return SandboxCodeInterpreter(sandbox or ScriptedSandbox(), model), model


def results_of(model, turn):
    """The tool-result turns that followed assistant turn `turn` (0-based), as (id, output)."""
    messages = model.invocations[turn + 1][0]
    return [(m.contents[0].id, m.contents[0].output) for m in messages if m.role == Role.USER and isinstance(m.contents[0], ToolResult)]


def test_constructor_refuses_a_non_invoker_and_accepts_any_sandbox():
    with pytest.raises(TypeError, match="^lm_invoker must be a BaseLMInvoker instance$"):
        SandboxCodeInterpreter(ScriptedSandbox(), object())
    ci = SandboxCodeInterpreter("anything", ScriptedLMInvoker([]))
    assert ci.sandbox == "anything"


async def test_answer_without_tool_calls():
    ci, model = make([reply("Hello!")])
    out = await ci.execute("hi", temperature=0.2)
    assert (out.text, out.code_exec_results, out.tool_calls) == ("Hello!", [], [])
    assert len(model.invocations) == 1
    prompt, kwargs = model.invocations[0]
    assert kwargs == {"temperature": 0.2}
    assert [m.role for m in prompt] == [Role.SYSTEM, Role.USER]
    assert prompt[0].text.endswith(_FORMAT_INSTRUCTIONS) and prompt[1].text == "hi"
    assert [t.name for t in model.tools_seen[0]] == ["execute_code_tool"]


@pytest.mark.parametrize(("returned", "text"), [("abc", "abc"), (None, "None"), (42, "42")])
async def test_non_output_results_become_their_text(returned, text):
    ci, model = make([returned])
    out = await ci.execute("hi")
    assert out.text == text and out.code_exec_results == []


async def test_loop_turns_replies_and_records():
    sandbox = ScriptedSandbox([ok("1\n"), ok("2\n"), ok("")])
    ci, model = make(
        [
            reply("", code_call("a", "print(1)"), code_call("b", "print(2)")),
            reply("thinking", code_call("c", "x = 3")),
            reply("done"),
        ],
        sandbox,
    )
    out = await ci.execute("go", seed=1)
    assert out.text == "done"
    assert [(r.id, r.code, r.output) for r in out.code_exec_results] == [
        ("a", "print(1)", ["1\n"]),
        ("b", "print(2)", ["2\n"]),
        ("c", "x = 3", []),
    ]
    first_turn = model.invocations[1][0][2]
    assert first_turn.role == Role.ASSISTANT and [c.id for c in first_turn.contents] == ["a", "b"]
    assert results_of(model, 0) == [("a", "1"), ("b", "2")]
    second_turn = model.invocations[2][0][5]
    assert second_turn.contents[0] == "thinking" and second_turn.contents[1].id == "c"
    assert results_of(model, 1)[-1] == ("c", "Code executed successfully (no output)")
    assert [kw for _, kw in model.invocations] == [{"seed": 1}] * 3
    assert [code for code, _ in sandbox.executions] == ["print(1)", "print(2)", "x = 3"]


async def test_unknown_tool_gets_a_result_turn_and_no_record():
    ci, model = make([reply("", ("u1", "web_search", {"q": "x"}), code_call("a", "print(1)")), reply("ok")])
    out = await ci.execute("go")
    assert results_of(model, 0) == [("u1", "Error executing tool: unknown tool 'web_search'"), ("a", "ran print(1)")]
    assert [r.id for r in out.code_exec_results] == ["a"]


async def test_calls_that_raise_or_are_rejected_keep_records_aligned():
    sandbox = ScriptedSandbox([SandboxExecutionError("upload failed", stage=Stage.EXECUTION), ok("second\n")])
    ci, model = make(
        [
            reply("", code_call("a", "one()"), ("b", "execute_code_tool", {"timeout": 5}), code_call("c", "two()")),
            reply("end"),
        ],
        sandbox,
    )
    out = await ci.execute("go")
    replies = dict(results_of(model, 0))
    assert replies["a"] == "Error executing tool: upload failed"
    assert replies["b"].startswith("Error executing tool: ") and "code" in replies["b"]
    assert replies["c"] == "second"
    records = {r.id: r for r in out.code_exec_results}
    assert records["a"].output == [replies["a"]]
    assert records["b"].code is None and records["b"].output == [replies["b"]]
    assert records["c"].output == ["second\n"]


async def test_missing_timeout_reaches_the_sandbox_as_30():
    sandbox = ScriptedSandbox()
    ci, _ = make([reply("", ("a", "execute_code_tool", {"code": "1"})), reply("ok")], sandbox)
    await ci.execute("go")
    assert sandbox.executions[0][1]["timeout"] == 30


async def test_twenty_iterations_run_until_the_model_stops():
    steps = [reply("", code_call(str(i), f"print({i})")) for i in range(20)] + [reply("fin")]
    ci, model = make(steps)
    out = await ci.execute("go")
    assert len(model.invocations) == 21 and len(out.code_exec_results) == 20
    assert len(model.invocations[-1][0]) == 2 + 20 * 2


async def test_iteration_with_only_other_tools_invokes_again():
    ci, model = make([reply("", ("x", "other", {})), reply("fin")])
    out = await ci.execute("go")
    assert out.text == "fin" and out.code_exec_results == []
    assert [m.role for m in model.invocations[1][0]] == [Role.SYSTEM, Role.USER, Role.ASSISTANT, Role.USER]


async def test_invoker_failure_is_the_answer_masked_and_logged(caplog):
    register_secret(SECRET)
    ci, _ = make([reply("", code_call("a", "1")), RuntimeError(f"upstream refused key {SECRET}")])
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        out = await ci.execute("go")
    assert out.text == "LM invocation failed: upstream refused key [SECRET]"
    assert out.code_exec_results == [] and out.tool_calls == []
    (record,) = [r for r in caplog.records if r.name == LOGGER]
    assert record.getMessage() == "Full error details: upstream refused key [SECRET]"
    assert not hasattr(record, "error_code") and SECRET not in (record.exc_text or "")


async def test_tool_failure_reply_is_masked():
    register_secret(SECRET)
    ci, model = make([reply("", code_call("a", "1")), reply("ok")], ScriptedSandbox([ConnectionError(f"token {SECRET}")]))
    await ci.execute("go")
    assert results_of(model, 0) == [("a", "Error executing tool: token [SECRET]")]


async def test_code_interpreter_error_keeps_its_stage_in_the_log(caplog):
    class Failing(SandboxCodeInterpreter):
        async def _download_output_files(self, output_files_data):
            raise CodeInterpreterError("download broke", stage=Stage.DOWNLOAD)

    model = ScriptedLMInvoker([reply("[f](sandbox:/files/a.txt)", code_call("a", "1")), reply("[f](sandbox:/files/a.txt)")])
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        out = await Failing(ScriptedSandbox(), model).execute("go")
    assert out.text == "download broke"
    (record,) = [r for r in caplog.records if r.name == LOGGER]
    assert record.getMessage() == "download broke" and record.error_code == "download"


async def test_cancellation_during_a_tool_run_leaves_execute():
    class Hanging(ScriptedSandbox):
        async def execute_code(self, code, **kw):
            await asyncio.sleep(3600)

    ci, _ = make([reply("", code_call("a", "1"))], Hanging())
    task = asyncio.create_task(ci.execute("go"))
    await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def test_braces_in_message_and_file_names_reach_the_model_literally():
    message = 'print(f"{x!r}") and {"a": 1} and }{'
    files = [Attachment.from_bytes(bytes=b"1", filename="{weird}.csv")]
    ci, model = make([reply("ok")])
    out = await ci.execute(message, files)
    assert out.text == "ok"
    system, user = model.invocations[0][0]
    assert user.text == message
    assert "- {weird}.csv [file_path: /files/{weird}.csv]" in system.text


@pytest.mark.parametrize(
    ("upload_dir", "path"),
    [("/files", "/files/sales.csv"), ("/tmp/files", "/tmp/files/sales.csv"), ("/data/", "/data/sales.csv"), (None, "sales.csv")],
)
async def test_model_is_told_where_the_sandbox_stores_input_files(upload_dir, path):
    files = [Attachment.from_bytes(bytes=b"a\n", filename="sales.csv")]
    ci, model = make([reply("ok")], ScriptedSandbox(upload_dir=upload_dir))
    await ci.execute("go", files)
    assert ci._prepare_uploaded_files(files) == [{"filename": "sales.csv", "file_path": path}]
    assert f"- sales.csv [file_path: {path}]" in model.invocations[0][0][0].text


def test_system_message_for_one_file_line_by_line():
    ci, _ = make([])
    items = ci._prepare_uploaded_files([Attachment.from_bytes(bytes=b"", filename="sales.csv")])
    assert ci._build_system_message(items).split("\n") == [
        "You are a helpful assistant with code execution capabilities.",
        "",
        "Available files:",
        "- sales.csv [file_path: /files/sales.csv]",
        "",
        "These files are accessible in the code execution environment.",
        "",
        "If you create any files during code execution, provide download links in this format:",
        "[Download filename.csv](sandbox:/files/filename.csv)",
        "",
        "Only include files you actually created or modified.",
    ]
    assert len(_FORMAT_INSTRUCTIONS) == 194
    assert ci._build_system_message() == ci._build_system_message([]) == (
        "You are a helpful assistant with code execution capabilities." + _FORMAT_INSTRUCTIONS
    )
    assert ci._prepare_uploaded_files(None) == ci._prepare_uploaded_files([]) == []


@pytest.mark.parametrize("bad", [None, 12, b"[a](sandbox:/b)"])
def test_unparseable_response_gives_no_paths_and_logs(bad, caplog):
    ci, _ = make([])
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert ci._parse_output_files_from_response(bad) == []
    warning, debug = [r for r in caplog.records if r.name == LOGGER]
    assert warning.levelno == logging.WARNING
    assert warning.getMessage().startswith("Failed to parse output files from response: ")
    assert (debug.levelno, debug.getMessage()) == (logging.DEBUG, f"Response text: {bad}")


async def test_downloads_in_link_order_skipping_failures(caplog):
    files = {
        "/files/a.csv": b"a",
        "/files/b.png": b"b",
        "/files/gone.txt": None,
        "/files/empty.txt": b"",
        "/files/bad.bin": OSError("disk on fire"),
    }
    sandbox = ScriptedSandbox(files=files)
    answer = (
        "[A](sandbox:/files/a.csv) [bad](sandbox:/files/bad.bin) [gone](sandbox:/files/gone.txt) "
        "[empty](sandbox:/files/empty.txt) [dir](sandbox:/files/) [B](sandbox:/files/b.png) [A2](sandbox:/files/a.csv)"
    )
    ci, _ = make([reply("", code_call("1", "x")), reply("", code_call("2", "y")), reply(answer)], sandbox)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out = await ci.execute("go")
    first, last = out.code_exec_results
    assert first.output == ["ran x\n"]
    assert last.output[0] == "ran y\n"
    assert [(a.filename, a.data) for a in last.output[1:]] == [("a.csv", b"a"), ("b.png", b"b"), ("a.csv", b"a")]
    assert "/files/" not in sandbox.downloads
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == ["Error downloading file /files/bad.bin: disk on fire"]


async def test_files_attach_to_the_last_code_record_even_after_another_tool():
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    ci, _ = make(
        [reply("", code_call("1", "x")), reply("", ("2", "other", {})), reply("[c](sandbox:/files/c.svg)")], sandbox
    )
    out = await ci.execute("go")
    (record,) = out.code_exec_results
    assert record.id == "1" and [a.filename for a in record.output[1:]] == ["c.svg"]


async def test_nothing_is_downloaded_without_a_code_record():
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    ci, _ = make([reply("", ("2", "other", {})), reply("[c](sandbox:/files/c.svg)")], sandbox)
    out = await ci.execute("go")
    assert out.code_exec_results == [] and sandbox.downloads == []


def test_records_pair_by_order_of_code_calls():
    ci, _ = make([])
    calls = [
        ToolCall(id="1", name="execute_code_tool", args={"code": "a"}),
        ToolCall(id="x", name="other", args={}),
        ToolCall(id="2", name="execute_code_tool", args={}),
        ToolCall(id="3", name="execute_code_tool", args={"code": 7}),
    ]
    chart = Attachment.from_bytes(bytes=b"c", filename="c.png")
    records = ci._convert_tool_calls_to_code_exec_results(calls, ["A", "", "C"], [chart])
    assert [(r.id, r.code, r.output) for r in records] == [("1", "a", ["A"]), ("2", None, []), ("3", "7", ["C", chart])]
    assert ci._convert_tool_calls_to_code_exec_results([], ["A"], [chart]) == []


async def test_results_from_every_status_reach_the_record():
    timeout = ExecutionResult.create(ExecutionStatus.TIMEOUT, "c", error="Execution timed out after 1 seconds")
    ci, model = make([reply("", code_call("a", "sleep")), reply("gave up")], ScriptedSandbox([timeout]))
    out = await ci.execute("go")
    assert results_of(model, 0) == [("a", "Error: Execution timed out after 1 seconds")]
    assert out.code_exec_results[0].output == ["Execution timed out after 1 seconds"]


async def test_prompt_is_not_mutated_by_the_loop():
    seen = []

    class Spy(BaseLMInvoker):
        async def _invoke(self, messages, **kwargs):
            seen.append(messages)
            out = LMOutput()
            if len(seen) == 1:
                out.add_tool_call(ToolCall(id="a", name="execute_code_tool", args={"code": "1"}))
            return out

    await SandboxCodeInterpreter(ScriptedSandbox(), Spy()).execute("go")
    assert [len(m) for m in seen] == [2, 4]


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from(list("{}[]()!:0ax \n\\'\"é"))))
def test_any_text_survives_the_prompt_builder_literally(text):
    built = PromptBuilder(system_template=_escape_template(text), user_template=_escape_template(text)).format({})
    assert [m.text for m in built] == ([text, text] if text else [text])
