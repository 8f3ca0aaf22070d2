"""``E2BSandbox`` through the real SDK: against the local stand-in, and stubbed at the SDK boundary
for what the stand-in cannot provoke."""

import asyncio
import base64
import contextlib
import io
import json
import logging
import os
import socket
import struct
import sys
import tarfile
import threading
import time
import types
from urllib.parse import urlsplit

import httpx
import pytest
from connectrpc.code import Code
from connectrpc.errors import ConnectError as RpcConnectError
from e2b.exceptions import AuthenticationException, RateLimitException, SandboxException, ServiceBusyException
from e2b.exceptions import SandboxUnreachableException, TimeoutException
from e2b_code_interpreter.models import ExecutionError
from vorn_inference.schema import Attachment

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.constants import E2BConfig
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxExecutionError, SandboxNotInitializedError, SandboxStartError
from vorn_tools.code_interpreter.errors import SandboxTerminateError, Stage

SUCCESS, ERROR, TIMEOUT, UNKNOWN = (ExecutionStatus.SUCCESS, ExecutionStatus.ERROR, ExecutionStatus.TIMEOUT, ExecutionStatus.UNKNOWN)


def _bodies(e2b: E2BStandIn, route: str) -> list[dict]:
    return [body for name, body in e2b.requests if name == route]


def _span(spans, name: str) -> dict:
    return dict([s for s in spans.get_finished_spans() if s.name == "zib_sandbox." + name][-1].attributes)


def _messages(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == E2BSandbox.__module__ and r.levelno >= logging.WARNING]


async def _raise(error: BaseException) -> None:
    raise error


_LIST = "for p in /proc/[0-9]*; do tr '\\0' ' ' < $p/cmdline; echo; done"  # the sandbox's processes


async def _until(condition, limit: float = 30.0) -> None:  # a generous bound
    async with asyncio.timeout(limit):
        while not condition():
            await asyncio.sleep(0.02)


# ------------------------------------------------------------------ creation


_ALIAS, _ENSURE = E2BConfig.DEFAULT_TEMPLATE_ALIAS, {"ensure_default_template": True}


@pytest.mark.parametrize(
    ("options", "alias", "template", "lifetime"),
    [({}, None, None, 600), ({"timeout": 300}, None, None, 300),
     ({"sandbox_timeout": 120, "timeout": 300, "envs": {"A": "1"}, "metadata": {"k": "v"}}, None, None, 120),
     (_ENSURE, _ALIAS, _ALIAS, 600), (_ENSURE, None, None, 600),  # the ensure failed: the SDK's own default
     ({**_ENSURE, "template": "base"}, _ALIAS, "base", 600)],  # a given template: nothing to ensure
)  # fmt: skip
async def test_options_reach_the_service(make_sandbox, e2b: E2BStandIn, monkeypatch, spans, options, alias, template, lifetime):
    calls: list[object] = []  # the template builder module, replaced through sys.modules
    ensure = lambda: calls.append(threading.current_thread() is threading.main_thread()) or alias  # noqa: E731
    builder = lambda **options: calls.append(options) or types.SimpleNamespace(ensure_default=ensure)  # noqa: E731
    monkeypatch.setitem(sys.modules, "vorn_tools.code_interpreter.code_template.e2b_template_builder",
                        types.SimpleNamespace(E2BTemplateBuilder=builder))
    e2b.templates.add(_ALIAS)
    sandbox = await make_sandbox(domain="e2b.example", **options)
    (body,) = _bodies(e2b, "create")
    # The SDK's own default template; a 600 s lifetime rather than the SDK's 300.
    assert (body["templateID"], body["timeout"]) == (template or "code-interpreter-v1", lifetime)
    assert (body.get("envVars") or None, body.get("metadata") or None) == (options.get("envs"), options.get("metadata"))
    span = {"zib_sandbox.backend": "e2b", "zib_sandbox.sandbox_id": sandbox.sandbox_id} | ({"zib_sandbox.template_id": template} if template else {})
    assert _span(spans, "sandbox.create") == span
    # The builder gets the factory's key and domain and runs off the event loop's thread.
    assert calls == ([{"api_key": e2b.api_key, "domain": "e2b.example"}, False] if options == _ENSURE else [])


