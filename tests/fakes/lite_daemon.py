"""Process bookkeeping for the OpenSandbox Lite interpreter daemons the tests start.

A daemon leads its own session, so neither the relay nor a stand-in's command
runner takes it down; the tests find every daemon started under their own
prefix and kill its process group.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import time


def daemon_pids(prefix: str) -> list[int]:
    """Live (non-zombie) processes running the daemon program under ``prefix``."""
    needle = (prefix + "_daemon.py").encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            continue
        if needle in cmdline and state != "Z":
            pids.append(int(entry))
    return pids


def sandbox_daemon_pids(sandbox_id: str) -> list[int]:
    """Live daemons of one stand-in sandbox (every sandbox's daemon has the same program path)."""
    tag = f"OPENSANDBOX_STANDIN_SANDBOX={sandbox_id}".encode()
    pids = []
    for pid in daemon_pids("/tmp/.zib_lite"):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/environ", "rb") as f:
                if tag in f.read().split(b"\0"):
                    pids.append(pid)
    return pids


def kill_daemons(prefix: str) -> None:
    """Kill the process group of every daemon under ``prefix`` and wait (bounded) until they are gone."""
    for pid in daemon_pids(prefix):
        with contextlib.suppress(OSError):
            os.killpg(pid, signal.SIGKILL)
    deadline = time.monotonic() + 10
    while daemon_pids(prefix) and time.monotonic() < deadline:
        time.sleep(0.02)


def image_env(**extra: str) -> dict[str, str]:
    """A Lite sandbox's environment whose ``python3`` is the tests' interpreter, which has IPython.

    A Lite image provides IPython to its ``python3``; on the stand-in that is the
    interpreter running the tests, whatever else ``PATH`` names. IPython keeps its
    profile in the sandbox's own ``/tmp``, not in the home of whoever runs the tests.
    """
    path = os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")
    return {"PATH": path, "IPYTHONDIR": "/tmp/.ipython", **extra}
