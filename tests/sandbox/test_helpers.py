"""Timeout resolution, upload paths and the installer helpers' pure parts."""

import time
from datetime import timedelta

import pytest

from vorn_tools.code_interpreter.code_sandbox.constants import Language, PackageInstallErrorMessage
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
    ("args", "kwargs", "expected"),
    [
        ((), {}, 600),
        ((1.9,), {}, 1),
        ((None,), {"legacy_timeout": timedelta(minutes=5)}, 300),
        ((None,), {"legacy_timeout": 45}, 45),
        ((None,), {"default": 7}, 7),
        ((None,), {"default": timedelta(seconds=9)}, 9),
    ],
)
def test_resolve_sandbox_timeout_values(args, kwargs, expected):
    assert resolve_sandbox_timeout(*args, **kwargs) == expected


@pytest.mark.parametrize(
    ("mapping", "sandbox_timeout", "expected", "left"),
    [
        ({"timeout": 120, "x": 1}, None, 120, {"x": 1}),
        ({"timeout": 120}, 300, 300, {}),
        ({"timeout": None}, None, 600, {}),
        ({}, None, 600, {}),
    ],
)
def test_resolve_sandbox_timeout_consumes_the_legacy_key(mapping, sandbox_timeout, expected, left):
    assert resolve_sandbox_timeout(sandbox_timeout, kwargs=mapping) == expected
    assert mapping == left


def test_resolve_sandbox_timeout_custom_legacy_key():
    mapping = {"session_timeout": 90, "timeout": 5}
    assert resolve_sandbox_timeout(kwargs=mapping, legacy_key="session_timeout") == 90
    assert mapping == {"timeout": 5}


@pytest.mark.parametrize(
    ("kwargs", "shown"),
    [
        ({"sandbox_timeout": 0}, "0"),
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
    with pytest.raises(ValueError) as info:
        resolve_sandbox_timeout(**kwargs)
    assert str(info.value) == f"sandbox timeout must be a positive number of seconds, got {shown}"


def test_refused_value_still_consumes_the_legacy_key():
    mapping = {"timeout": 120}
    with pytest.raises(ValueError):
        resolve_sandbox_timeout(0, kwargs=mapping)
    assert mapping == {}


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
        ("a.csv", None, "", "a.csv"),
        ("a.csv", "/", "/files", "/a.csv"),
        ("tools/x.py", None, "/files", "/files/tools/x.py"),
        ("/abs.txt", "/files", None, "/files//abs.txt"),  # not normalised: callers check names first
    ],
)
def test_build_upload_path(filename, upload_dir, default_dir, expected):
    assert build_upload_path(filename, upload_dir, default_dir) == expected


@pytest.mark.parametrize("name", ["a.csv", "tools/x.py", "..hidden", "a..b/c", "dir/.../x"])
def test_safe_upload_names_pass(name):
    check_upload_filename(name)


@pytest.mark.parametrize("name", ["", "/etc/passwd", "../../tmp/x", "a/../b", "..", "dir\\x.py", "a/.."])
def test_unsafe_upload_names_are_refused(name):
    with pytest.raises(SandboxExecutionError) as info:
        check_upload_filename(name)
    assert repr(name) in str(info.value) and info.value.stage == Stage.EXECUTION


@pytest.mark.parametrize(
    ("language", "key", "installable"),
    [
        ("python", "python", True),
        ("PYTHON", "python", True),
        ("Python3", "python", True),
        ("python3.9", "python", True),
        (Language.PYTHON, "python", True),
        ("Py", "py", True),
        ("pyth", "pyth", False),
        ("pypy", "pypy", False),
        (" python", " python", False),
        ("r", "r", False),
    ],
)
def test_language_normalisation(language, key, installable):
    assert _normalize_language(language) == key
    assert supports_automatic_install(language) is installable


def test_install_code_refuses_unsupported_language_in_callers_casing():
    with pytest.raises(ValueError) as info:
        get_install_code("JavaScript", ["left-pad"])
    assert str(info.value) == PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE.format("JavaScript", "JavaScript")
    assert str(info.value).count("'JavaScript'") == 2


@pytest.mark.parametrize("entry", ["--index-url=https://evil.example/simple", "-r", "  -e ."])
def test_install_code_refuses_pip_options(entry):
    with pytest.raises(ValueError, match="pip option"):
        get_install_code("python", ["numpy", entry])


def test_install_code_refuses_non_string_entries():
    with pytest.raises(TypeError, match="must be strings"):
        get_install_code("python", ["numpy", 3])


def test_install_code_embeds_specifiers_as_literals_only():
    nasty = 'x"; import os; os.system("boom") #'
    code = get_install_code("python", ["numpy", nasty])
    compile(code, "<installer>", "exec")
    assert f"packages = {['numpy', nasty]!r}" in code
    assert repr(PackageInstallErrorMessage.PIP_UNAVAILABLE) in code