@pytest.mark.parametrize(
    ("fault", "cause", "options", "requests"),
    [
        (429, RateLimitException, {}, 2),
        (429, RateLimitException, {"retries": 1}, 4),  # the SDK's own retries only when asked for
        (503, ServiceBusyException, {}, 2),
        (504, SandboxException, {}, 2),
        ("stall", httpx.ReadTimeout, {"request_timeout": 0.3}, 2),
        ("refused", httpx.ConnectError, {}, 0),
        # Not transient: raised at once.
        (500, SandboxException, {}, 1),
        (None, SandboxException, {"template": "no-such-template"}, 1),
        (None, AuthenticationException, {"api_key": "e2b_" + "0" * 40}, 1),
        # Invalid settings: refused before any request.
        (None, None, {"sandbox_timeout": 0}, 0),
        (None, None, {"additional_packages": ["numpy", "--index-url=x"]}, 0),
    ],
)
async def test_creation_failures_retry_only_what_is_transient(e2b: E2BStandIn, fault, cause, options, requests):
    if fault == "stall":
        e2b.stall("create", 1.5, times=2)
    elif isinstance(fault, int):
        e2b.fail("create", fault, times=4, message=f"failed, key {e2b.api_key}")
    refusing = e2b.refusing("api") if fault == "refused" else contextlib.nullcontext()
    with refusing, pytest.raises(SandboxStartError if cause else ValueError) as raised:
        await E2BSandbox.create(**{**e2b.connection_options(), "create_retries": 2, "create_backoff": 0, **options})
    error = raised.value
    if cause is not None:
        assert (error.stage, error.transient, type(error.__cause__)) == (Stage.CREATE, requests != 1, cause)
        assert str(error).startswith("Failed to start E2B sandbox: ") and e2b.api_key not in str(error)
    assert e2b.calls["create"] == requests and e2b.alive_sandboxes() == []


# The rollback's kill is retried like `terminate`, and runs to its end although the caller was cancelled.
@pytest.mark.parametrize(
    ("kill_failures", "cancel_on", "kills"),
    [(1, None, 2), (3, None, 3), (0, "execute", 1),
     (2, "kill", 3)],  # cancelled in the pause after a failed kill, before the next kill is sent
)  # fmt: skip
async def test_a_failed_or_cancelled_create_rolls_the_sandbox_back(e2b, caplog, kill_failures, cancel_on, kills):
    e2b.fail("kill", 500, times=kill_failures, message="kill refused")
    e2b.stall("execute", 5, times=1 if cancel_on == "execute" else 0)
    packages = ["httpx"] if cancel_on == "execute" else ["not a valid==requirement"]
    options = {**e2b.connection_options(), "create_retries": 3, "create_backoff": 0, "additional_packages": packages}
    task = asyncio.create_task(E2BSandbox.create(**options))
    if cancel_on is not None:
        await _until(lambda: e2b.calls[cancel_on])
        task.cancel()
    with pytest.raises(asyncio.CancelledError if cancel_on else SandboxExecutionError, match="^$|^Failed to install") as raised:
        await task
    assert cancel_on or raised.value.stage is Stage.PACKAGE_INSTALL
    await _until(lambda: len(e2b.alive_sandboxes()) == (kill_failures == 3))  # a cancelled caller may return first
    assert e2b.calls["create"] == 1 and e2b.calls["kill"] == kills  # the cancelled task made no further attempt
    alive = e2b.alive_sandboxes()  # when every kill failed, one is left to the service's lifetime reaper
    assert _messages(caplog) == [f"Failed to kill E2B sandbox {left} after a failed create: 500: kill refused" for left in alive]
    for left in alive:
        e2b.sandboxes[left].expires_at = 0


# ---------------------------------------------------------------- code and commands


@pytest.mark.parametrize(
    ("operation", "fault", "status", "exception_type", "stdout"),
    [
        # Refused before the request was written: nothing ran, a retry is safe.
        ("code", "refused", ERROR, "httpx.ConnectError", ""),
        # The SDK reports a refused command as its "unreachable" timeout; the
        # causes beneath it prove the command never started.
        ("command", "refused", ERROR, "e2b.exceptions.SandboxUnreachableException", ""),
        # Cut after the request was delivered: the code may have run.
        ("code", "dropped", UNKNOWN, ("httpx.RemoteProtocolError", "httpx.ReadError"), "first\n"),
        # A raising callback breaks a delivered run; its line was recorded first.
        ("code", "callback", UNKNOWN, "builtins.ZeroDivisionError", "first\n"),
    ],
)
async def test_transport_failures_say_whether_a_retry_is_safe(sandbox, e2b, spans, operation, fault, status, exception_type, stdout):
    if fault == "dropped":
        e2b.drop_stream("execute", after_events=2)  # number_of_executions, then one stdout chunk
    with e2b.refusing("envd") if fault == "refused" else contextlib.nullcontext():
        if operation == "code":
            code = "print('first')\nprint('second')\nprint('third')"
            result = await sandbox.execute_code(code, on_stdout=(lambda line: 1 / 0) if fault == "callback" else None)
        else:
            result = await sandbox.execute_command("echo hi", timeout=5)
    assert (result.status, result.stdout, result.failure.retry_safe) == (status, stdout, status is ERROR)
    assert result.failure.exception_type in (exception_type if isinstance(exception_type, tuple) else (exception_type,))
    assert result.error.startswith(result.failure.exception_type.rsplit(".", 1)[-1] + ": ")
    assert _span(spans, "execute_" + operation)["zib_sandbox.status"] == status.value
    assert (await sandbox.execute_code("print('back')")).stdout == "back\n"


