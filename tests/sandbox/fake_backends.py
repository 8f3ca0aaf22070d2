"""Small backends written against the sandbox contract, for the contract's own tests."""

from vorn_tools.code_interpreter.code_sandbox import CodeInterpreterSandbox


class MinimalSandbox(CodeInterpreterSandbox):
    """Implements every abstract operation but no ``_write_files``; plays scripted results."""

    def __init__(self, *args, sandbox_id="sbx-1", results=(), **kwargs):
        super().__init__(*args, **kwargs)
        self._id = sandbox_id
        self.results = list(results)
        self.code_calls = []

    async def execute_code(
        self, code, timeout=None, files=None, upload_dir=None, on_stdout=None, on_stderr=None, **kwargs
    ):
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
