"""The run-python stand-in behind ``PydanticExecutorSandbox``, and a check that no child outlives a test."""

from __future__ import annotations

import asyncio
import json
import os
import shlex
import signal
import sys
import warnings
from pathlib import Path

import pytest

from vorn_tools.code_interpreter.code_sandbox.pydantic_executor_sandbox import PydanticExecutorSandbox

SERVER = Path(__file__).resolve().parents[1] / "fakes" / "run_python_server.py"


class RunPython:
    """Starts executors on the stand-in (the launcher takes the place of "deno") and reads its log."""

    def __init__(self, directory: Path) -> None:
        self.launcher = directory / "run-python"
        self.launcher.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} {shlex.quote(str(SERVER))} "$@"\n')
        self.launcher.chmod(0o755)
        self.log = directory / "server.log"
        self.made: list[PydanticExecutorSandbox] = []

    def start(self, mode: str = "", **options) -> PydanticExecutorSandbox:
        env = {**os.environ, "FAKE_RUN_PYTHON_MODE": mode, "FAKE_RUN_PYTHON_LOG": str(self.log)}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            sandbox = PydanticExecutorSandbox(str(self.launcher), **{"env": env, **options})
        self.made.append(sandbox)
        return sandbox

    def entries(self) -> list:
        return [json.loads(line) for line in self.log.read_text().splitlines()] if self.log.exists() else []

    def pids(self, key: str = "pid") -> list[int]:
        """The stand-in servers started (or, with "orphan", the children they left running)."""
        return [entry[key] for entry in self.entries() if isinstance(entry, dict) and key in entry]

    async def has_read(self, text: str) -> None:
        """Return once a stand-in has read a line holding ``text``."""
        for _ in range(3000):
            if any(text in line for line in self.entries() if isinstance(line, str)):
                return
            await asyncio.sleep(0.01)
        raise AssertionError(f"no stand-in read a line holding {text!r}")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)  # a zombie answers too: a child must have been reaped
    except ProcessLookupError:
        return False
    return True


@pytest.fixture
async def run_python(tmp_path: Path):
    stand_in = RunPython(tmp_path)
    yield stand_in
    for sandbox in stand_in.made:
        await sandbox.terminate(timeout=5)
    leaked = [pid for pid in stand_in.pids() if _alive(pid)]
    for pid in leaked:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    assert not leaked, f"stand-in processes left behind: {leaked}"