class _AgentProxy:
    """A proxy in front of the sandbox's agent that loses its connection to it: "cut" resets each connection once
    the agent has begun to answer (the request was delivered), the SDK's health probe's too; "silent" lets the
    answer's head through before the reset, then leaves the probe unanswered (a network dropping its packets);
    "502" and "504" answer every request but the probe, which finds the sandbox alive (unless "silent" too), as a
    proxy whose connection to the sandbox ended."""

    def __init__(self, agent_url: str, mode: str) -> None:
        self.agent, self.mode, self.tasks = urlsplit(agent_url), mode, set()

    async def __aenter__(self) -> str:
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        return "http://127.0.0.1:%d" % self.server.sockets[0].getsockname()[1]

    async def __aexit__(self, *exc_info) -> None:
        self.server.close()
        for task in self.tasks:
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)

    async def _serve(self, reader, writer) -> None:
        self.tasks.add(asyncio.current_task())
        head = await reader.read(65536)
        probe = head.startswith(b"GET /health")
        if probe and "silent" in self.mode:
            return await asyncio.Event().wait()
        if self.mode[:3] in ("502", "504") and not probe:
            writer.write(b"HTTP/1.1 %s Gateway\r\ncontent-length: 27\r\n\r\nconnection to sandbox ended" % self.mode[:3].encode())
            return writer.close()
        answers, agent = await asyncio.open_connection(self.agent.hostname, self.agent.port)
        agent.write(head)
        onward = asyncio.ensure_future(_pipe(reader, agent))
        try:
            if self.mode == "silent":
                writer.write(await answers.readuntil(b"\r\n\r\n"))
            await _pipe(answers, writer, cut=self.mode in ("cut", "silent"))
        finally:
            onward.cancel(), writer.close(), agent.close()


async def _pipe(reader, writer, cut: bool = False) -> None:
    with contextlib.suppress(OSError):
        while chunk := await reader.read(65536):
            if cut:  # closed with a reset, as a broken network's connection ends
                return writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            writer.write(chunk)
            await writer.drain()


# A connection lost to a live sandbox leaves the outcome open, however the SDK words it (a command's as its
# "unreachable" timeout): never a timeout, which would invite a caller to run it again with a longer limit, nor
# one because the limit ran out while the SDK's probe after the break went unanswered ("silent", a limit below
# the probe's own bound), nor a command's 504 from the proxy.
@pytest.mark.parametrize(("operation", "fault"), [(op, fault) for fault in ("cut", "silent", "502") for op in ("code", "command")]
                         + [("command", "504"), ("command", "502 silent")])
async def test_a_connection_lost_to_a_live_sandbox_is_unknown(make_sandbox, e2b, operation, fault) -> None:
    if "silent" in fault and sys.version_info < (3, 12):
        pytest.skip("Python 3.11's wait_for, cancelled, drops the failure the SDK's probe ran under")
    async with _AgentProxy(e2b.sandbox_url, fault) as url:
        sandbox = await make_sandbox(sandbox_url=url)
        run = sandbox.execute_code if operation == "code" else sandbox.execute_command
        limit = 3 if "silent" in fault else 30  # silent: run out while the SDK's probe waits
        result = await run("echo ran" if operation == "command" else "print('ran')", timeout=limit)
    delivered = fault in ("cut", "silent")
    assert e2b.calls["execute" if operation == "code" else "process.start"] == delivered
    assert (result.status, result.failure and result.failure.retry_safe) == (UNKNOWN, False), result


class _Provider:  # the SDK's sandbox and commands, stubbed at their boundary
    def __init__(self, chunks: list[str], outcome: BaseException | asyncio.Event | ExecutionError | None) -> None:
        self.chunks, self.outcome, self.sent_timeouts = chunks, outcome, []

    async def run_code(self, code, on_stdout=None, on_stderr=None, **options):
        self.sent_timeouts.append(options["timeout"])
        for chunk in self.chunks:  # each chunk on both streams
            on_stdout(types.SimpleNamespace(line=chunk)), on_stderr(types.SimpleNamespace(line=chunk))
        if isinstance(self.outcome, asyncio.Event):
            await self.outcome.wait()  # a stream gone quiet, which the SDK's deadline may not end
        elif isinstance(self.outcome, BaseException):
            raise self.outcome
        logs = types.SimpleNamespace(stdout=self.chunks, stderr=[])
        return types.SimpleNamespace(error=self.outcome, logs=logs, stdout="", stderr="")

    run = run_code  # commands.run


