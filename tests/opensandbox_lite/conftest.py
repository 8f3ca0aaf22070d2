"""The Lite in-sandbox programs, run as local processes under a short temporary prefix."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, field

import pytest

from tests.fakes.lite_daemon import kill_daemons
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_scripts import CLIENT_SOURCE, DAEMON_SOURCE


@dataclass
class Relayed:
    """One finished relay run: exit status, decoded output lines and the report payload."""

    rc: int
    out: list[str]
    err: list[str]
    report: dict | None


@dataclass
class Lite:
    root: str
    prefix: str
    env: dict[str, str]
    running: list[subprocess.Popen] = field(default_factory=list)

    def cell(self, code: str) -> tuple[str, str]:
        nonce = uuid.uuid4().hex
        path = f"{self.prefix}_cell_{nonce}.py"
        with open(path, "w", encoding="utf-8") as f:
            f.write(code)
        return path, nonce

    def start(self, *args: str) -> subprocess.Popen:
        command = [sys.executable, "-u", self.prefix + "_client.py", self.prefix, *args]
        proc = subprocess.Popen(command, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.running.append(proc)
        return proc

    def relay(self, *args: str) -> subprocess.CompletedProcess:
        proc = self.start(*args)
        stdout, stderr = proc.communicate(timeout=90)
        return subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr)

    def run(self, code: str) -> Relayed:
        path, nonce = self.cell(code)
        return self.finish(self.start("run", path, nonce), nonce)

    def finish(self, proc: subprocess.Popen, nonce: str) -> Relayed:
        stdout, stderr = proc.communicate(timeout=90)
        return parse(proc.returncode, stdout, stderr, nonce)

    def wait_for(self, name: str) -> None:
        deadline = time.monotonic() + 60
        while not os.path.exists(self.root + "/" + name):
            assert time.monotonic() < deadline, f"{name} never appeared"
            time.sleep(0.01)

    def pid(self) -> int:
        with open(self.prefix + ".pid") as f:
            return int(f.read())


def parse(rc: int, stdout: bytes, stderr: bytes, nonce: str) -> Relayed:
    marker = f"ZIB_LITE_REPORT:{nonce}:"
    out = [json.loads(line) for line in stdout.decode().splitlines()]
    err, report = [], None
    for line in stderr.decode().splitlines():
        if line.startswith(marker):
            report = json.loads(line[len(marker) :])
        else:
            err.append(json.loads(line) if line.startswith('"') else line)
    return Relayed(rc, out, err, report)


def _open_lite() -> Lite:
    # Unix socket paths are short: keep the prefix well under the limit.
    root = tempfile.mkdtemp(prefix="zl", dir="/tmp")
    prefix = root + "/p"
    for suffix, source in (("_daemon.py", DAEMON_SOURCE), ("_client.py", CLIENT_SOURCE)):
        with open(prefix + suffix, "w") as f:
            f.write(source)
    return Lite(root, prefix, {**os.environ, "IPYTHONDIR": root + "/ipy"})


def _close_lite(lite: Lite) -> None:
    for proc in lite.running:
        if proc.poll() is None:
            proc.send_signal(signal.SIGCONT)
            proc.kill()
            proc.wait(10)
    kill_daemons(lite.prefix)
    shutil.rmtree(lite.root, ignore_errors=True)


@pytest.fixture
def lite() -> Iterator[Lite]:
    env = _open_lite()
    yield env
    _close_lite(env)


@pytest.fixture(scope="module")
def shared_lite() -> Iterator[Lite]:
    """One daemon for tests that only read its output; launched up front."""
    env = _open_lite()
    assert env.relay("launch").returncode == 0
    yield env
    _close_lite(env)
