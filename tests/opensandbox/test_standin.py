"""What the OpenSandbox stand-in needs of the machine, and what its sandbox processes start with.

Each case runs the stand-in in a process of its own: the signals it ignores and the PATH it
searches are that process's, never those of the stand-in the rest of the session shares.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Started with SIGINT and SIGQUIT ignored, as a background job is: the sandbox's processes (a
# command, and the code route's worker) must not inherit that.
SIGNALS = """import asyncio, signal
signal.signal(signal.SIGINT, signal.SIG_IGN)
signal.signal(signal.SIGQUIT, signal.SIG_IGN)
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

async def main():
    with OpenSandboxStandIn() as service:
        sandbox = await OpenSandbox.create(**service.connection_options(), create_backoff=0.0)
        try:
            command = await sandbox.execute_command("grep SigIgn /proc/self/status")
            code = await sandbox.execute_code("print(open('/proc/self/status').read())")
        finally:
            await sandbox.terminate()
    for result in (command, code):
        print([line for line in result.stdout.splitlines() if line.startswith("SigIgn")])

asyncio.run(main())
"""


def _run(program: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", program], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=120)  # fmt: skip


def test_sandbox_processes_start_with_default_signal_dispositions() -> None:
    proc = _run(SIGNALS)
    assert proc.returncode == 0, proc.stderr
    masks = [eval(line)[0].split()[1] for line in proc.stdout.splitlines()]
    assert [int(mask, 16) & (1 << 1 | 1 << 2) for mask in masks] == [0, 0], proc.stdout  # bits of SIGINT, SIGQUIT


def test_without_a_way_to_make_a_namespace_the_stand_in_fails_at_once_saying_what_it_needs(tmp_path: Path) -> None:
    fake = tmp_path / "unshare"
    fake.write_text("#!/bin/sh\necho 'unshare: unshare failed: Operation not permitted' >&2\nexit 1\n")
    fake.chmod(0o755)
    env = {**os.environ, "PATH": f"{tmp_path}{os.pathsep}{os.environ['PATH']}"}
    proc = _run("from tests.fakes.opensandbox_server import OpenSandboxStandIn\nOpenSandboxStandIn().start()", env)
    assert proc.returncode != 0
    *_, last = proc.stderr.strip().splitlines()
    assert last.startswith("RuntimeError: The OpenSandbox stand-in runs each sandbox's processes "
                           "in a private mount"), last
    assert "unshare -m: unshare: unshare failed: Operation not permitted" in last
    assert "unshare -r, then unshare -m: unshare: unshare failed: Operation not permitted" in last
    assert "It needs root, or, for a regular user, a kernel that allows unprivileged user namespaces" in last


# As a regular user, the user namespace's holder killed from outside is replaced: later sandboxes run.
HOLDER_KILLED = """import asyncio
from tests.fakes import opensandbox_server
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

async def main():
    with opensandbox_server.OpenSandboxStandIn() as service:
        holder = opensandbox_server._HOLDERS[-1]
        holder.kill()
        holder.wait()
        sandbox = await OpenSandbox.create(**service.connection_options(), create_backoff=0.0)
        try:
            print((await sandbox.execute_command("echo ran")).stdout.strip())
        finally:
            await sandbox.terminate()
        print(opensandbox_server._HOLDERS[-1].pid != holder.pid)

asyncio.run(main())
"""


@pytest.mark.skipif(os.geteuid() == 0, reason="root needs no user namespace, so there is no holder to kill")
def test_a_killed_namespace_holder_is_replaced() -> None:
    proc = _run(HOLDER_KILLED)
    assert (proc.returncode, proc.stdout.split()) == (0, ["ran", "True"]), proc.stderr
