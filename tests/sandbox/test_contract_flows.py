"""The contract's results and shared flows (upload, package install) through a small fake backend."""

import asyncio
import contextlib
import logging

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox import CodeInterpreterSandbox, ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox import SandboxExecutionError, Stage
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code
from vorn_tools.code_interpreter.redaction import register_secret

CONTRACT_LOGGER = "vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox"
SECRET = "upload-secret-value-9f8e7d6c"


class FakeSandbox(CodeInterpreterSandbox):  # plays scripted runs, records upload batches; on_write raises or hangs
    _BACKEND, _DEFAULT_UPLOAD_DIR = "fake", "/files"

    def __init__(self, *args, sandbox_id="sbx-1", results=(), on_write=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._id, self.results, self.on_write, self.code_calls, self.writes = sandbox_id, list(results), on_write, [], []

    async def execute_code(self, code, timeout=None, *args, **kwargs):
        self.code_calls.append((code, timeout))
        if isinstance(outcome := self.results.pop(0), BaseException):
            raise outcome
        return outcome

    async def _write_files(self, entries):
        self.writes.append(entries)
        if isinstance(self.on_write, BaseException):
            raise self.on_write
        if self.on_write is not None:
            await self.on_write()

    sandbox_id = property(lambda self: self._id)
    execute_command = set_timeout = terminate = download_file = None  # never called by these flows


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger=CONTRACT_LOGGER)
    return lambda: [r for r in caplog.records if r.name == CONTRACT_LOGGER]


def _files(*names):
    return [Attachment(filename=name, data=name.encode()) for name in names]


def _upload_span(spans):
    (span,) = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.file.upload"]
    return dict(span.attributes)


_RAW = f"program printed {SECRET}"


@pytest.mark.parametrize(
    ("status", "stdout", "error", "text", "stored_error"),
    [
        (ExecutionStatus.SUCCESS, "out", "", "out", ""),
        (ExecutionStatus.TIMEOUT, "", "", "", ""),
        (ExecutionStatus.UNKNOWN, "partial", "", "partial", ""),
        (ExecutionStatus.ERROR, "out", ValueError(""), "out", ""),  # empty masked message
        (ExecutionStatus.ERROR, "", ConnectionError(f"key {SECRET}"), "key [SECRET]", "key [SECRET]"),
        (ExecutionStatus.ERROR, "", _RAW, _RAW, _RAW),  # a string is the program's own output: not masked
    ],
)
def test_create_derives_text_exit_code_and_masks_exceptions_only(status, stdout, error, text, stored_error):
    register_secret(SECRET)
    result = ExecutionResult.create(status, "c", stdout, error=error)
    assert (result.text, result.error, result.exit_code) == (text, stored_error, int(status is not ExecutionStatus.SUCCESS))


async def test_upload_writes_one_batch_in_order(spans, records):
    names, sandbox = ["a.csv", "tools/x.py", "..hidden", "a..b/c"], FakeSandbox()
    await sandbox._upload_files(_files(*names), "/work/")
    assert sandbox.writes == [[("/work/" + name, name.encode()) for name in names]] and records() == []
    assert _upload_span(spans) == {"zib_sandbox.backend": "fake", "zib_sandbox.file_count": 4, "zib_sandbox.total_bytes": 29,
                                      "zib_sandbox.sandbox_id": "sbx-1", "zib_sandbox.status": "success"}  # fmt: skip


async def test_failed_write_is_logged_masked_and_raised(spans, records):
    register_secret(SECRET)
    write_error = ConnectionError(f"upstream refused token {SECRET}")
    with pytest.raises(SandboxExecutionError) as info:
        await FakeSandbox(on_write=write_error, sandbox_id=None)._upload_files(_files("a.csv", "b.csv"))
    expected = "Failed to upload 2 file(s) to sandbox backend 'fake': upstream refused token [SECRET]"
    assert (str(info.value), info.value.stage, info.value.__cause__) == (expected, Stage.EXECUTION, write_error)
    (record,) = records()
    assert (record.levelno, record.getMessage()) == (logging.WARNING, expected)
    assert SECRET not in record.exc_text and "ConnectionError" in record.exc_text
    assert (record.error_code, record.backend, record.sandbox_id, record.file_count) == (Stage.EXECUTION, "fake", None, 2)
    assert _upload_span(spans)["zib_sandbox.status"] == "error"


async def test_cancelled_write_propagates_unwrapped(records, spans):
    sandbox = FakeSandbox(on_write=asyncio.Event().wait)
    task = asyncio.create_task(sandbox._upload_files(_files("a")))
    async with asyncio.timeout(30):
        while not sandbox.writes:
            await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert records() == [] and "zib_sandbox.status" not in _upload_span(spans)


async def test_a_download_whose_read_never_ends_is_bounded(records):
    read = lambda limit: asyncio.Event().wait()  # noqa: E731 - a transfer the provider never finishes
    async with asyncio.timeout(30):
        assert await FakeSandbox()._download_within("out.bin", 0.2, read, log=logging.getLogger(CONTRACT_LOGGER)) is None
    assert [r.getMessage() for r in records()] == ["Download of out.bin exceeded timeout of 0.2 seconds"]


@pytest.mark.parametrize("name", ["../../tmp/x", "/etc/passwd", "a/..", "dir\\x.py", ""])
async def test_names_that_could_escape_never_reach_the_provider(records, name):
    sandbox = FakeSandbox()
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._upload_files(_files("ok.txt", name))
    assert repr(name) in str(info.value) and info.value.stage == Stage.EXECUTION
    assert sandbox.writes == [] and records() == []


@pytest.mark.parametrize(
    ("language", "packages", "result", "detail"),
    [
        ("Python3.12", ["numpy", "pandas"], ExecutionResult.create(ExecutionStatus.SUCCESS, ""), None),
        ("python", [], None, None),
        ("r", ["dplyr"], None, None),  # other languages skip, with one warning
        ("python", ["numpy"], ExecutionResult.create(ExecutionStatus.ERROR, "c", stderr="S", error="E"), "E"),
        ("python", ["numpy"], ExecutionResult.create(ExecutionStatus.ERROR, "c", stderr="S"), "S"),
        ("python", ["numpy"], ExecutionResult.create(ExecutionStatus.TIMEOUT, "c"), "timeout (exit code 1)"),
        ("python", ["numpy"], ConnectionError("dropped"), "dropped"),  # a transport failure passes through unwrapped
    ],
)
async def test_python_installs_its_packages_in_one_run(records, language, packages, result, detail):
    sandbox = FakeSandbox(language, packages, results=[result])
    with pytest.raises(Exception) if detail else contextlib.nullcontext() as info:
        await sandbox._setup_python_channels()
    if isinstance(result, BaseException):
        assert info.value is result
    elif detail:
        failure = (type(info.value), info.value.stage, str(info.value))
        assert failure == (SandboxExecutionError, Stage.PACKAGE_INSTALL, f"Failed to install additional packages {packages}: {detail}")
    assert sandbox.code_calls == ([(get_install_code(language, packages), 300)] if language != "r" and packages else [])
    assert [(r.levelno, "language 'r'" in r.getMessage() and "['dplyr'] was NOT installed. " in r.getMessage())
            for r in records()] == ([(logging.WARNING, True)] if language == "r" else [])