class _ConnectTimeout(ConnectionError, TimeoutError):  # the shape of the SDK transport's connect timeout
    pass


def _unreachable(cause: BaseException) -> BaseException:
    """A refused command as the SDK reports it: its "unreachable" timeout over the RPC error."""
    rpc, outer = RpcConnectError(Code.UNAVAILABLE, "x"), SandboxUnreachableException("u")
    rpc.__cause__, outer.__cause__ = cause, rpc
    return outer


_LOST = SandboxException("500: lost")


@pytest.mark.parametrize(
    ("operation", "chunks", "outcome", "timeout", "status", "retry_safe", "error"),
    [
        # The SDK raises no SandboxException once its stream has started; after
        # any chunk, even an empty one, the code provably ran.
        ("code", [], _LOST, None, ERROR, None, "500: lost"),
        ("code", [""], _LOST, None, UNKNOWN, False, "SandboxException: 500: lost"),
        # Only a connection never established is retry safe, and only before any output.
        ("command", [], _unreachable(_ConnectTimeout("no answer")), None, ERROR, True, None),
        ("command", [], _unreachable(ConnectionResetError("reset")), None, UNKNOWN, False, None),
        ("code", ["x"], httpx.ConnectError("refused"), None, UNKNOWN, False, None),
        ("code", [], httpx.ConnectTimeout("no answer"), None, UNKNOWN, False, None),
        ("command", [], httpx.ConnectError("refused"), None, ERROR, True, None),
        ("command", [], ConnectionResetError("reset"), None, UNKNOWN, False, None),
        # No limit is the SDK's 0: its None would mean the SDK's own default limit.
        ("code", ["a\nb", "c!\n", "d\n"], None, 0, SUCCESS, None, ""),  # chunks keep their own line breaks
        ("command", [], None, -1, SUCCESS, None, ""),
        ("code", ["started\n"], asyncio.Event(), 0.2, TIMEOUT, None, "Execution exceeded timeout of 0.2 seconds"),
        ("command", [], asyncio.Event(), 0.2, TIMEOUT, None, "Command exceeded timeout of 0.2 seconds"),
        ("code", [], TimeoutException("timed out"), None, TIMEOUT, None, "timed out"),
        # The program's own error record reads traceback first.
        ("code", [], ExecutionError("ValueError", "bad", "Traceback:\n  line 1\n"), None, ERROR, None,
         "Traceback:\n  line 1\n\nValueError: bad"),
        ("code", [], ExecutionError("", "ends with colon:", ""), None, ERROR, None, "ends with colon"),
        ("code", [], ExecutionError("KeyError", "", "tb\n"), None, ERROR, None, "tb\n\nKeyError"),
    ],
)
async def test_stubbed_sdk_outcomes(operation, chunks, outcome, timeout, status, retry_safe, error) -> None:
    provider, forwarded, forwarded_errors = _Provider(chunks, outcome), [], []
    instance = E2BSandbox()
    instance.sandbox, instance.files, instance.commands = provider, object(), provider
    async with asyncio.timeout(30):  # the client-side bound must end a quiet stream
        if operation == "code":
            result = await instance.execute_code("print(1)", timeout=timeout, on_stdout=forwarded.append,
                                                 on_stderr=forwarded_errors.append)
        else:
            result = await instance.execute_command("true", timeout=timeout)
    sent = 30 if timeout is None else max(timeout, 0)
    assert (result.status, provider.sent_timeouts, result.stdout) == (status, [sent], "".join(chunks))
    assert forwarded == forwarded_errors == [chunk.rstrip("\n") for chunk in chunks]  # each chunk less its line breaks
    assert (None if result.failure is None else result.failure.retry_safe) is retry_safe
    assert error is None or result.error == error


