"""Code, commands, files and teardown of a live ``OpenSandbox`` against the stand-in."""

from __future__ import annotations

import asyncio
import datetime as dt
import logging
import time

import httpx
import pytest
from opensandbox.exceptions import SandboxConnectionException, SandboxTimeoutException
from vorn_inference.schema import Attachment

from tests.fakes.lite_daemon import image_env
from tests.opensandbox.conftest import eventually
from vorn_tools.code_interpreter.code_sandbox import opensandbox_sandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox
from vorn_tools.code_interpreter.errors import SandboxTerminateError
from vorn_tools.code_interpreter.redaction import register_secret

SLOW = "import time\nprint('started', flush=True)\ntime.sleep(60)"


async def test_timeout_interrupts_the_kernel_and_keeps_partial_output(sandbox, opensandbox, caplog):
    result = await sandbox.execute_code(SLOW, timeout=10)  # room for the first line on a busy machine
    assert (result.status, result.stdout) == (ExecutionStatus.TIMEOUT, "started\n")
    assert result.error == "Execution exceeded timeout of 10 seconds" and opensandbox.calls["code.interrupt"] == 1
    assert (await sandbox.execute_code("print('next')")).stdout == "next\n"

    # An interrupt that never lands is given up after a bound, with a warning.
    opensandbox.stall("code.interrupt", 600)  # longer than the test may run
    with caplog.at_level(logging.WARNING):
        result = await sandbox.execute_code(SLOW, timeout=1)
    assert result.status is ExecutionStatus.TIMEOUT
    assert any(r.getMessage().startswith("Failed to interrupt kernel execution ") and r.getMessage().endswith(
        ": no answer within 5 seconds") for r in caplog.records)


async def test_streamed_output_over_the_bound_is_truncated_only_when_partial(sandbox):
    lines = "for i in range(3000):\n    print(str(i).rjust(99, '.'))\n"
    seen: list[str] = []
    done = await sandbox.execute_code(lines, on_stdout=seen.append)
    assert len(done.stdout) == 300_000 and len(seen) >= 1 and seen[-1].endswith("2999")
    partial = await sandbox.execute_code(lines + "import sys; sys.stdout.flush(); import time; time.sleep(60)",
                                         timeout=20)  # room for every line on a busy machine
    assert partial.status is ExecutionStatus.TIMEOUT
    assert partial.stdout.startswith("[... earlier output truncated, keeping the last 256K characters ...]\n")
    assert 262_144 - 100 < len(partial.stdout) < 262_144 + 100 and partial.stdout.endswith("2999\n")


@pytest.mark.parametrize(("stream", "own_error"), [
    ("stdout", ""), ("stderr", ""),
    ("stdout", "RuntimeError: own failure "),  # the code's own error is kept beside the callback's
])
async def test_a_raising_callback_is_reported_and_the_code_runs_to_the_end(sandbox, stream, own_error):
    def refuse(line: str) -> None:
        raise ValueError(f"no room for {line}")

    code = f"import sys, time\nprint('a', file=sys.{stream}, flush=True)\ntime.sleep(1)\nran = 1\nprint('b', file=sys.{stream})"
    code += "\nraise RuntimeError('own failure')" if own_error else ""
    result = await sandbox.execute_code(code, **{f"on_{stream}": refuse})
    assert result.status is ExecutionStatus.ERROR and "a" in getattr(result, stream) and "b" in getattr(result, stream)
    assert result.error == (f"{own_error}The on_{stream} callback raised builtins.ValueError: no room for a "
                            "(the code ran to the end; its output is in the result)")  # fmt: skip
    assert (result.failure.exception_type, result.failure.retry_safe) == ("builtins.ValueError", False)
    assert (await sandbox.execute_code("print(ran)")).stdout == "1\n"


