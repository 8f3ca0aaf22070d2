"""The contract's shared flows (upload, package install) through small fake backends."""

import asyncio
import logging

import pytest
from vorn_inference.schema import Attachment

from tests.sandbox.fake_backends import LocalPythonSandbox, MinimalSandbox, RecordingSandbox
from vorn_tools.code_interpreter.code_sandbox import (
    CodeInterpreterSandbox,
    ExecutionResult,
    ExecutionStatus,
    SandboxExecutionError,
    Stage,
)
from vorn_tools.code_interpreter.code_sandbox.constants import PackageInstallErrorMessage
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code
from vorn_tools.code_interpreter.redaction import register_secret

CONTRACT_LOGGER = "vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox"
UPLOAD_SPAN = "zib_sandbox.file.upload"
SECRET = "upload-secret-value-9f8e7d6c"


def _files(*specs):
    return [Attachment(filename=name, data=data) for name, data in specs]


def _records(caplog):
    return [r for r in caplog.records if r.name == CONTRACT_LOGGER]


def _upload_span(spans):
    (span,) = [s for s in spans.get_finished_spans() if s.name == UPLOAD_SPAN]
    return span


# -- construction ---------------------------------------------------------------


def test_constructor_defaults_and_package_list_identity():
    a, b = MinimalSandbox(), MinimalSandbox(additional_packages=[])
    assert a.language == "python" and a.additional_packages == []
    assert a.additional_packages is not b.additional_packages
    packages = ["numpy"]
    sandbox = MinimalSandbox("R", packages, unknown_option=1)
    assert sandbox.language == "R" and sandbox.additional_packages is packages
    packages.append("pandas")
    assert sandbox.additional_packages == ["numpy", "pandas"]


def test_a_bare_string_of_packages_is_refused():
    with pytest.raises(TypeError, match="single string 'numpy'"):
        MinimalSandbox(additional_packages="numpy")


def test_every_abstract_operation_is_required():
    class NoLease(CodeInterpreterSandbox):
        execute_code = MinimalSandbox.execute_code
        execute_command = MinimalSandbox.execute_command
        sandbox_id = MinimalSandbox.sandbox_id
        terminate = MinimalSandbox.terminate
        download_file = MinimalSandbox.download_file

    with pytest.raises(TypeError, match="set_timeout"):
        NoLease()
    with pytest.raises(TypeError):
        CodeInterpreterSandbox()


async def test_delegating_to_a_base_body_raises_bare_not_implemented():
    with pytest.raises(NotImplementedError) as info:
        await MinimalSandbox().execute_command("ls")
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
    assert dict(_upload_span(spans).attributes) == {
        "zib_sandbox.backend": "fake",
        "zib_sandbox.file_count": 3,
        "zib_sandbox.total_bytes": 15,
        "zib_sandbox.sandbox_id": "sbx-1",
        "zib_sandbox.status": "success",
    }


async def test_empty_upload_still_writes_once(spans):
    sandbox = RecordingSandbox(sandbox_id=None)
    await sandbox._upload_files([])
    assert sandbox.writes == [[]]
    attributes = dict(_upload_span(spans).attributes)
    assert attributes["zib_sandbox.file_count"] == 0 and attributes["zib_sandbox.total_bytes"] == 0
    assert "zib_sandbox.sandbox_id" not in attributes


async def test_failed_write_is_logged_masked_and_raised(spans, caplog):
    register_secret(SECRET)
    write_error = ConnectionError(f"upstream refused token {SECRET}")
    sandbox = RecordingSandbox(write_error=write_error, sandbox_id="sbx-9")
    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        with pytest.raises(SandboxExecutionError) as info:
            await sandbox._upload_files(_files(("a.csv", b"1"), ("b.csv", b"2")))
    error = info.value
    expected = "Failed to upload 2 file(s) to sandbox backend 'fake': upstream refused token [SECRET]"
    assert str(error) == expected
    assert error.stage == Stage.EXECUTION and error.__cause__ is write_error and error.transient is True

    (record,) = _records(caplog)
    assert record.levelno == logging.WARNING
    assert record.getMessage() == expected
    assert SECRET not in (record.exc_text or "") and "ConnectionError" in record.exc_text
    assert (record.error_code, record.backend, record.sandbox_id, record.file_count) == (
        Stage.EXECUTION, "fake", "sbx-9", 2,
    )

    span = _upload_span(spans)
    assert span.attributes["zib_sandbox.status"] == "error"
    (event,) = [e for e in span.events if e.name == "exception"]
    assert SECRET not in event.attributes["exception.message"]


async def test_backend_without_writer_is_named_by_its_class(caplog, spans):
    class MySandbox(MinimalSandbox):
        pass

    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        with pytest.raises(SandboxExecutionError) as info:
            await MySandbox(sandbox_id=None)._upload_files(_files(("a", b""), ("b", b"")))
    assert str(info.value) == (
        "Failed to upload 2 file(s) to sandbox backend 'MySandbox': MySandbox does not implement _write_files"
    )
    assert isinstance(info.value.__cause__, NotImplementedError)
    (record,) = _records(caplog)
    assert record.backend == "MySandbox" and record.sandbox_id is None
    assert _upload_span(spans).attributes["zib_sandbox.backend"] == "MySandbox"


