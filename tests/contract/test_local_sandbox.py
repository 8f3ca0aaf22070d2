"""What the local test sandbox does beyond the shared contract (it backs the end-to-end tests)."""

import os

import pytest
from vorn_inference.schema import Attachment

from tests.fakes.local_sandbox import LocalSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxExecutionError


@pytest.fixture
async def local():
    sandbox = await LocalSandbox.create()
    yield sandbox
    await sandbox.terminate()


async def test_output_lines_stream_to_the_callbacks(local):
    out, err = [], []
    code = "import sys\nprint('a')\nprint('b', file=sys.stderr)\nprint('c\\nd', end='')"
    result = await local.execute_code(code, on_stdout=out.append, on_stderr=err.append)
    assert (out, err) == (["a", "c", "d"], ["b"])
    assert (result.stdout, result.stderr) == ("a\nc\nd", "b\n")


async def test_code_that_ignores_the_interrupt_loses_its_worker(local):
    await local.execute_code("kept = 1")
    stubborn = "import time\nwhile True:\n    try:\n        time.sleep(5)\n    except KeyboardInterrupt:\n        pass"
    assert (await local.execute_code(stubborn, timeout=1)).status is ExecutionStatus.TIMEOUT
    assert (await local.execute_code("print('kept' in globals())")).stdout == "False\n"


async def test_a_dying_worker_is_unknown_then_replaced(local):
    result = await local.execute_code("import os\nos._exit(7)")
    assert result.status is ExecutionStatus.UNKNOWN
    assert result.failure is not None and result.failure.retry_safe is False
    assert (await local.execute_code("print(1)")).stdout == "1\n"


async def test_paths_outside_the_sandbox_filesystem_are_refused(local):
    outside = Attachment.from_bytes(bytes=b"x", filename="escape.txt")
    with pytest.raises(SandboxExecutionError, match="outside the sandbox filesystem"):
        await local.execute_code("1", files=[outside], upload_dir=os.path.dirname(local.root))
    assert not os.path.exists(os.path.join(os.path.dirname(local.root), "escape.txt"))
    assert await local.download_file("/etc/hostname") is None
    assert await local.download_file(local.root + "/../" + os.path.basename(local.root) + "/files") is None


async def test_relative_paths_resolve_in_the_root(local):
    await local.execute_code("1", files=[Attachment.from_bytes(bytes=b"bare", filename="bare.txt")], upload_dir="")
    assert (await local.execute_code("print(open('bare.txt').read())")).stdout == "bare\n"
    assert await local.download_file("bare.txt") == b"bare"


async def test_commands_run_in_the_root_with_env_exit_status_and_timeout(local):
    ok = await local.execute_command("pwd; echo $GREETING", env={"GREETING": "hi"})
    assert ok.status is ExecutionStatus.SUCCESS and ok.stdout == f"{local.root}\nhi\n"
    failed = await local.execute_command("echo oops >&2; exit 3")
    assert failed.status is ExecutionStatus.ERROR and failed.stderr == "oops\n" and "3" in failed.error
    slow = await local.execute_command("sleep 30", timeout=0.5)
    assert slow.status is ExecutionStatus.TIMEOUT


async def test_terminate_removes_the_filesystem():
    sandbox = await LocalSandbox.create()
    root = sandbox.root
    await sandbox.terminate()
    assert not os.path.exists(root) and sandbox.sandbox_id is None