async def test_transport_failures_are_classified_by_what_reached_the_sandbox(sandbox, opensandbox):
    with opensandbox.refusing("execd"):
        refused = await sandbox.execute_code("print(1)")
    assert refused.status is ExecutionStatus.ERROR and refused.failure.retry_safe
    assert refused.failure.exception_type == "httpx.ConnectError" and "caused by " in refused.error

    opensandbox.drop_stream("code", after_events=3)  # init, execution_count, "a"
    dropped = await sandbox.execute_code("print('a', flush=True)\nimport time; time.sleep(0.5)\nprint('b')")
    assert dropped.status is ExecutionStatus.UNKNOWN and not dropped.failure.retry_safe
    assert dropped.stdout == "a\n"

    opensandbox.drop_stream("code", after_events=0)
    silent = await sandbox.execute_code("print(2)")
    assert silent.status is ExecutionStatus.UNKNOWN and not silent.failure.retry_safe and silent.stdout == ""


@pytest.mark.parametrize(
    ("route", "after_events", "run", "stdout"),
    [
        ("code", None, "print('a', flush=True)\nprint('b')", "a\nb\n"),  # the completion never came
        ("code", 3, "print('a', flush=True)\nimport time; time.sleep(0.5)\nprint('b')", "a\n"),  # mid-cell
        ("command", None, "echo a; echo b", "a\nb"),
        ("command", 2, "echo a; sleep 0.5; echo b", "a"),
    ],
)
async def test_a_stream_that_ends_before_the_run_reports_its_end_is_unknown(sandbox, opensandbox, route,
                                                                           after_events, run, stdout):
    opensandbox.end_stream(route, after_events=after_events)
    execute = sandbox.execute_code if route == "code" else sandbox.execute_command
    result = await execute(run)
    assert (result.status, result.stdout, result.failure.retry_safe) == (ExecutionStatus.UNKNOWN, stdout, False)
    assert "ended before the execution reported its end" in result.error
    assert (await execute("print('next')" if route == "code" else "echo next")).status is ExecutionStatus.SUCCESS


@pytest.mark.parametrize(
    ("code", "stdout"),
    [
        ("print('a', end='')\n6 * 7", "a\n42"),  # a result starts on its own line
        ("print('a')\n6 * 7", "a\n42"),
        ("print('x', end='\\r\\n')", "x\r\n"),
    ],
)
async def test_code_output_reads_as_printed(sandbox, code, stdout):
    assert (await sandbox.execute_code(code)).stdout == stdout


async def test_first_cells_sent_together_share_one_kernel(sandbox):
    await asyncio.gather(sandbox.execute_code("x = 1"), sandbox.execute_code("y = 2"))
    assert (await sandbox.execute_code("print(x, y)")).stdout == "1 2\n"


# Code or a command that kills every process it may, the code worker among them (execd, the sandbox's first
# process, is spared): the run the worker died in says so, and later runs get a new worker in the same context.
@pytest.mark.parametrize("killer", ["cell", "command"])
async def test_a_killed_code_worker_is_said_so_and_started_anew(sandbox, killer):
    await sandbox.execute_code("x = 1")
    if killer == "cell":
        killed = await sandbox.execute_code("import os\nos.system('kill -9 -1')")
        assert killed.status is ExecutionStatus.ERROR, killed
        assert killed.error.startswith("DeadKernelError: The sandbox's code worker was killed by SIGKILL while "
                                       "running this code. It was restarted"), killed
    else:
        assert (await sandbox.execute_command("kill -9 -1")).status is ExecutionStatus.SUCCESS
    after = await sandbox.execute_code("print('x' in globals())")
    assert (after.status, after.stdout) == (ExecutionStatus.SUCCESS, "False\n"), after