async def test_attachments_go_in_one_batch_and_a_short_confirmation_fails_the_run(sandbox: E2BSandbox, e2b: E2BStandIn):
    files = [Attachment.from_bytes(bytes=b"a", filename="data.csv"), Attachment.from_bytes(bytes=b"b", filename="x.bin")]
    code = "import os\nprint(os.environ['MODE'])"
    assert (await sandbox.execute_code(code, files=files, upload_dir="/mnt/data/", env={"MODE": "fast"})).stdout == "fast\n"
    assert _bodies(e2b, "files.write") == [{"paths": ["/mnt/data/data.csv", "/mnt/data/x.bin"]}]
    e2b.short_write(confirmed=1)
    result = await sandbox.execute_code("print(1)", files=files)
    assert (result.status, e2b.calls["execute"]) == (ERROR, 1)
    assert result.error == "Failed to upload 2 file(s) to sandbox backend 'e2b': Provider confirmed only 1 of 2 file(s) were written"


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error_part", "deadline_ms"),
    [("echo $NAME; echo err >&2", {"env": {"NAME": "vorn"}}, SUCCESS, "vorn\n", "", "30000"),
     ("echo partial; exit 2", {"timeout": 0}, ERROR, "partial\n", "exit status 2", None),
     ("sleep 5", {"timeout": 0.5}, TIMEOUT, "", "timeout", "500")],
)  # fmt: skip
async def test_commands(sandbox: E2BSandbox, e2b: E2BStandIn, cmd, options, status, stdout, error_part, deadline_ms) -> None:
    result = await sandbox.execute_command(cmd, **options)
    assert (result.status, result.stdout, result.code, error_part in result.error) == (status, stdout, cmd, True)
    (start,) = _bodies(e2b, "process.start")
    assert (start["args"], start["timeout_ms"]) == (["-l", "-c", cmd], deadline_ms)


# A command ends with its whole group (what it left running in the background too) at the deadline its client
# sent, though the client reads on (the stream then ends saying so, as envd's does), and once its client has
# gone, though it prints nothing more.
@pytest.mark.parametrize("end", ["its deadline", "its client gone"])
async def test_a_command_ends_with_its_group_at_its_deadline_or_when_its_client_goes(sandbox, e2b, end) -> None:
    options = _start_body("bash", "-c", "sleep 601 & echo started; sleep 600")
    options["headers"].update({"E2B-Sandbox-Id": sandbox.sandbox_id,
                               "X-Access-Token": e2b.sandboxes[sandbox.sandbox_id].access_token,
                               **({"Connect-Timeout-Ms": "1000"} if end == "its deadline" else {})})
    read = b""
    async with httpx.AsyncClient(timeout=30) as client, \
            client.stream("POST", f"{e2b.sandbox_url}/process.Process/Start", **options) as answer:
        async for chunk in answer.aiter_bytes():  # through the end (its deadline), or its first output (gone)
            if b'"data"' in (read := read + chunk) and end == "its client gone":
                break
    assert (b'"deadline_exceeded"' in read) is (end == "its deadline"), read
    deadline = time.monotonic() + 30
    while "sleep 60" in (listed := (await sandbox.execute_command(_LIST)).stdout) and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    assert "sleep 60" not in listed, listed


# A command the sandbox's agent refuses (larger than its socket takes) is refused in its stream, and the connection
# it came on serves the next one: dropped once answered, it would fail a client that reuses it meanwhile (the SDK's,
# under load). Seen with a client that reuses a connection whenever it can (the SDK's may open another).
async def test_a_refused_command_keeps_its_connection(sandbox, e2b) -> None:
    own = {"E2B-Sandbox-Id": sandbox.sandbox_id, "X-Access-Token": e2b.sandboxes[sandbox.sandbox_id].access_token}
    answers = []
    async with httpx.AsyncClient(base_url=e2b.sandbox_url, timeout=30,
                                 limits=httpx.Limits(max_connections=1)) as client:
        for word in ("x" * 300_000, "alive"):
            options = _start_body("echo", word)
            answers.append((await client.post("/process.Process/Start", content=options["content"],
                                              headers={**options["headers"], **own})).content)
    assert b"too large for the sandbox's agent" in answers[0] and base64.b64encode(b"alive\n") in answers[1], answers
    first, second = [body["client"] for body in _bodies(e2b, "process.start")]
    assert first == second


# ------------------------------------------------------------------ lifecycle


@pytest.mark.parametrize(
    ("failures", "stall", "error"),
    [(2, 0, None), (3, 0, "500: kill refused"), (0, 1.5, "no success within the 0.5-second cap")],
)
async def test_terminate_retries_under_its_cap(sandbox: E2BSandbox, e2b: E2BStandIn, failures, stall, error):
    sandbox_id = sandbox.sandbox_id
    e2b.fail("kill", 500, times=failures, message="kill refused")
    e2b.stall("kill", stall, times=1 if stall else 0)
    if error is not None:
        with pytest.raises(SandboxTerminateError) as raised:
            await sandbox.terminate(timeout=0.5 if stall else 5)
        assert (str(raised.value), raised.value.stage) == (f"Failed to terminate E2B sandbox: {error}", Stage.TERMINATE)
        # The handles stay, so the caller can try again.
        assert sandbox.sandbox_id == sandbox_id and sandbox.files is not None and sandbox.commands is not None
        e2b.clear_faults()
    await sandbox.terminate(timeout=5)
    assert (sandbox.sandbox, sandbox.files, sandbox.commands) == (None, None, None)
    assert e2b.calls["kill"] == min(failures + 1, 3) + (error is not None) and sandbox_id not in e2b.alive_sandboxes()
    assert not e2b.sandboxes[sandbox_id].container.alive  # and with it what its commands left running


