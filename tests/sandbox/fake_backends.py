"""Small backends written against the sandbox contract, for the contract's own tests."""

import asyncio
import json
import time
from pathlib import Path

from vorn_tools.code_interpreter.code_sandbox import CodeInterpreterSandbox, ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import calculate_duration_ms, resolve_timeout


class MinimalSandbox(CodeInterpreterSandbox):
    """Implements every abstract operation but no ``_write_files``."""

    def __init__(self, *args, sandbox_id="sbx-1", results=(), **kwargs):
        super().__init__(*args, **kwargs)
        self._id = sandbox_id
        self.results = list(results)
        self.code_calls = []

    async def execute_code(
        self, code, timeout=None, files=None, upload_dir=None, on_stdout=None, on_stderr=None, **kwargs
    ):
        if files:
            await self._upload_files(files, upload_dir)
        self.code_calls.append({"code": code, "timeout": timeout, "files": files, **kwargs})
        outcome = self.results.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    async def execute_command(self, cmd, *, env=None, timeout=None):
        return await super().execute_command(cmd, env=env, timeout=timeout)

    async def set_timeout(self, seconds):
        return None

    @property
    def sandbox_id(self):
        return self._id

    async def terminate(self, *, timeout=10):
        return None

    async def download_file(self, file_path, *, timeout=30):
        return None


class RecordingSandbox(MinimalSandbox):
    """Records each batch handed to ``_write_files``; fails or hangs on request."""

    _BACKEND = "fake"

    def __init__(self, *args, write_error=None, write_gate=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.write_error = write_error
        self.write_gate = write_gate
        self.writes = []

    async def _write_files(self, entries):
        self.writes.append(entries)
        if self.write_gate is not None:
            await self.write_gate.wait()
        if self.write_error is not None:
            raise self.write_error


# Runs the code read from stdin; an escaping exception is reported on the last
# stderr line as JSON, the way a kernel reports an error name and value.
_RUNNER = """
import json, sys
code = sys.stdin.read()
try:
    exec(compile(code, "<cell>", "exec"), {"__name__": "__main__"})
except BaseException as exc:
    sys.stderr.write("\\n" + json.dumps({"error": type(exc).__name__ + ": " + str(exc)}) + "\\n")
    sys.exit(1)
"""


class LocalPythonSandbox(MinimalSandbox):
    """Runs each code execution in a child interpreter and writes uploads under ``root``."""

    _BACKEND = "local"

    def __init__(self, python, root: Path, env, *args, **kwargs):
        super().__init__(*args, sandbox_id="local-1", **kwargs)
        self.python = str(python)
        self.root = root
        self.env = env

    async def execute_code(
        self, code, timeout=None, files=None, upload_dir=None, on_stdout=None, on_stderr=None, **kwargs
    ):
        started = time.time()
        if files:
            await self._upload_files(files, upload_dir)
        proc = await asyncio.create_subprocess_exec(
            self.python, "-c", _RUNNER,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE,
            env=self.env, cwd=self.root,
        )
        try:
            out, err = await asyncio.wait_for(proc.communicate(code.encode()), resolve_timeout(timeout))
        except TimeoutError:
            proc.kill()
            await proc.wait()
            return ExecutionResult.create(ExecutionStatus.TIMEOUT, code, duration_ms=calculate_duration_ms(started))
        stdout, stderr = out.decode(), err.decode()
        error = ""
        if proc.returncode != 0:
            lines = stderr.rstrip("\n").rsplit("\n", 1)
            error = json.loads(lines[-1])["error"]
            stderr = lines[0] if len(lines) > 1 else ""
        status = ExecutionStatus.SUCCESS if proc.returncode == 0 else ExecutionStatus.ERROR
        return ExecutionResult.create(
            status, code, stdout=stdout, stderr=stderr, error=error, duration_ms=calculate_duration_ms(started)
        )

    async def _write_files(self, entries):
        for path, data in entries:
            target = self.root / path.lstrip("/")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)

    async def download_file(self, file_path, *, timeout=30):
        target = self.root / file_path.lstrip("/")
        return target.read_bytes() if target.is_file() else None