@pytest.mark.parametrize(
    ("cause", "status", "retry_safe"),
    [
        (httpx.ReadTimeout("read timed out"), ExecutionStatus.TIMEOUT, None),
        (httpx.ConnectTimeout("connect timed out"), ExecutionStatus.ERROR, True),
        (httpx.PoolTimeout("no connection"), ExecutionStatus.ERROR, True),
        (httpx.ReadError("reset"), ExecutionStatus.UNKNOWN, False),
        (httpx.WriteError("broken pipe"), ExecutionStatus.UNKNOWN, False),
        (RuntimeError("wrapper"), ExecutionStatus.UNKNOWN, False),  # a ConnectError beneath does not count
        (None, ExecutionStatus.UNKNOWN, False),
    ],
)
def test_transport_failure_rule(cause, status, retry_safe):
    register_secret("hunter2-token-value")
    error_class = SandboxTimeoutException if isinstance(cause, httpx.TimeoutException) else SandboxConnectionException
    error = error_class("transport failed with hunter2-token-value")
    if cause is not None:
        if isinstance(cause, RuntimeError):
            cause.__cause__ = httpx.ConnectError("refused")
        error.__cause__ = cause
    result = OpenSandbox()._transport_failure_result(error, "x = 1", time.time(), stdout="partial")
    assert (result.status, result.stdout, result.exit_code) == (status, "partial", 1)
    assert (result.failure.retry_safe if result.failure else None) == retry_safe
    assert "hunter2-token-value" not in result.error and "[SECRET]" in result.error


# One that says nothing is named by its type: the model reads the error, and "Error: " tells it nothing.
@pytest.mark.parametrize(("raised", "error"), [(TimeoutError("lock wait gave up"), "lock wait gave up"),
                                               (TimeoutError(), "builtins.TimeoutError")])  # fmt: skip
async def test_a_timeout_error_from_elsewhere_is_no_execution_timeout(sandbox, monkeypatch, raised, error):
    async def run(*args, **kwargs):
        raise raised

    monkeypatch.setattr(sandbox._interpreter.codes, "run", run)
    monkeypatch.setattr(sandbox._sandbox.commands, "run", run)
    results = [await sandbox.execute_code("print(1)"), await sandbox.execute_command("true")]
    assert [(r.status, r.error, r.text) for r in results] == [(ExecutionStatus.ERROR, error, error)] * 2


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error"),
    [
        ("echo $GREETING; echo warn >&2", {"env": {"GREETING": "hi"}}, "success", "hi", ""),
        ("printf 'a\\nb\\n'; echo '  bad  ' >&2; exit 2", {}, "error", "a\nb", "bad"),
        ("exit 3", {}, "error", "", "CommandExecError: 3"),
        ("cat /tmp/files/in.txt", {}, "success", "uploaded", ""),
        ("sleep 30", {"timeout": 1}, "timeout", "", "Execution exceeded timeout of 1 seconds"),
        # Done when the command is: what it left holding its output is not waited for (the bound is
        # generous, far below the sleep).
        ("sleep 300 & echo hi", {"timeout": 60}, "success", "hi", ""),
    ],
)
async def test_commands(sandbox, cmd, options, status, stdout, error):
    await sandbox.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"uploaded", filename="in.txt")])
    result = await sandbox.execute_command(cmd, **options)
    assert (result.status.value, result.stdout, result.error) == (status, stdout, error)


async def test_downloads_and_failed_uploads_are_results(sandbox, opensandbox, caplog):
    opensandbox.stall("download", 5)
    with caplog.at_level(logging.WARNING):
        assert await sandbox.download_file("/tmp/files/x", timeout=1) is None
    assert [r.getMessage() for r in caplog.records] == ["Download of /tmp/files/x exceeded timeout of 1 seconds"]
    opensandbox.fail("upload", 500)
    result = await sandbox.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"1", filename="a")])
    assert result.status is ExecutionStatus.ERROR and "Failed to upload 1 file(s)" in result.error
    assert opensandbox.calls["code"] == 0


