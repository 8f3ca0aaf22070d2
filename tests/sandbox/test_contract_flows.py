"""The contract's shared flows (upload, package install) through small fake backends."""

import asyncio
import logging

import pytest
from vorn_inference.schema import Attachment

from tests.sandbox.fake_backends import MinimalSandbox, RecordingSandbox
from vorn_tools.code_interpreter.code_sandbox import (
    CodeInterpreterSandbox,
    ExecutionResult,
    ExecutionStatus,
    SandboxExecutionError,
    Stage,
)
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code
from vorn_tools.code_interpreter.redaction import register_secret

CONTRACT_LOGGER = "vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox"
SECRET = "upload-secret-value-9f8e7d6c"


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger=CONTRACT_LOGGER)
    return lambda: [r for r in caplog.records if r.name == CONTRACT_LOGGER]


def _files(*specs):
    return [Attachment(filename=name, data=data) for name, data in specs]


def _upload_span(spans):
    (span,) = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.file.upload"]
    return dict(span.attributes), span


# -- construction ---------------------------------------------------------------


async def test_construction_and_abstract_operations():
    a, b = MinimalSandbox(), MinimalSandbox(additional_packages=[])
    assert (a.language, a.additional_packages) == ("python", []) and a.additional_packages is not b.additional_packages
    packages = ["numpy"]
    sandbox = MinimalSandbox("R", packages, unknown_option=1)
    packages.append("pandas")
    assert sandbox.language == "R" and sandbox.additional_packages is packages
    with pytest.raises(TypeError, match="single string 'numpy'"):
        MinimalSandbox(additional_packages="numpy")

    class NoLease(CodeInterpreterSandbox):
        execute_code, execute_command = MinimalSandbox.execute_code, MinimalSandbox.execute_command
        sandbox_id, terminate, download_file = (
            MinimalSandbox.sandbox_id, MinimalSandbox.terminate, MinimalSandbox.download_file,
        )

    with pytest.raises(TypeError, match="set_timeout"):
        NoLease()
    with pytest.raises(NotImplementedError) as info:
        await sandbox.execute_command("ls")  # delegates to the base body
    assert str(info.value) == ""


# -- upload flow ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("upload_dir", "default_dir", "paths"),
    [
        (None, "/files", ["/files/a.csv", "/files/b/c.txt", "/files/d.png"]),
        ("/work/", "/files", ["/work/a.csv", "/work/b/c.txt", "/work/d.png"]),
        ("", "/files", ["a.csv", "b/c.txt", "d.png"]),
        (None, None, ["a.csv", "b/c.txt", "d.png"]),
    ],
)
async def test_upload_writes_one_batch_in_order(spans, upload_dir, default_dir, paths):
    sandbox = RecordingSandbox()
    sandbox._DEFAULT_UPLOAD_DIR = default_dir
    files = _files(("a.csv", b"x" * 10), ("b/c.txt", b""), ("d.png", b"y" * 5))
    await sandbox._upload_files(files, upload_dir)
    (batch,) = sandbox.writes
    assert [path for path, _ in batch] == paths
    assert all(data is f.data for (_, data), f in zip(batch, files, strict=True))
    assert _upload_span(spans)[0] == {
        "zib_sandbox.backend": "fake",
        "zib_sandbox.file_count": 3,
        "zib_sandbox.total_bytes": 15,
        "zib_sandbox.sandbox_id": "sbx-1",
        "zib_sandbox.status": "success",
    }


async def test_empty_upload_still_writes_once(spans):
    sandbox = RecordingSandbox(sandbox_id=None)
    await sandbox._upload_files([])
    attributes = _upload_span(spans)[0]
    assert sandbox.writes == [[]] and "zib_sandbox.sandbox_id" not in attributes
    assert (attributes["zib_sandbox.file_count"], attributes["zib_sandbox.total_bytes"]) == (0, 0)


async def test_failed_write_is_logged_masked_and_raised(spans, records):
    register_secret(SECRET)
    write_error = ConnectionError(f"upstream refused token {SECRET}")
    sandbox = RecordingSandbox(write_error=write_error, sandbox_id="sbx-9")
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._upload_files(_files(("a.csv", b"1"), ("b.csv", b"2")))
    expected = "Failed to upload 2 file(s) to sandbox backend 'fake': upstream refused token [SECRET]"
    assert str(info.value) == expected
    assert info.value.stage == Stage.EXECUTION and info.value.__cause__ is write_error and info.value.transient

    (record,) = records()
    assert (record.levelno, record.getMessage()) == (logging.WARNING, expected)
    assert SECRET not in record.exc_text and "ConnectionError" in record.exc_text
    assert (record.error_code, record.backend, record.sandbox_id, record.file_count) == (
        Stage.EXECUTION, "fake", "sbx-9", 2,
    )
    attributes, span = _upload_span(spans)
    assert attributes["zib_sandbox.status"] == "error"
    (event,) = [e for e in span.events if e.name == "exception"]
    assert SECRET not in event.attributes["exception.message"]