async def test_lease_renewal_and_the_live_sandbox_requirement(sandbox: E2BSandbox, e2b: E2BStandIn, caplog) -> None:
    e2b.fail("set_timeout", 500, message="lease refused")
    await sandbox.set_timeout(30)
    assert _messages(caplog) == ["Failed to set sandbox timeout to 30s: 500: lease refused"]
    await sandbox.set_timeout(1)
    await _until(lambda: sandbox.sandbox_id not in e2b.alive_sandboxes())  # reaped once the new lease ends
    await sandbox.terminate()
    assert await E2BSandbox().set_timeout(30) is None
    for call in (E2BSandbox().execute_command("true"), E2BSandbox().download_file("x"), sandbox.execute_command("true"),
                 sandbox.download_file("x")):
        with pytest.raises(SandboxNotInitializedError):
            await call


async def test_downloads_prefer_the_signed_url_and_fall_back_to_the_filesystem(sandbox, e2b, caplog, spans, monkeypatch) -> None:
    payload = bytes(range(256)) * 8
    e2b.write_file(sandbox.sandbox_id, "/files/out.bin", payload)
    assert [await sandbox.download_file("/files/out.bin", timeout=limit) for limit in (None, 0)] == [payload] * 2
    assert _messages(caplog) == [] and _span(spans, "file.download").get("zib_sandbox.status") == "success"
    # Signed to expire a little after the URL attempt's budget (15 s of 30; none without a limit).
    reads = _bodies(e2b, "files.read")
    default, unlimited = (body["expiration"] - time.time() for body in reads)
    assert [body["signed"] for body in reads] == [True, True] and 15 < default <= 15 + 30 + 1 and 0 < unlimited <= 30 + 1
    # A refused signed URL: one warning, then the filesystem read, where no limit is the SDK's 0 (None is its default).
    e2b.fail("files.read", 404)
    read, limits = sandbox.files.read, []
    monkeypatch.setattr(sandbox.files, "read", lambda *args, **options: limits.append(options["request_timeout"]) or read(*args, **options))
    assert await sandbox.download_file("/files/out.bin", timeout=0) == payload and limits == [0]
    assert _bodies(e2b, "files.read")[-1]["signed"] is False
    assert await sandbox.download_file("/files/missing.csv") is None and _span(spans, "file.download").get("zib_sandbox.status") == "error"
    messages = _messages(caplog)
    assert messages[:2] == ["URL download for /files/out.bin returned status 404",
                            "URL download for /files/missing.csv returned status 404"]
    assert messages[2].startswith("Failed to download file /files/missing.csv: ") and len(messages) == 3


@pytest.mark.parametrize("fault", ["stalled", "sdk_read_timeout", "url_used_the_budget"])
async def test_a_download_over_budget_is_a_timeout(sandbox, e2b, caplog, spans, monkeypatch, fault) -> None:
    e2b.write_file(sandbox.sandbox_id, "/files/slow.bin", b"slow")
    e2b.stall("files.read", 30, times=2 if fault == "stalled" else 1)
    if fault == "url_used_the_budget":  # the race the overall cap normally wins
        monkeypatch.setattr(sandbox, "_download_via_url", lambda *args: asyncio.sleep(0.3))
        with pytest.raises(TimeoutError, match="Download of /files/x exceeded timeout of 0.2 seconds"):
            await sandbox._read_file("/files/x", 0.2)
        return
    if fault == "sdk_read_timeout":  # the SDK's read gives up first, with httpx's error
        monkeypatch.setattr(sandbox, "_read_via_filesystem", lambda *args: _raise(httpx.ReadTimeout("timed out")))
    assert await sandbox.download_file("/files/slow.bin", timeout=2) is None
    # The URL attempt had half the budget, so the filesystem read was tried too.
    assert e2b.calls["files.read"] == (2 if fault == "stalled" else 1)
    assert _messages(caplog)[0].startswith("URL download failed for /files/slow.bin: ")
    record = [r for r in caplog.records if r.name == E2BSandbox.__module__][-1]
    assert (record.getMessage(), record.error_code) == ("Download of /files/slow.bin exceeded timeout of 2 seconds", "download")
    assert _span(spans, "file.download").get("zib_sandbox.status") == "timeout"


