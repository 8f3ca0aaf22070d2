"""Timeout resolution, upload paths and the installer helpers' pure parts."""

import time
from datetime import timedelta

import pytest

from vorn_tools.code_interpreter.code_sandbox.constants import Language
from vorn_tools.code_interpreter.code_sandbox.utils import (
    _normalize_language,
    build_upload_path,
    calculate_duration_ms,
    check_upload_filename,
    get_install_code,
    resolve_sandbox_timeout,
    resolve_timeout,
    supports_automatic_install,
)
from vorn_tools.code_interpreter.errors import SandboxExecutionError, Stage


@pytest.mark.parametrize(
    ("args", "expected"),
    [((None,), 30), ((None, 5), 5), ((0,), None), ((-1,), None), ((0.5,), 0.5), ((10,), 10)],
)
def test_resolve_timeout(args, expected):
    result = resolve_timeout(*args)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    ("args", "kwargs", "expected", "left"),
    [
        ((), {}, 600, None),
        ((1.9,), {}, 1, None),
        ((None,), {"legacy_timeout": timedelta(minutes=5)}, 300, None),
        ((None,), {"default": timedelta(seconds=9)}, 9, None),
        ((None,), {"kwargs": {"timeout": 120, "x": 1}}, 120, {"x": 1}),
        ((300,), {"kwargs": {"timeout": 120}}, 300, {}),  # removed even when another source wins
        ((None,), {"kwargs": {"timeout": None}}, 600, {}),
        ((), {"kwargs": {"session_timeout": 90, "timeout": 5}, "legacy_key": "session_timeout"}, 90, {"timeout": 5}),
    ],
)
def test_resolve_sandbox_timeout(args, kwargs, expected, left):
    assert resolve_sandbox_timeout(*args, **kwargs) == expected
    if left is not None:
        assert kwargs["kwargs"] == left


@pytest.mark.parametrize(
    ("kwargs", "shown"),
    [
        ({"sandbox_timeout": 0, "legacy_timeout": 60}, "0"),  # 0 is given, not absent
        ({"sandbox_timeout": -3}, "-3"),
        ({"sandbox_timeout": 0.5}, "0.5"),
        ({"legacy_timeout": timedelta(milliseconds=500)}, "0.5"),
        ({"legacy_timeout": timedelta(0)}, "0.0"),
        ({"sandbox_timeout": True}, "True"),
        ({"sandbox_timeout": "60"}, "'60'"),
        ({"sandbox_timeout": float("inf")}, "inf"),
        ({"sandbox_timeout": float("nan")}, "nan"),
        ({"default": 0}, "0"),
    ],
)
def test_resolve_sandbox_timeout_refusals(kwargs, shown):
    mapping = {"timeout": None, "other": 1}
    with pytest.raises(ValueError) as info:
        resolve_sandbox_timeout(**kwargs, kwargs=mapping)
    assert str(info.value) == f"sandbox timeout must be a positive number of seconds, got {shown}"
    assert mapping == {"other": 1}  # the legacy key is consumed all the same


def test_calculate_duration_ms():
    elapsed = calculate_duration_ms(time.time() - 1.5)
    assert isinstance(elapsed, int) and 1499 <= elapsed < 1500 + 60_000
    assert calculate_duration_ms(time.time() + 10) < 0


@pytest.mark.parametrize(
    ("filename", "upload_dir", "default_dir", "expected"),
    [
        ("a.csv", None, "/files", "/files/a.csv"),
        ("a.csv", "/data///", "/files", "/data/a.csv"),
        ("a.csv", "", "/files", "a.csv"),
        ("a.csv", None, None, "a.csv"),
        ("a.csv", "/", "/files", "/a.csv"),
        ("tools/x.py", None, "/files", "/files/tools/x.py"),
        ("/abs.txt", "/files", None, "/files//abs.txt"),  # not normalised: callers check names first
    ],
)
def test_build_upload_path(filename, upload_dir, default_dir, expected):
    assert build_upload_path(filename, upload_dir, default_dir) == expected


@pytest.mark.parametrize(
    ("name", "safe"),
    [
        ("tools/x.py", True), ("..hidden", True), ("a..b/c", True),
        ("", False), ("/etc/passwd", False), ("../../tmp/x", False), ("a/..", False), ("dir\\x.py", False),
    ],
)
def test_upload_names_that_could_escape_are_refused(name, safe):
    if safe:
        check_upload_filename(name)
        return
    with pytest.raises(SandboxExecutionError) as info:
        check_upload_filename(name)
    assert repr(name) in str(info.value) and info.value.stage == Stage.EXECUTION


@pytest.mark.parametrize(
    ("language", "key", "installable"),
    [
        ("PYTHON", "python", True),
        ("Python3", "python", True),
        ("python3.9", "python", True),
        (Language.PYTHON, "python", True),
        ("Py", "py", True),
        ("pypy", "pypy", False),
        (" python", " python", False),
        ("r", "r", False),
    ],
)
def test_language_normalisation(language, key, installable):
    assert _normalize_language(language) == key
    assert supports_automatic_install(language) is installable


@pytest.mark.parametrize(
    ("language", "packages", "error", "message"),
    [
        (
            "JavaScript", ["left-pad"], ValueError,
            "`additional_packages` cannot install packages for language 'JavaScript': automatic installs cover "
            "Python (pip) only. The sandbox still executes 'JavaScript' normally \u2014 install packages yourself "
            "via `execute_command(...)`.",
        ),
        ("python", ["numpy", "--index-url=https://evil.example/simple"], ValueError, None),
        ("python", ["  -e ."], ValueError, None),
        ("python", ["numpy", 3], TypeError, None),
    ],
)
def test_install_code_refusals(language, packages, error, message):
    with pytest.raises(error) as info:
        get_install_code(language, packages)
    if message is not None:
        assert str(info.value) == message
    else:
        assert repr(packages[-1]) in str(info.value)


def test_install_code_embeds_specifiers_as_literals_only():
    nasty = 'x"; import os; os.system("boom") #'
    code = get_install_code("python", ["numpy", nasty])
    compile(code, "<installer>", "exec")
    assert f"packages = {['numpy', nasty]!r}" in code
