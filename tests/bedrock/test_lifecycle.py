"""Lazy session start, teardown and file download of ``BedrockAgentCoreSandbox`` against the stand-in."""

from __future__ import annotations

import asyncio
import logging
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from vorn_inference.schema import Attachment

from tests.fakes.agentcore_fixtures import CREDENTIALS
from tests.fakes.agentcore_server import AgentCoreStandIn
from tests.fakes.standin import DEFAULT_SIGNALS
from tests.opensandbox.conftest import eventually
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxExecutionError, SandboxNotInitializedError, SandboxStartError, Stage


async def test_the_first_execution_starts_one_session_and_terminate_forgets_it(make_sandbox, agentcore, spans,
                                                                                 caplog) -> None:
    sandbox = make_sandbox(sandbox_timeout=120)
    with caplog.at_level(logging.WARNING):
        await sandbox.set_timeout(300)  # a session's lifetime is fixed: the warning names where it is given
    assert caplog.messages == ["set_timeout(300) has no effect on BedrockAgentCoreSandbox. "
                               "Pass sandbox_timeout to the constructor instead."]
    assert (sandbox.sandbox_id, agentcore.calls["start"]) == (None, 0)
    with pytest.raises(SandboxNotInitializedError, match="^Sandbox is not started$"):
        await sandbox.download_file("x")
    await sandbox.execute_code("pass")
    await sandbox.execute_command("true")
    first = sandbox.sandbox_id
    [(_, start)] = [entry for entry in agentcore.requests if entry[0] == "start"]
    assert re.fullmatch(r"bedrock-sandbox-\d+", start["name"]) and start["sessionTimeoutSeconds"] == 120
    assert agentcore.live_sessions() == [first]
    assert sandbox._client.meta.config.read_timeout > sandbox.session_timeout  # a run may last the session
    [create] = [span for span in spans.get_finished_spans() if span.name == "zib_sandbox.sandbox.create"]
    assert dict(create.attributes) == {"zib_sandbox.backend": "bedrock", "zib_sandbox.sandbox_id": first}
    await sandbox.terminate()
    assert (sandbox.sandbox_id, agentcore.live_sessions()) == (None, [])
    await sandbox.execute_code("pass")
    assert sandbox.sandbox_id not in (None, first) and agentcore.calls["start"] == 2


_SECRET, _TOKEN = CREDENTIALS["aws_secret_access_key"], "IQoJb3JpZ2luX2VjEHoaCXVzLWVhc3QtMSJGMEQCIFAKE"


@pytest.mark.parametrize(
    ("fault", "quoted"),
    [
        (lambda s: s.fail("start", 403, message="denied"), "denied"),
        (lambda s: s.fail("start", 500, message=f"denied: no match for {_SECRET}"), "denied: no match for "),
        (lambda s: s.fail("start", 403, message=f"denied: token {_TOKEN} expired"), "denied: token "),
        # An answer naming no usable session: the session it started cannot be named, so not stopped.
        (lambda s: s.rewrite("start", lambda a: {**a, "sessionId": ""}),
         "StartCodeInterpreterSession answer: sessionId is missing or empty"),
        (lambda s: s.rewrite("start", lambda a: {**a, "sessionId": 5}),
         "StartCodeInterpreterSession answer: sessionId is a int, not a str"),
    ],
)
async def test_a_failed_start_is_rolled_back_and_tried_again_next_time(make_sandbox, agentcore, caplog, fault,
                                                                       quoted) -> None:
    sandbox = make_sandbox(aioboto3_session_kwargs={"aws_session_token": _TOKEN})
    fault(agentcore)
    with pytest.raises(SandboxStartError, match="^Failed to start Bedrock session: ") as info:
        await sandbox.execute_code("pass")
    assert info.value.stage is Stage.SESSION_START and info.value.__cause__ is not None
    records = [f"{r.getMessage()} {r.exc_text}" for r in caplog.records if r.name.startswith("vorn_tools")]
    assert quoted in str(info.value) and records
    assert not [text for text in (str(info.value), *records) for secret in (_SECRET, _TOKEN) if secret in text]
    assert (sandbox._client_context, sandbox._client, sandbox._is_started) == (None, None, False)
    assert [r.error_code for r in caplog.records if r.levelno == logging.ERROR] == ["session_start"]
    agentcore.stop_sessions()
    assert (await sandbox.execute_code("print(1)")).stdout == "1\n"