async def test_cancelled_write_propagates_unwrapped(caplog, spans):
    gate = asyncio.Event()
    sandbox = RecordingSandbox(write_gate=gate)
    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        task = asyncio.create_task(sandbox._upload_files(_files(("a", b"1"))))
        for _ in range(10):
            if sandbox.writes:
                break
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    assert _records(caplog) == []
    assert "zib_sandbox.status" not in _upload_span(spans).attributes


@pytest.mark.parametrize("name", ["../../tmp/x", "/etc/cron.d/job", "tools\\x.py", "a/../../b"])
async def test_unsafe_attachment_names_never_reach_the_provider(name):
    sandbox = RecordingSandbox()
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._upload_files(_files(("ok.txt", b"1"), (name, b"2")))
    assert repr(name) in str(info.value) and info.value.stage == Stage.EXECUTION
    assert sandbox.writes == []


async def test_files_must_be_a_sized_sequence(caplog):
    sandbox = RecordingSandbox()
    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        with pytest.raises(TypeError):
            await sandbox._upload_files(None)
    assert sandbox.writes == [] and _records(caplog) == []


async def test_upload_lands_in_a_real_directory_tree(tmp_path, offline_pip_env):
    sandbox = LocalPythonSandbox("python3", tmp_path, offline_pip_env)
    result = await sandbox.execute_code(
        "print(open('files/tools/x.py').read())",
        files=_files(("tools/x.py", b"VALUE = 1")),
    )
    assert result.status is ExecutionStatus.SUCCESS and result.stdout == "VALUE = 1\n"
    assert await sandbox.download_file("/files/tools/x.py") == b"VALUE = 1"


# -- package installation -----------------------------------------------------------


def _ok():
    return ExecutionResult.create(ExecutionStatus.SUCCESS, "install")


@pytest.mark.parametrize("language", ["python", "PYTHON", "Python3.12", "py", "PY"])
async def test_python_without_packages_does_nothing(language, caplog):
    sandbox = MinimalSandbox(language)
    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        await sandbox._setup_python_channels()
    assert sandbox.code_calls == [] and _records(caplog) == []


async def test_python_packages_install_in_one_run():
    sandbox = MinimalSandbox("python", ["numpy", "pandas"], results=[_ok()])
    await sandbox._setup_python_channels()
    (call,) = sandbox.code_calls
    assert call == {"code": get_install_code("python", ["numpy", "pandas"]), "timeout": 300, "files": None}


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


async def test_install_detail_is_masked():
    register_secret(SECRET)
    result = ExecutionResult.create(ExecutionStatus.ERROR, "c", error=f"index said {SECRET}")
    with pytest.raises(SandboxExecutionError) as info:
        await MinimalSandbox("python", ["x"], results=[result])._install_additional_packages()
    assert SECRET not in str(info.value) and "[SECRET]" in str(info.value)


async def test_transport_failure_during_install_passes_through():
    failure = ConnectionError("dropped")
    with pytest.raises(ConnectionError) as info:
        await MinimalSandbox("python", ["x"], results=[failure])._setup_python_channels()
    assert info.value is failure


@pytest.mark.parametrize(
    ("packages", "dropped"),
    [([], ""), (["dplyr"], "['dplyr'] was NOT installed. ")],
)
async def test_other_languages_skip_with_one_warning(caplog, packages, dropped):
    sandbox = MinimalSandbox("r", packages)
    with caplog.at_level(logging.DEBUG, logger=CONTRACT_LOGGER):
        await sandbox._setup_python_channels()
    (record,) = _records(caplog)
    assert record.levelno == logging.WARNING and record.exc_text is None
    assert record.getMessage() == (
        "Skipping automatic Python setup for language 'r': `additional_packages` installs cover "
        f"Python (pip) only. {dropped}The sandbox still executes 'r' normally \u2014 install packages "
        "yourself via `execute_command(...)`."
    )
    assert sandbox.code_calls == []


async def test_direct_install_for_other_language():
    await MinimalSandbox("r")._install_additional_packages()
    with pytest.raises(ValueError) as info:
        await MinimalSandbox("r", ["dplyr"])._install_additional_packages()
    assert str(info.value) == PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE.format("r", "r")


async def test_install_end_to_end_in_a_child_interpreter(pip_python, offline_pip_env, tmp_path):
    sandbox = LocalPythonSandbox(pip_python, tmp_path, offline_pip_env, "python", ["vorn-tiny-flow"])
    await sandbox._setup_python_channels()
    result = await sandbox.execute_code("import vorn_tiny_flow; print(vorn_tiny_flow.VALUE)")
    assert result.stdout == "vorn_tiny_flow\n"

    failing = LocalPythonSandbox(pip_python, tmp_path, offline_pip_env, "python", ["vorn-not-published"])
    with pytest.raises(SandboxExecutionError) as info:
        await failing._setup_python_channels()
    message = str(info.value)
    assert message.startswith("Failed to install additional packages ['vorn-not-published']: RuntimeError: ")
    assert "No matching distribution found for vorn-not-published" in message
