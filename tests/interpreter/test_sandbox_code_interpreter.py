# The code interpreter: its request loop, records and files, the tool it offers, and the deprecated base.
import abc
import asyncio
import inspect
import logging
import warnings
from types import SimpleNamespace

import pytest
from vorn_inference.schema import Attachment, ToolResult

from tests.foundation.conftest import Unprintable
from tests.interpreter.scripted_model import ScriptedLMInvoker, ScriptedSandbox, code_call, ok, reply
from vorn_tools.code_interpreter.code_interpreter import sandbox_code_interpreter as sci
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.errors import Stage
from vorn_tools.code_interpreter.redaction import register_secret

LOGGER = sci.__name__
SECRET = "sk-test-Zq8v3Lr0Wm2Xp9Ty"
ERROR, UNPRINTABLE = "Error executing tool: ", "tests.foundation.conftest.Unprintable"


async def run(caplog, steps, sandbox=None, *args, **kwargs):
    # Answer "go" with a scripted model; return the output, the model, and the interpreter's log records.
    register_secret(SECRET)
    ci = sci.SandboxCodeInterpreter(sandbox or ScriptedSandbox(), model := ScriptedLMInvoker(steps))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out = await ci.execute(*(args or ["go"]), **kwargs)
    return out, model, [record for record in caplog.records if record.name == LOGGER]


async def test_loop_replies_records_and_output_files(caplog):
    files = {"/f/a.csv": b"a", "/f/b.png": b"b", "/f/empty": b"", "/f/bad": OSError(SECRET), "/f/u": Unprintable()}
    # Each distinct path is downloaded once, however spelled; only the final answer's links count.
    links = ("/f/a.csv", "/f/bad", "/f/empty", "/f//a.csv", "/f/", "/f/u", "/f/b.png")
    answer = " ".join(f"[l](sandbox:{p})" for p in links)
    failed = ExecutionResult.create(ExecutionStatus.ERROR, "5", "out\n", "warn", "Boom")
    sandbox = ScriptedSandbox([ok(" 1\n"), OSError(f"token {SECRET}"), Unprintable(), ok(""), failed], files, "/up")
    # "e" sends a number for the code, which the tool refuses; "u" and "v" name other tools. The model
    # cannot lift the time limit (0 and below).
    first = [code_call("a", "1", timeout=5), ("u", "w", {}), *map(code_call, "bce", ["2", "3", 7])]
    second = [code_call("d", "4", timeout=0), code_call("f", "5", timeout=-5), ("v", "other", {})]
    steps = [reply("see [x](sandbox:/f/x)", *first), reply("", *second), answer]
    message, upload = 'print(f"{x!r}") and }{ {0}', Attachment.from_bytes(bytes=b"", filename="{a}.csv")
    out, model, log = await run(caplog, steps, sandbox, message, [upload], seed=1)
    system, user, assistant, *results = model.invocations[2][0]
    assert (user.text, system.text.split("\n")[3]) == (message, "- {a}.csv [file_path: /up/{a}.csv]")
    assert system.text.endswith("environment." + sci._FORMAT_INSTRUCTIONS)
    # A reply's text leads its tool calls, and an empty text is left out.
    assert [[getattr(c, "id", c) for c in m.contents] for m in (assistant, results[5])] == [[steps[0].text, *"aubce"], [*"dfv"]]
    assert [(len(m), kw) for m, kw in model.invocations] == [(2, {"seed": 1}), (8, {"seed": 1}), (12, {"seed": 1})]
    replies = [(m.contents[0].id, m.contents[0].output) for m in results if isinstance(m.contents[0], ToolResult)]
    assert (rejected := replies[4][1]).startswith(ERROR) and "code" in rejected
    assert replies == [("a", "1"), ("u", ERROR + "unknown tool 'w'"), ("b", ERROR + "token [SECRET]"),
                       ("c", ERROR + UNPRINTABLE), ("e", rejected), ("d", "Code executed successfully (no output)"),
                       ("f", "Error: Boom"), ("v", ERROR + "unknown tool 'other'")]  # fmt: skip
    # Records keep the text as printed; the files go to the last code record, though another tool came after it.
    records = [(r.id, r.code, [getattr(x, "data", x) for x in r.output]) for r in out.code_exec_results]
    assert records == [("a", "1", [" 1\n"]), ("b", "2", [replies[2][1]]), ("c", "3", [replies[3][1]]),
                       ("e", "7", [rejected]), ("d", "4", []), ("f", "5", ["Boom", b"a", b"b"])]  # fmt: skip
    assert [x.filename for x in out.attachments] == ["a.csv", "b.png"] and out.text == answer
    assert sandbox.executions == [(code, limit, [upload]) for code, limit in zip("12345", [5, 30, 30, 30, 30])]
    # A failed download is logged and skipped; an empty file is skipped silently.
    assert sandbox.downloads == ["/f/a.csv", "/f/bad", "/f/empty", "/f/u", "/f/b.png"]
    assert [r.getMessage() for r in log] == ["Error downloading file /f/bad: [SECRET]",
                                            f"Error downloading file /f/u: {UNPRINTABLE}"]  # fmt: skip


