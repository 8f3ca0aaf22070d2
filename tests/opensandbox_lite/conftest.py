"""The Lite in-sandbox programs, run as local processes under a short temporary prefix."""

from __future__ import annotations

import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from collections.abc import Iterator
from types import SimpleNamespace

import pytest

from tests.fakes.lite_daemon import kill_daemons
from tests.fakes.standin import DEFAULT_SIGNALS
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import _PREFIX, OpenSandboxLite
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_scripts import DAEMON_SOURCE


def patched(source: str, old: str, new: str) -> str:
    """``source`` with the whole lines ``old``, found there exactly once, replaced by ``new``.

    A line that has since changed fails the test that patches it, rather than leave the program as it was.
    """
    old_lines, new_lines = ("\n" + text.removesuffix("\n") + "\n" for text in (old, new))
    assert ("\n" + source).count(old_lines) == 1, f"{old!r} is not a line of the program, once"
    return ("\n" + source).replace(old_lines, new_lines)[1:]


class Lite:
    def __init__(self) -> None:
        # Unix socket paths are short: keep the prefix well under the limit.
        self.root = tempfile.mkdtemp(prefix="zl", dir="/tmp")
        self.prefix = self.root + "/p"
        with open(self.prefix + "_daemon.py", "w") as f:
            f.write(DAEMON_SOURCE)
        # Relays start in a directory cells write to, and which the sandbox's PYTHONPATH
        # names, as a sandbox whose cells import what they write there has it.
        self.env = {**os.environ, "IPYTHONDIR": self.root + "/ipy", "PYTHONPATH": self.root}
        self.running: list[subprocess.Popen] = []

    def cell(self, code: str) -> tuple[str, str]:
        nonce = uuid.uuid4().hex
        with open(f"{self.prefix}_cell_{nonce}.py", "w", encoding="utf-8") as f:
            f.write(code)
        return f.name, nonce

    def start(self, *args: str) -> subprocess.Popen:
        """The relay, started with the library's own command line on this prefix."""
        command = shlex.split(OpenSandboxLite._relay(*args))
        command[0], command[command.index(_PREFIX)] = sys.executable, self.prefix
        self.running.append(subprocess.Popen([*DEFAULT_SIGNALS, *command], cwd=self.root, env=self.env,
                                             stdout=subprocess.PIPE, stderr=subprocess.PIPE))  # fmt: skip
        return self.running[-1]

    def relay(self, *args: str) -> subprocess.CompletedProcess:
        proc = self.start(*args)
        stdout, stderr = proc.communicate(timeout=90)
        return subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr)

    def run(self, code: str) -> SimpleNamespace:
        path, nonce = self.cell(code)
        return self.finish(self.start("run", path, nonce), nonce)

    def finish(self, proc: subprocess.Popen, nonce: str) -> SimpleNamespace:
        """Exit status, decoded output lines and report payload of one relay "run"."""
        stdout, stderr = proc.communicate(timeout=90)
        marker = f"ZIB_LITE_REPORT:{nonce}:"
        lines = stderr.decode().splitlines()
        err = [line for line in lines if not line.startswith(marker)]
        notes = [line[len(marker) :] for line in lines if line.startswith(marker)]
        reports = [json.loads(note) for note in notes if note != "started"]
        return SimpleNamespace(rc=proc.returncode, out=[json.loads(line) for line in stdout.decode().splitlines()],
                               err=[json.loads(line) for line in err], report=reports[-1] if reports else None,
                               started=notes[:1] == ["started"])  # fmt: skip

    def wait_for(self, name: str) -> None:
        deadline = time.monotonic() + 60
        while not os.path.exists(self.root + "/" + name):
            assert time.monotonic() < deadline, f"{name} never appeared"
            time.sleep(0.01)

    def pid(self) -> int:
        with open(self.prefix + ".pid") as f:
            return int(f.read())

    def close(self) -> None:
        for proc in self.running:
            if proc.poll() is None:
                proc.kill()
                proc.wait(10)
        kill_daemons(self.prefix)
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def lite() -> Iterator[Lite]:
    env = Lite()
    try:
        yield env
    finally:
        env.close()


@pytest.fixture(scope="module")
def shared_lite() -> Iterator[Lite]:
    """One daemon for tests that only read its output; launched up front."""
    env = Lite()
    try:
        assert env.relay("launch").returncode == 0
        yield env
    finally:
        env.close()