async def test_concurrent_first_calls_share_one_start_and_its_install(make_sandbox, agentcore) -> None:
    sandbox = make_sandbox(additional_packages=["pip"])  # already installed: pip succeeds offline
    agentcore.stall("executeCode", 1.5)  # holds the install in flight

    async def during_install():
        for _ in range(1000):
            if agentcore.calls["executeCode"]:
                break
            await asyncio.sleep(0.01)
        return await sandbox.execute_command("echo 3")

    # One gather awaited at once: an interrupt anywhere in the test cancels it, and it never ends unawaited.
    together = await asyncio.gather(sandbox.execute_code("print(1)"), sandbox.execute_code("print(2)"),
                                    during_install())
    assert [r.stdout for r in together] == ["1\n", "2\n", "3\n"]
    codes = [body["arguments"]["code"] for route, body in agentcore.requests if route == "executeCode"]
    assert agentcore.calls["start"] == 1 and "pip" in codes[0] and len(codes) == 4
    await sandbox.terminate()
    assert (agentcore.live_sessions(), sandbox._client_context) == ([], None)


# Interrupted (Ctrl-C) as the install holds those first calls, that test stops leaving nothing that no one took up
# (asyncio's "_GatheringFuture exception was never retrieved"); as a terminal's Ctrl-C does, in a run that neither
# ignores nor blocks SIGINT.
INTERRUPTING = """import os, signal
from tests.fakes.standin import StandIn

pre_request = StandIn.pre_request


async def interrupting(self, route):
    if route == "executeCode":
        os.kill(os.getpid(), signal.SIGINT)
    return await pre_request(self, route)

StandIn.pre_request = interrupting
"""


def test_an_interrupt_while_the_first_calls_wait_leaves_nothing_unretrieved(tmp_path: Path) -> None:
    (tmp_path / "interrupting.py").write_text(INTERRUPTING)
    test = f"{__file__}::{test_concurrent_first_calls_share_one_start_and_its_install.__name__}"
    run = subprocess.run([*DEFAULT_SIGNALS, sys.executable, "-m", "pytest", "-p", "interrupting", test, "-q",
                          f"--basetemp={tmp_path / 'run'}"], cwd=Path(__file__).parents[2], capture_output=True,
                         text=True, env={**os.environ, "PYTHONPATH": str(tmp_path)}, timeout=100)
    assert run.returncode == pytest.ExitCode.INTERRUPTED and "never retrieved" not in run.stdout + run.stderr, \
        run.stdout + run.stderr


def test_concurrent_first_calls_share_a_start_in_one_event_loop_after_another(agentcore) -> None:
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox

    sandbox = BedrockAgentCoreSandbox(**CREDENTIALS)

    async def use() -> list[str]:
        try:
            return [r.stdout for r in await asyncio.gather(*(sandbox.execute_code(f"print({n})") for n in (1, 2)))]
        finally:
            await sandbox.terminate()

    assert asyncio.run(use()) == asyncio.run(use()) == ["1\n", "2\n"]
    assert (agentcore.calls["start"], agentcore.live_sessions()) == (2, [])


_NAN = float("nan")


