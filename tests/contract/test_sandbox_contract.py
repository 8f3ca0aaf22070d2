"""The behaviours every CodeInterpreterSandbox backend shares."""

from decimal import Decimal
from fractions import Fraction

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import build_upload_path
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, Stage


async def test_runs_keep_state_and_report_output(sandbox):
    first = await sandbox.execute_code("counter = 41\nprint(6 * 7)")
    assert first.status is ExecutionStatus.SUCCESS and first.failure is None and sandbox.sandbox_id
    assert (first.stdout, first.text, first.error, first.exit_code) == ("42\n", "42\n", "", 0)
    assert (await sandbox.execute_code("counter += 1\nprint(counter)")).stdout == "42\n"
    for limit in (2_147_483, 1e15):  # the longest limit every layer holds, and beyond: no practical limit
        assert (await sandbox.execute_code("print(counter)", timeout=limit)).stdout == "42\n"
        assert (await sandbox.execute_command("echo ok", timeout=limit)).stdout.strip() == "ok"


@pytest.mark.parametrize("limit", [Decimal("30"), Fraction(61, 2)], ids=["decimal", "fraction"])
async def test_any_real_number_is_a_limit_in_seconds(sandbox, limit):
    # Any real number, as the teardown cap takes one; a wait given a Decimal or a Fraction itself fails.
    path = build_upload_path("limits/ok.txt", None, sandbox._DEFAULT_UPLOAD_DIR)
    code = f"import os\nos.makedirs(os.path.dirname({path!r}), exist_ok=True)\nopen({path!r}, 'w').write('ok')\nprint('ran')"
    run = await sandbox.execute_code(code, timeout=limit)
    assert (run.status, run.stdout, run.error) == (ExecutionStatus.SUCCESS, "ran\n", "")
    command = await sandbox.execute_command("echo ok", timeout=limit)
    assert (command.status, command.stdout.strip(), command.error) == (ExecutionStatus.SUCCESS, "ok", "")
    assert await sandbox.download_file(path, timeout=limit) == b"ok"
    cut = await sandbox.execute_code("import time\nprint('started', flush=True)\ntime.sleep(60)", timeout=limit / 30)
    assert cut.status is ExecutionStatus.TIMEOUT


@pytest.mark.parametrize("explicit", [False, True])
async def test_uploads_land_where_the_upload_path_says(sandbox, explicit):
    files = [Attachment.from_bytes(bytes=b"1,2\n", filename="a.csv"),
             Attachment.from_bytes(bytes=b"x", filename="pkg/m.py")]  # fmt: skip
    upload_dir = build_upload_path("sub", None, sandbox._DEFAULT_UPLOAD_DIR) + "/" if explicit else None
    paths = [build_upload_path(f.filename, upload_dir, sandbox._DEFAULT_UPLOAD_DIR) for f in files]
    code = f"print(repr([open(p, 'rb').read() for p in {paths!r}]))"
    result = await sandbox.execute_code(code, files=files, upload_dir=upload_dir)
    assert result.stdout == repr([b"1,2\n", b"x"]) + "\n", result.error


async def test_download_returns_written_bytes_or_none(sandbox):
    path = build_upload_path("out/result.bin", None, sandbox._DEFAULT_UPLOAD_DIR)
    code = f"import os\nos.makedirs(os.path.dirname({path!r}), exist_ok=True)\n"
    code += f"open({path!r}, 'wb').write(bytes(range(256)))"
    assert (await sandbox.execute_code(code)).status is ExecutionStatus.SUCCESS
    assert await sandbox.download_file(path) == bytes(range(256))
    assert await sandbox.download_file(path + ".missing") is None


@pytest.mark.parametrize(
    ("code", "status", "marker"),
    [
        ("import time\nprint('started', flush=True)\ntime.sleep(60)", ExecutionStatus.TIMEOUT, ""),
        ("1 / 0", ExecutionStatus.ERROR, "ZeroDivisionError"),
        ("def broken(:\n  pass", ExecutionStatus.ERROR, "SyntaxError"),
        ("raise SystemExit(3)", ExecutionStatus.ERROR, "SystemExit"),
    ],
)
async def test_failures_are_results_and_the_sandbox_stays_usable(sandbox, code, status, marker):
    # A second for the run that must outlast it; a failure must end within its limit on a busy machine too.
    result = await sandbox.execute_code(code, timeout=1 if status is ExecutionStatus.TIMEOUT else 60)
    assert result.status is status and marker in result.error and result.error
    assert result.text == result.error and result.exit_code == 1 and result.failure is None
    assert (await sandbox.execute_code("print('alive')")).stdout == "alive\n"


async def test_use_before_start_and_after_terminate_raises_not_initialized(backend, sandbox):
    unstarted = backend.unstarted()
    for target in (unstarted, sandbox):  # refused before anything starts or is sent
        with pytest.raises(TypeError, match=r"^code must be a str, got NoneType$"):
            await target.execute_code(None)
    for run in (sandbox.execute_code, sandbox.execute_command):
        with pytest.raises(TypeError, match=r"^timeout must be a number of seconds or None, got str$"):
            await run("pass", timeout="5")
    assert unstarted.sandbox_id is None
    with pytest.raises(SandboxNotInitializedError) as info:
        await backend.needs_start(unstarted)
    assert info.value.stage is Stage.NOT_INITIALIZED
    await sandbox.terminate()
    await sandbox.terminate()
    with pytest.raises(SandboxNotInitializedError):
        await backend.needs_start(sandbox)


_BAD_CAPS = [(0, ValueError, r"^`timeout` must be positive$"),
             (True, ValueError, r"^timeout must be a number of seconds, got True$"),
             ("5", TypeError, r"^timeout must be a number of seconds, got str$"),
             (Decimal("NaN"), ValueError, r"^`timeout` must be positive$")]  # fmt: skip


# Too large for a float: no limit, as an infinity; a Decimal: as many seconds, as a float.
@pytest.mark.parametrize("cap", [10**400, Decimal("7.5")], ids=["beyond-float", "decimal"])
async def test_terminate_checks_its_cap_before_ending_a_sandbox(backend, sandbox, cap):
    calls = (lambda: sum(backend.service.calls.values())) if backend.service else (lambda: 0)
    for bad, error, message in _BAD_CAPS:  # refused before anything is torn down
        with pytest.raises(error, match=message):
            await sandbox.terminate(timeout=bad)
    assert (await sandbox.execute_code("print(1)")).stdout == "1\n"
    ended = backend.service.calls[backend.end_route] if backend.service else 0
    await sandbox.terminate(timeout=cap)
    if backend.service:
        assert backend.service.calls[backend.end_route] == ended + 1
    with pytest.raises(SandboxNotInitializedError):
        await backend.needs_start(sandbox)
    for target in (backend.unstarted(), sandbox):  # nothing to end: only some backends check the cap
        before = calls()
        for bad, error, message in _BAD_CAPS:
            if backend.checks_idle_cap:
                with pytest.raises(error, match=message):
                    await target.terminate(timeout=bad)
            else:
                assert await target.terminate(timeout=bad) is None
        assert calls() == before