@pytest.mark.parametrize(("error", "text", "message", "stage"), [
    (RuntimeError(f"key {SECRET}"), "LM invocation failed: key [SECRET]", "Full error details: key [SECRET]", None),
    (sci.CodeInterpreterError("download broke", stage=Stage.DOWNLOAD), "download broke", "download broke", "download"),
    (Unprintable(), f"LM invocation failed: {UNPRINTABLE}", f"Full error details: {UNPRINTABLE}", None),
])  # fmt: skip
async def test_a_failure_is_logged_masked_and_returned_as_the_answer(caplog, error, text, message, stage):
    out, _, (record,) = await run(caplog, [reply("", code_call("a", "1")), error])
    assert (out.text, out.code_exec_results, record.getMessage()) == (text, [], message)
    assert getattr(record, "error_code", None) == stage and SECRET not in record.exc_text
    with pytest.raises(asyncio.CancelledError):  # cancellation is no failure: it propagates
        await run(caplog, [reply("", code_call("a", "1"))], ScriptedSandbox([asyncio.CancelledError()]))


async def test_output_files_need_a_code_record_and_are_bounded(caplog):
    sandbox = ScriptedSandbox(files={"/files/c.svg": b"<svg/>"})
    out, _, _ = await run(caplog, [reply("Hi [c](sandbox:/files/c.svg)")], sandbox)
    assert (out.text, out.code_exec_results, sandbox.downloads) == ("Hi [c](sandbox:/files/c.svg)", [], [])
    ci = sci.SandboxCodeInterpreter(sandbox, ScriptedLMInvoker([]))
    assert ci._build_system_message([{"file_id": 7}, {"filename": "b"}]).split("\n")[3:5] == ["- unknown [file_id: 7]", "- b"]
    # 50 links to one file make one download; past 20 distinct files the rest are skipped, with a warning.
    paths = ["/files/big.bin"] * 50 + [f"/files/{i}.txt" for i in range(25)] * 2
    steps = [reply("", code_call("a", "1")), " ".join(f"[l](sandbox:{p})" for p in paths)]
    # The call's result cannot be read: what the tool recorded before it failed gives way to the error.
    broken = SimpleNamespace(text="partial", status=None)
    out, _, (warning,) = await run(caplog, steps, sandbox := ScriptedSandbox([broken], dict.fromkeys(paths, b"x")))
    assert (len(out.attachments), sandbox.downloads) == (20, paths[:1] + paths[50:69])
    assert out.code_exec_results[0].output[0] == ERROR + "'NoneType' object has no attribute 'value'"
    assert warning.getMessage() == "The answer links more than 20 files; only the first 20 are downloaded"


def test_only_classes_that_bypass_sandbox_code_interpreter_warn_at_their_class_statement():
    class Meta(abc.ABCMeta):  # a custom metaclass adds frames between the statement and the hook
        def __new__(mcls, *args, **kw):
            return super().__new__(mcls, *args, **kw)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        class Mine(sci.BaseCodeInterpreter, metaclass=Meta):  # fmt: skip
            def __init_subclass__(cls, **kw):
                super().__init_subclass__(**kw)

        class Leaf(Mine): ...

        warnings.simplefilter("error")  # the recommended class, and classes built on it, stay clean

        class Mixed(sci.SandboxCodeInterpreter, Leaf): ...

    assert [(str(w.message).split(" subclasses ")[0], w.category, w.filename, w.lineno) for w in caught] == [
        ("Mine", DeprecationWarning, __file__, line), ("Leaf", DeprecationWarning, __file__, line + 4)
    ]  # fmt: skip


async def test_the_tool_schema_converts_the_model_timeout_and_refuses_a_bool(caplog):
    limits = ["5", 2.0, True, False, 2.5, None]
    steps = [reply("", *(code_call(str(i), str(i), timeout=t) for i, t in enumerate(limits))), "done"]
    _, model, _ = await run(caplog, steps, sandbox := ScriptedSandbox())
    assert [limit for _, limit, _ in sandbox.executions] == [5, 2]
    refused = [m.contents[0].output for m in model.invocations[1][0][3:]][2:]
    assert [r.startswith(ERROR) and "timeout" in r for r in refused] == [True] * 4