@pytest.mark.parametrize(
    ("call", "refusal"),
    [
        (lambda s: s.execute_code("pass", timeout=_NAN), "ValueError: timeout must be a finite number"),
        (lambda s: s.execute_code("pass", files=Attachment.from_bytes(bytes=b"x", filename="a")),
         "TypeError: files must be a list of Attachment, got Attachment"),
        (lambda s: s.execute_code("pass", files=[b"x"]), "TypeError: files must hold attachments"),
        (lambda s: s.execute_code("pass", upload_dir=Path("in")), "TypeError: upload_dir must be a str"),
        (lambda s: s.execute_code("pass", files=[Attachment.from_bytes(bytes=b"x", filename="../a")]),
         "ERROR: Attachment name '../a' is not a safe relative path"),
        (lambda s: s.execute_command("true", timeout=_NAN), "ValueError: timeout must be a finite number"),
        (lambda s: s.execute_command(["true"]), "TypeError: cmd must be a str, got list"),
        (lambda s: s.execute_command("true", env=[("A", "1")]), "TypeError: `env` must be a mapping"),
        (lambda s: s.execute_command("true", env={"A": 1}), "TypeError: `env` values must be str, got a int for 'A'"),
        (lambda s: s.execute_command("true", env={1: "x"}), "TypeError: `env` names must be str, got 1 (int)"),
        (lambda s: s.execute_command("true", env={"A=B": "1"}), "ValueError: `env` entry 'A=B' cannot be set"),
        (lambda s: s.download_file(Path("x")), "TypeError: file_path must be a str, got PosixPath"),
        (lambda s: s.terminate(timeout=_NAN), "ValueError: `timeout` must be positive"),
    ],
)
async def test_bad_arguments_are_refused_before_any_request(make_sandbox, agentcore, call, refusal) -> None:
    started = make_sandbox()
    await started._ensure_started()
    agentcore.reset_records()
    for sandbox in (make_sandbox(), started):
        try:
            result = await call(sandbox)
        except Exception as exc:
            outcome = f"{type(exc).__name__}: {exc}"
        else:
            outcome = f"{result.status.name}: {result.error}" if result is not None else repr(result)
        assert outcome.startswith(refusal)
    assert (sum(agentcore.calls.values()), started._is_started) == (0, True)


async def test_a_failed_install_stops_the_session(make_sandbox, agentcore) -> None:
    sandbox = make_sandbox(additional_packages=["surely-not-a-real-package-zz"])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox.execute_code("pass")
    assert info.value.stage is Stage.PACKAGE_INSTALL
    assert (sandbox.sandbox_id, agentcore.live_sessions(), agentcore.calls["stop"]) == (None, [], 1)


async def _cancel(sandbox, agentcore, first, hold) -> tuple[int, int]:
    first.cancel()
    hold.release()
    with pytest.raises(asyncio.CancelledError):
        await first
    return 0, 1


_TERMINATED = "^The sandbox was terminated while its session was starting$"


async def _terminate(sandbox, agentcore, first, hold) -> tuple[int, int]:
    # Both terminates run before the release; the second finds nothing left to undo.
    await asyncio.gather(sandbox.terminate(), sandbox.terminate(), asyncio.to_thread(hold.release))
    with pytest.raises(SandboxStartError, match=_TERMINATED):
        await first
    return 0, 1


async def _terminate_past_its_cap(sandbox, agentcore, first, hold) -> tuple[int, int]:
    await sandbox.terminate(timeout=0.2)  # returns while the service still holds the start
    assert (await sandbox.execute_code("print(2)")).stdout == "2\n"  # a call after terminate starts anew
    with pytest.raises(SandboxStartError, match=_TERMINATED):
        await first
    hold.release()
    await eventually(lambda: agentcore.calls["stop"] == 1)  # the abandoned start stops its session
    return 1, 1


async def _terminate_as_the_start_ends(sandbox, agentcore, first, hold) -> tuple[int, int]:
    # An eager task runs terminate's first step inside the start's done callback, before the waiting call resumes.
    loop = asyncio.get_running_loop()
    loop.set_task_factory(asyncio.eager_task_factory)
    terminating: list[asyncio.Task] = []
    start = sandbox._pending_start.task
    try:
        start.add_done_callback(lambda _: terminating.append(loop.create_task(sandbox.terminate())))
        hold.release()
        with pytest.raises(SandboxStartError, match=_TERMINATED):  # its code was never sent
            await first
    finally:
        loop.set_task_factory(None)
    await terminating[0]
    return 0, 1


async def _terminate_while_the_rollback_waits(sandbox, agentcore, first, hold) -> tuple[int, int]:
    # The abandoned start cannot roll back before the service answers it, yet its callers fail at once.
    second = asyncio.ensure_future(sandbox.execute_code("print(2)"))
    await asyncio.sleep(0)  # the second call joins the start
    pending = sandbox._pending_start
    assert pending.waiters == 2
    terminating = asyncio.ensure_future(sandbox.terminate())
    for call in (first, second):
        with pytest.raises(SandboxStartError, match=_TERMINATED):
            await asyncio.wait_for(call, 60)
    assert (pending.task.done(), terminating.done(), agentcore.calls["stop"]) == (False, False, 0)
    hold.release()
    await asyncio.wait_for(terminating, 60)
    assert pending.task.cancelled()
    return 0, 1