async def test_backend_without_writer_is_named_by_its_class(records, spans):
    class MySandbox(MinimalSandbox):
        pass

    with pytest.raises(SandboxExecutionError) as info:
        await MySandbox(sandbox_id=None)._upload_files(_files(("a", b""), ("b", b"")))
    assert str(info.value) == (
        "Failed to upload 2 file(s) to sandbox backend 'MySandbox': MySandbox does not implement _write_files"
    )
    assert isinstance(info.value.__cause__, NotImplementedError)
    (record,) = records()
    assert (record.backend, record.sandbox_id) == ("MySandbox", None)
    assert _upload_span(spans)[0]["zib_sandbox.backend"] == "MySandbox"


async def test_cancelled_write_propagates_unwrapped(records, spans):
    sandbox = RecordingSandbox(write_gate=asyncio.Event())
    task = asyncio.create_task(sandbox._upload_files(_files(("a", b"1"))))
    for _ in range(10):
        if sandbox.writes:
            break
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert records() == [] and "zib_sandbox.status" not in _upload_span(spans)[0]


@pytest.mark.parametrize(
    ("files", "error"),
    [
        (_files(("ok.txt", b"1"), ("../../tmp/x", b"2")), SandboxExecutionError),  # would escape the directory
        (None, TypeError),  # not a sized sequence
    ],
)
async def test_bad_input_never_reaches_the_provider(records, files, error):
    sandbox = RecordingSandbox()
    with pytest.raises(error):
        await sandbox._upload_files(files)
    assert sandbox.writes == [] and records() == []


# -- package installation -----------------------------------------------------------


@pytest.mark.parametrize(
    ("language", "packages"), [("python", []), ("Python3.12", []), ("PY", []), ("python", ["numpy", "pandas"])]
)
async def test_python_installs_its_packages_in_one_run(records, language, packages):
    sandbox = MinimalSandbox(language, packages, results=[ExecutionResult.create(ExecutionStatus.SUCCESS, "")])
    await sandbox._setup_python_channels()
    expected = [{"code": get_install_code(language, packages), "timeout": 300, "files": None}] if packages else []
    assert sandbox.code_calls == expected and records() == []


@pytest.mark.parametrize(
    ("result", "detail"),
    [
        (ExecutionResult.create(ExecutionStatus.ERROR, "c", stderr="S", error="E"), "E"),
        (ExecutionResult.create(ExecutionStatus.ERROR, "c", stderr="S"), "S"),
        (ExecutionResult.create(ExecutionStatus.TIMEOUT, "c"), "timeout (exit code 1)"),
        (ExecutionResult.create(ExecutionStatus.UNKNOWN, "c"), "unknown (exit code 1)"),
    ],
)
async def test_failed_install_raises_with_the_best_detail(result, detail):
    sandbox = MinimalSandbox("python", ["numpy", "pandas"], results=[result])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._setup_python_channels()
    assert str(info.value) == f"Failed to install additional packages ['numpy', 'pandas']: {detail}"
    assert info.value.stage == Stage.PACKAGE_INSTALL
    assert info.value.__cause__ is None and info.value.transient is False


async def test_transport_failure_during_install_passes_through():
    failure = ConnectionError("dropped")
    with pytest.raises(ConnectionError) as info:
        await MinimalSandbox("python", ["x"], results=[failure])._setup_python_channels()
    assert info.value is failure


@pytest.mark.parametrize(("packages", "dropped"), [([], ""), (["dplyr"], "['dplyr'] was NOT installed. ")])
async def test_other_languages_skip_with_one_warning(records, packages, dropped):
    sandbox = MinimalSandbox("r", packages)
    await sandbox._setup_python_channels()
    (record,) = records()
    assert record.levelno == logging.WARNING and record.exc_text is None
    assert record.getMessage() == (
        "Skipping automatic Python setup for language 'r': `additional_packages` installs cover "
        f"Python (pip) only. {dropped}The sandbox still executes 'r' normally \u2014 install packages "
        "yourself via `execute_command(...)`."
    )
    assert sandbox.code_calls == []
    # Called directly, the installer refuses the language only when there is something to install.
    if packages:
        with pytest.raises(ValueError, match="cannot install packages for language 'r'"):
            await sandbox._install_additional_packages()
    else:
        await sandbox._install_additional_packages()