# ------------------------------------------------------------- whom it answers


def _request(e2b: E2BStandIn, route: str, sandbox_id: str, marker: str) -> tuple[str, str, dict]:
    """(method, URL, httpx keywords) of a request of ``route`` that, served, leaves ``marker`` in the sandbox."""
    if route == "execute":
        return "POST", f"{e2b.sandbox_url}/execute", {"json": {"code": f"open({marker!r}, 'w').close()"}}
    if route == "process.start":
        return "POST", f"{e2b.sandbox_url}/process.Process/Start", _start_body("touch", marker)
    if route == "files.write":
        return "POST", f"{e2b.sandbox_url}/files", {"files": {"file": (marker, b"x")}}
    if route == "files.read":
        return "GET", f"{e2b.sandbox_url}/files", {"params": {"path": "/etc/passwd"}}
    return {"kill": "DELETE", "info": "GET"}[route], f"{e2b.api_url}/sandboxes/{sandbox_id}", {}


def _start_body(cmd: str, *args: str) -> dict:
    """httpx keywords of an envd ``Start`` request (Connect's JSON stream) of ``cmd`` with ``args``."""
    message = json.dumps({"process": {"cmd": cmd, "args": list(args)}}).encode()
    return {"content": b"\0" + len(message).to_bytes(4, "big") + message,
            "headers": {"content-type": "application/connect+json", "connect-protocol-version": "1"}}


# Another client of the machine that finds the stand-in's ports and a sandbox's id: without the
# stand-in's API key or the sandbox's access token (no header at all, or another sandbox's token),
# every route is refused and does nothing; the run's own credentials make the same request work.
@pytest.mark.parametrize(("route", "credentials", "status"), [
    ("execute", None, 401), ("execute", "other", 401), ("execute", "own", 200),
    ("process.start", None, 401), ("process.start", "other", 401), ("process.start", "own", 200),
    ("files.write", None, 401), ("files.write", "other", 401), ("files.write", "own", 200),
    ("files.read", None, 401), ("files.read", "other", 401), ("files.read", "own", 200),
    ("kill", None, 401), ("kill", "own", 204), ("info", None, 401), ("info", "own", 200),
])
async def test_each_route_wants_the_key_or_the_sandboxs_token(make_sandbox, e2b, route, credentials, status) -> None:
    own, other = [e2b.sandboxes[(await make_sandbox()).sandbox_id] for _ in "12"]
    marker = "/tmp/ran"  # in the sandbox: the host is read-only there
    method, url, options = _request(e2b, route, own.sandbox_id, marker)
    headers = {**options.pop("headers", {}), "E2B-Sandbox-Id": own.sandbox_id}
    if credentials is not None:
        headers["X-Access-Token"] = {"own": own.access_token, "other": other.access_token}[credentials]
    if credentials == "own":
        headers["X-API-Key"] = e2b.api_key
    async with httpx.AsyncClient(timeout=60) as client:
        answer = await client.request(method, url, headers=headers, **options)
    assert answer.status_code == status, answer.text
    served = status < 300
    assert ("root:" in answer.text) is (served and route == "files.read")
    assert own.host_path(marker).exists() is (
        served and route in ("execute", "process.start", "files.write"))
    assert (own.sandbox_id in e2b.alive_sandboxes()) is not (served and route == "kill")


# The Template API: its reads want the API key too (another user's must not learn the aliases, nor
# plant files under a COPY step's hash), and an upload link is good only for the files hash it was
# handed out for.
@pytest.mark.parametrize(("route", "credentials", "status"), [
    ("template.exists", None, 401), ("template.exists", "own", 200),
    ("template.tags", None, 401), ("template.tags", "own", 200),
    ("template.files", None, 401), ("template.files", "own", 201),
    ("template.status", None, 401), ("template.status", "own", 200),
    ("upload", None, 403), ("upload", "other", 403), ("upload", "own", 200),
])
async def test_the_template_api_wants_the_key_and_an_upload_its_own_link(e2b, route, credentials, status) -> None:
    name, files_hash = f"keyed-{route}-{credentials}", os.urandom(8).hex()
    keyed = {"X-API-Key": e2b.api_key}
    async with httpx.AsyncClient(base_url=e2b.api_url, timeout=60) as client:
        build = (await client.post("/v3/templates", json={"name": name}, headers=keyed)).json()
        tid, bid = build["templateID"], build["buildID"]
        links = {which: (await client.get(f"/templates/{tid}/files/{link_hash}", headers=keyed)).json()["url"]
                 for which, link_hash in (("own", files_hash), ("other", files_hash[::-1]))}
        if route == "upload":
            archive = io.BytesIO()
            tarfile.open(fileobj=archive, mode="w").close()
            signature = links[credentials].partition("?")[2] if credentials else ""
            answer = await client.put(f"/uploads/{files_hash}?{signature}", content=archive.getvalue())
        else:
            path = {"template.exists": f"/templates/aliases/{name}", "template.tags": f"/templates/{name}/tags",
                    "template.files": f"/templates/{tid}/files/{files_hash}",
                    "template.status": f"/templates/{tid}/builds/{bid}/status"}[route]
            answer = await client.get(path, headers=keyed if credentials == "own" else {})
    assert answer.status_code == status, answer.text
    assert (files_hash in e2b.uploads, e2b.builds[bid]["polls"]) == (
        route == "upload" and status == 200, int(route == "template.status" and status == 200))


