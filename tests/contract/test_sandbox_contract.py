"""The behaviours every CodeInterpreterSandbox backend shares."""

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import build_upload_path
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, Stage


async def test_run_reports_output_as_a_success(sandbox):
    assert isinstance(sandbox, CodeInterpreterSandbox)
    result = await sandbox.execute_code("print(6 * 7)")
    assert result.status is ExecutionStatus.SUCCESS
    assert (result.stdout, result.text, result.error, result.exit_code) == ("42\n", "42\n", "", 0)
    assert result.failure is None and sandbox.sandbox_id


async def test_state_persists_between_executions(sandbox):
    await sandbox.execute_code("counter = 41")
    result = await sandbox.execute_code("counter += 1\nprint(counter)")
    assert result.stdout == "42\n"


async def test_uploaded_files_are_where_the_upload_path_says(sandbox):
    files = [
        Attachment.from_bytes(bytes=b"a,b\n1,2\n", filename="data.csv"),
        Attachment.from_bytes(bytes=b"x = 1\n", filename="pkg/mod.py"),
    ]
    paths = [build_upload_path(f.filename, None, sandbox._DEFAULT_UPLOAD_DIR) for f in files]
    code = f"print(repr([open(p, 'rb').read() for p in {paths!r}]))"
    result = await sandbox.execute_code(code, files=files)
    assert result.status is ExecutionStatus.SUCCESS, result.error
    assert result.stdout == repr([b"a,b\n1,2\n", b"x = 1\n"]) + "\n"


async def test_explicit_upload_dir_wins(sandbox):
    target = build_upload_path("sub", None, sandbox._DEFAULT_UPLOAD_DIR)
    files = [Attachment.from_bytes(bytes=b"hello", filename="note.txt")]
    result = await sandbox.execute_code(f"print(open({target + '/note.txt'!r}).read())", files=files, upload_dir=target + "/")
    assert result.stdout == "hello\n", result.error


async def test_download_returns_written_bytes_or_none(sandbox):
    path = build_upload_path("out/result.bin", None, sandbox._DEFAULT_UPLOAD_DIR)
    code = f"import os\nos.makedirs(os.path.dirname({path!r}), exist_ok=True)\nopen({path!r}, 'wb').write(bytes(range(256)))"
    assert (await sandbox.execute_code(code)).status is ExecutionStatus.SUCCESS
    assert await sandbox.download_file(path) == bytes(range(256))
    assert await sandbox.download_file(path + ".missing") is None


async def test_timeout_is_a_result_and_the_sandbox_stays_usable(sandbox):
    result = await sandbox.execute_code("import time\nprint('started', flush=True)\ntime.sleep(60)", timeout=1)
    assert result.status is ExecutionStatus.TIMEOUT
    assert result.exit_code == 1 and result.failure is None and result.error
    after = await sandbox.execute_code("print('alive')")
    assert after.stdout == "alive\n"


@pytest.mark.parametrize(
    ("code", "marker"),
    [("1 / 0", "ZeroDivisionError"), ("def broken(:\n  pass", "SyntaxError"), ("raise SystemExit(3)", "SystemExit")],
)
async def test_failing_code_is_an_error_result(sandbox, code, marker):
    result = await sandbox.execute_code(code)
    assert result.status is ExecutionStatus.ERROR
    assert marker in result.error and result.text == result.error and result.exit_code == 1
    assert (await sandbox.execute_code("print('still here')")).stdout == "still here\n"


async def test_use_before_start_raises_not_initialized(backend):
    unstarted = backend.unstarted()
    assert unstarted.sandbox_id is None
    with pytest.raises(SandboxNotInitializedError) as info:
        await unstarted.execute_code("print(1)")
    assert info.value.stage is Stage.NOT_INITIALIZED


async def test_terminate_twice_and_refuse_a_non_positive_cap(sandbox):
    with pytest.raises(ValueError):
        await sandbox.terminate(timeout=0)
    await sandbox.terminate()
    await sandbox.terminate()
    with pytest.raises(SandboxNotInitializedError):
        await sandbox.execute_code("print(1)")