async def _cancel_one_of_two(sandbox, agentcore, first, hold) -> tuple[int, int]:
    second = asyncio.ensure_future(sandbox.execute_code("print(2)"))  # joins the start before the cancel lands
    await _cancel(sandbox, agentcore, first, hold)
    assert (await second).stdout == "2\n"
    return 1, 0


@pytest.mark.parametrize(
    "interrupt",
    [_cancel, _terminate, _terminate_while_the_rollback_waits, _cancel_one_of_two, _terminate_past_its_cap,
     pytest.param(_terminate_as_the_start_ends, marks=pytest.mark.skipif(
         not hasattr(asyncio, "eager_task_factory"), reason="needs eager tasks (Python 3.12+)"))],
)  # fmt: skip
async def test_a_start_interrupted_in_flight_leaves_no_session_behind(make_sandbox, agentcore, interrupt) -> None:
    sandbox = make_sandbox()
    hold = agentcore.hold("start")  # the service starts the session only once released
    first = asyncio.ensure_future(sandbox.execute_code("print(1)"))
    assert await asyncio.to_thread(hold.arrived.wait, 30)
    still_used, undone = await interrupt(sandbox, agentcore, first, hold)
    assert agentcore.live_sessions() == [sandbox.sandbox_id] * still_used and sandbox._is_started == bool(still_used)
    assert agentcore.calls["stop"] == undone
    assert (await sandbox.execute_code("print(3)")).stdout == "3\n"
    assert agentcore.calls["start"] == 1 + undone


@pytest.mark.parametrize("fault", [lambda s: s.fail("stop", 500), lambda s: s.stall("stop", 5.0)])
async def test_a_failed_stop_is_logged_and_the_session_forgotten(sandbox, agentcore, caplog, fault) -> None:
    fault(agentcore)
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await sandbox.terminate(timeout=0)
    await sandbox.terminate(timeout=1)
    [warning] = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert warning.getMessage().startswith("Error stopping session: ") and warning.error_code == "terminate"
    assert (sandbox.sandbox_id, sandbox._client_context, sandbox._is_started) == (None, None, False)
    await sandbox.terminate()
    assert agentcore.calls["stop"] == 1


async def _cancel_it(sandbox, terminating) -> None:
    terminating.cancel()
    with pytest.raises(asyncio.CancelledError):
        await terminating


async def _terminate_too(sandbox, terminating) -> None:
    await sandbox.terminate()  # finds the session taken, and waits for its stop all the same


@pytest.mark.parametrize("interrupt", [_cancel_it, _terminate_too])
async def test_a_terminate_returns_once_the_session_is_stopped_and_the_client_closed(sandbox, agentcore,
                                                                                    interrupt) -> None:
    # The service takes the stop only after two seconds, and never when the client has left meanwhile.
    hold = agentcore.hold("stop", limit=2)
    session_id, connections = sandbox.sandbox_id, sandbox._client._endpoint.http_session._sessions
    assert connections  # the client is open
    terminating = asyncio.ensure_future(sandbox.terminate())
    assert await asyncio.to_thread(hold.arrived.wait, 30)
    await interrupt(sandbox, terminating)
    assert (session_id in agentcore.live_sessions(), agentcore.calls["stop"], connections) == (False, 1, {})
    await asyncio.gather(terminating, return_exceptions=True)
    await sandbox.terminate()
    assert agentcore.calls["stop"] == 1


async def test_terminate_during_an_upload_leaves_the_code_unsent_and_retry_safe(sandbox, agentcore) -> None:
    upload, stop = agentcore.hold("writeFiles"), agentcore.hold("stop")
    call = asyncio.ensure_future(
        sandbox.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"x", filename="a.txt")]))
    assert await asyncio.to_thread(upload.arrived.wait, 30)
    terminating = asyncio.ensure_future(sandbox.terminate())
    assert await asyncio.to_thread(stop.arrived.wait, 30)
    upload.release()  # the upload ends while the stop is still on its way
    result = await call
    stop.release()
    await terminating
    assert (result.status, result.error, result.failure.retry_safe) == (
        ExecutionStatus.ERROR, "_SessionEnded: The sandbox was terminated before the request was sent", True)
    assert agentcore.calls["executeCode"] == 0