# Code that kills every process it may, the code worker among them (the agent, the sandbox's first process, is
# spared): the run the worker died in says so, and later runs get a new worker in the same sandbox, as a
# Jupyter server restarts a kernel that died.
@pytest.mark.parametrize("killer", ["cell", "command"])
async def test_a_killed_code_worker_is_said_so_and_started_anew(sandbox, killer) -> None:
    await sandbox.execute_code("x = 1")
    if killer == "cell":
        killed = await sandbox.execute_code("import os\nos.system('kill -9 -1')")
        assert killed.status is ERROR and "code worker was killed by SIGKILL while running" in killed.error, killed
    else:
        assert (await sandbox.execute_command("kill -9 -1")).status is SUCCESS
    after = await sandbox.execute_code("print('x' in globals())")
    assert (after.status, after.stdout) == (SUCCESS, "False\n"), after


# A killed sandbox's tree goes with it whatever modes its code left there (a directory a regular user may not
# enter), and a link in it is never followed.
async def test_a_killed_sandbox_leaves_nothing_whatever_modes_it_left(sandbox, e2b, tmp_path) -> None:
    root, outside = e2b.sandboxes[sandbox.sandbox_id].root, tmp_path / "outside"
    outside.mkdir()
    (outside / "kept").write_text("kept")
    outside.chmod(0o500)
    try:
        made = await sandbox.execute_command(f"mkdir -p /tmp/x/y && ln -s {outside} /tmp/x/y/out && "
                                             "chmod 000 /tmp/x/y /tmp/x")
        assert made.status is SUCCESS, made
        await sandbox.terminate()
        for removal in e2b._removals:  # the tree is moved aside, and removed on a thread
            removal.join(60)
        assert not root.exists() and not list(e2b.tmp.glob(".removed-*")), os.listdir(e2b.tmp)
        assert (outside / "kept").read_text() == "kept" and outside.stat().st_mode & 0o777 == 0o500
    finally:
        outside.chmod(0o700)


async def test_a_sandbox_whose_container_ended_says_so(sandbox, e2b) -> None:
    container = e2b.sandboxes[sandbox.sandbox_id].container
    os.kill(container.process.pid, 9)  # bubblewrap: the sandbox ends with it
    await _until(lambda: not container.alive, 60)  # generous: the kernel ends its processes first
    for result in (await sandbox.execute_code("print('ran')"), await sandbox.execute_command("echo ran")):
        assert "ran" not in result.stdout and "its container's first process is gone" in result.error, result
        assert result.status is TIMEOUT, result  # the proxy found no sandbox: gone, as at the end of its lifetime


# A run its sandbox ended under (terminated, or its container gone) is never a success: the connection goes with
# the sandbox, whatever the cell had printed, and the SDK, finding the sandbox gone, says it was killed.
@pytest.mark.parametrize("end", ["terminate", "container"])
async def test_a_run_its_sandbox_ended_under_says_so(sandbox, e2b, end) -> None:
    printed = asyncio.Event()
    run = asyncio.ensure_future(sandbox.execute_code("import time\nprint('started', flush=True)\ntime.sleep(600)",
                                                     on_stdout=lambda line: printed.set()))
    await asyncio.wait_for(printed.wait(), 60)
    if end == "terminate":
        await sandbox.terminate()
    else:
        os.kill(e2b.sandboxes[sandbox.sandbox_id].container.process.pid, 9)
    result = await asyncio.wait_for(run, 120)
    assert (result.status, result.stdout) == (TIMEOUT, "started\n"), result
    assert result.error.startswith("The sandbox was killed while the request was in progress"), result
