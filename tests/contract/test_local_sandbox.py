"""What the local test sandbox does beyond the shared contract (it backs the end-to-end tests)."""

import os

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxExecutionError

STUBBORN = "import time\nwhile True:\n    try:\n        time.sleep(5)\n    except KeyboardInterrupt:\n        pass"


@pytest.fixture
async def local(local_backend):
    return await local_backend.create()


async def test_output_lines_stream_to_the_callbacks(local):
    out, err = [], []
    code = "import sys\nprint('a')\nprint('b', file=sys.stderr)\nprint('c\\nd', end='')"
    result = await local.execute_code(code, on_stdout=out.append, on_stderr=err.append)
    assert (out, err, result.stdout, result.stderr) == (["a", "c", "d"], ["b"], "a\nc\nd", "b\n")


@pytest.mark.parametrize(
    ("code", "status"), [(STUBBORN, ExecutionStatus.TIMEOUT), ("import os\nos._exit(7)", ExecutionStatus.UNKNOWN)]
)
async def test_a_lost_worker_is_replaced_without_its_state(local, code, status):
    await local.execute_code("kept = 1")
    result = await local.execute_code(code, timeout=1)
    assert result.status is status
    assert result.failure is None if status is ExecutionStatus.TIMEOUT else result.failure.retry_safe is False
    assert (await local.execute_code("print('kept' in globals())")).stdout == "False\n"


async def test_files_and_commands_stay_inside_the_root(local):
    root = local.root
    with pytest.raises(SandboxExecutionError, match="outside the sandbox filesystem"):
        await local.execute_code("1", files=[Attachment.from_bytes(bytes=b"x", filename="x")], upload_dir=root + "/..")
    assert await local.download_file("/etc/hostname") is None
    await local.execute_code("1", files=[Attachment.from_bytes(bytes=b"bare", filename="bare.txt")], upload_dir="")
    assert await local.download_file("bare.txt") == b"bare"
    done = await local.execute_command("pwd; cat bare.txt; echo $GREETING; exit 3", env={"GREETING": "hi"})
    assert (done.status, done.stdout) == (ExecutionStatus.ERROR, f"{root}\nbarehi\n")
    assert (await local.execute_command("sleep 30", timeout=0.5)).status is ExecutionStatus.TIMEOUT
    await local.terminate()
    assert not os.path.exists(root) and local.sandbox_id is None