_CUT = "The sandbox was terminated before the answer arrived"


@pytest.mark.parametrize(
    ("route", "call", "expected"),
    [
        ("executeCode", lambda s: s.execute_code("print(1)", timeout=0),
         lambda r: (r.status, r.error, r.failure.retry_safe) == (ExecutionStatus.UNKNOWN, "_RequestCut: " + _CUT,
                                                                  False)),
        ("readFiles", lambda s: s.download_file("a.txt", timeout=0), lambda r: r is None),
        ("writeFiles", lambda s: s.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"x", filename="a")]),
         lambda r: r.status is ExecutionStatus.ERROR and r.error.endswith(_CUT)),
    ],
)
async def test_terminate_ends_the_calls_still_reading_an_answer(sandbox, agentcore, route, call, expected) -> None:
    # Closing the client drops an answer being read without waking its reader: without a limit it would wait for ever.
    answered = asyncio.Event()
    sandbox._client.meta.events.register("after-call.*.InvokeCodeInterpreter", lambda **_: answered.set())
    agentcore.hang(route, 60, after_events=0)  # the headers arrive, the events do not
    calling = asyncio.ensure_future(call(sandbox))
    await answered.wait()
    await sandbox.terminate()
    assert expected(await asyncio.wait_for(calling, 30))
    assert agentcore.calls["executeCode"] == (route == "executeCode")


_EMPTY_TEXT_ITEM = {"type": "resource", "resource": {"type": "text", "uri": "file://x", "text": ""}}
_WRONG_TEXTS = [5, ["a,b"], {"text": "a,b"}]  # botocore hands a "text" over as the JSON decoded it


async def test_downloads(sandbox, agentcore, spans, caplog) -> None:
    code = ("open('empty.txt', 'w').close()\nopen('/files/plot.png', 'wb').write(b'\\x89PNG')\n"
            "open('notes.txt', 'w', encoding='utf-8').write('h\\u00e9\\n')")
    assert (await sandbox.execute_code(code)).status is ExecutionStatus.SUCCESS
    assert await sandbox.download_file("empty.txt") == b""
    agentcore.read_as_text()
    assert await sandbox.download_file("notes.txt") == "h\u00e9\n".encode()  # a text resource comes back as bytes
    assert await sandbox.download_file("/files/plot.png") == b"\x89PNG"
    assert await sandbox.download_file("missing.txt") is None
    agentcore.rewrite("readFiles", lambda r: {**r, "content": [_EMPTY_TEXT_ITEM, *r["content"]]})
    assert await sandbox.download_file("/files/plot.png") == b"\x89PNG"  # the item with data, not the empty one
    agentcore.rewrite("readFiles", lambda r: {**r, "content": [_EMPTY_TEXT_ITEM]})
    assert await sandbox.download_file("empty.txt") == b""  # an empty text resource is still a file
    for text in _WRONG_TEXTS:
        agentcore.rewrite("readFiles", lambda r, text=text: {**r, "content": [
            {"type": "resource", "resource": {"type": "text", "uri": "file://x", "text": text}}]})
        assert await sandbox.download_file("empty.txt") is None
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        f"Failed to download file empty.txt: readFiles answer: text is a {type(text).__name__}, not bytes or a str"
        for text in _WRONG_TEXTS]
    agentcore.hang("readFiles", 5)
    assert await sandbox.download_file("empty.txt", timeout=0.5) is None
    agentcore.drop_stream("readFiles", after_events=0)
    assert await sandbox.download_file("empty.txt") is None
    statuses = [s.attributes["zib_sandbox.status"] for s in spans.get_finished_spans()
                if s.name == "zib_sandbox.file.download"]
    assert statuses == ["success"] * 6 + ["error"] * len(_WRONG_TEXTS) + ["timeout", "error"]
    assert [body["arguments"] for route, body in agentcore.requests if route == "readFiles"][0] == {"paths": ["empty.txt"]}
    assert (await sandbox.execute_code("print('alive')")).status is ExecutionStatus.SUCCESS