@pytest.mark.parametrize("before", ["nothing", "removed by the server", "lease ran out"])
async def test_terminate_clears_the_handles_and_closes_the_clients(sandbox, opensandbox, caplog, before):
    sandbox_id, interpreter = sandbox.sandbox_id, sandbox._interpreter
    if before == "removed by the server":
        opensandbox.call(opensandbox._kill_sandbox(opensandbox.sandboxes[sandbox_id]))
    elif before == "lease ran out":
        await sandbox.set_timeout(1)
        await eventually(lambda: sandbox_id not in opensandbox.alive_sandboxes())
    with caplog.at_level(logging.DEBUG, logger=opensandbox_sandbox.__name__):
        await sandbox.terminate()
    assert (sandbox._sandbox, sandbox._interpreter, opensandbox.calls["kill"]) == (None, None, 1)
    gone = [r for r in caplog.records if "was already gone from the server" in r.getMessage()]
    assert len(gone) == (0 if before == "nothing" else 1) and sandbox_id not in opensandbox.alive_sandboxes()
    runs = opensandbox.calls["code"]
    with pytest.raises(Exception):  # a closed client sends nothing
        await interpreter.codes.run("print(1)")
    assert opensandbox.calls["code"] == runs


async def test_terminate_keeps_the_handle_until_the_kill_lands(sandbox, opensandbox):
    opensandbox.fail("kill", 500, times=3)
    with pytest.raises(SandboxTerminateError) as info:
        await sandbox.terminate()
    assert str(info.value).startswith("Failed to terminate OpenSandbox: ") and sandbox._sandbox is not None
    sandbox_id = sandbox.sandbox_id
    await sandbox.terminate()
    assert sandbox._sandbox is None and sandbox._interpreter is None
    assert sandbox_id not in opensandbox.alive_sandboxes()


@pytest.mark.parametrize(
    ("options", "seconds", "fault", "warning"),
    [
        ({}, 900, None, None),
        ({"cls": "lite"}, 900, None, None),
        ({}, 900, ("fail", "renew", 500), "Failed to renew the lease of opensandbox sandbox {id} to 900 seconds: "),
        # the connection's request timeout is the ready timeout: a renewal that is not answered gives up (the
        # creation's own requests, under the same timeout, must be answered on a busy machine too)
        ({"ready_timeout": 20}, 900, ("stall", "renew", 60), "SandboxTimeoutException"),
        ({}, 0, None, "set_timeout(0) ignored for opensandbox sandbox {id}: seconds must be a positive number"),
        ({}, "600", None, "seconds must be a positive number"),
        ({}, float("nan"), None, "seconds must be a positive number"),
        ({}, 10**400, None, "Failed to renew the lease of opensandbox sandbox {id} to 1000"),  # beyond any date
        (None, 900, None, None),  # not started: nothing to renew
    ],
)
async def test_set_timeout_renews_the_lease_and_never_raises(make_sandbox, opensandbox, caplog, options, seconds,
                                                             fault, warning):
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite

    if options is None:
        sandbox = OpenSandbox()
    elif options.pop("cls", None):
        sandbox = await make_sandbox(OpenSandboxLite, env=image_env(), **options)
    else:
        sandbox = await make_sandbox(**options)
    if fault:
        getattr(opensandbox, fault[0])(*fault[1:])
    with caplog.at_level(logging.DEBUG, logger=opensandbox_sandbox.__name__):
        await sandbox.set_timeout(seconds)
    ours = [r for r in caplog.records if r.name == opensandbox_sandbox.__name__]
    warnings = [r.getMessage() for r in ours if r.levelno >= logging.WARNING]
    renewals = [body for route, body in opensandbox.requests if route == "renew"]
    if warning:
        assert len(warnings) == 1 and warning.format(id=sandbox.sandbox_id) in warnings[0]
    else:
        assert warnings == []
    if options is None:
        assert not opensandbox.calls and any("is not started" in r.getMessage() for r in ours)
    elif warning is None:
        (renewal,) = renewals
        granted = dt.datetime.fromisoformat(renewal["expiresAt"]) - dt.datetime.now(dt.UTC)
        assert 800 < granted.total_seconds() <= 900
        assert opensandbox.sandboxes[sandbox.sandbox_id].expires_at > time.monotonic() + 800
