"""Timeout resolution, upload paths and the installer's pure parts."""

from datetime import timedelta

import pytest

from vorn_tools.code_interpreter.code_sandbox.constants import Language
from vorn_tools.code_interpreter.code_sandbox.utils import (
    _normalize_language,
    build_upload_path,
    get_install_code,
    resolve_sandbox_timeout,
    resolve_timeout,
    supports_automatic_install,
)


@pytest.mark.parametrize(("args", "expected"), [((None,), 30), ((None, 5), 5), ((0,), None), ((-1,), None), ((0.5,), 0.5),
                                                 ((float("nan"),), "nan"), ((True,), "True"), ((float("inf"),), "inf"),
                                                 ((-float("inf"),), "-inf"), ((10**400,), "1000")])  # fmt: skip
def test_resolve_timeout(args, expected):
    if isinstance(expected, str):  # none of these can bound a wait
        with pytest.raises(ValueError, match=r"^timeout must be a finite number of seconds or None, got " + expected):
            resolve_timeout(*args)
        return
    result = resolve_timeout(*args)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    ("args", "kwargs", "expected", "left"),
    [((), {}, 600, None), ((1.9,), {}, 1, None), ((None,), {"legacy_timeout": timedelta(minutes=5)}, 300, None),
     ((300,), {"kwargs": {"timeout": 120, "x": 1}}, 300, {"x": 1}),  # removed even when another source wins
     ((None,), {"kwargs": {"timeout": None}}, 600, {}),
     ((), {"kwargs": {"session_timeout": 90, "timeout": 5}, "legacy_key": "session_timeout"}, 90, {"timeout": 5}),
     # Refused, the legacy key consumed all the same; 0 is a given value, not an absent one.
     ((0,), {"legacy_timeout": 60, "kwargs": {"timeout": 1, "x": 1}}, "0", {"x": 1}),
     ((), {"legacy_timeout": timedelta(milliseconds=500)}, "0.5", None), ((True,), {}, "True", None),
     (("60",), {}, "'60'", None), ((float("inf"),), {}, "inf", None), ((float("nan"),), {}, "nan", None)],
)  # fmt: skip
def test_resolve_sandbox_timeout(args, kwargs, expected, left):
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            resolve_sandbox_timeout(*args, **kwargs)
        assert str(info.value) == f"sandbox timeout must be a positive number of seconds, got {expected}"
    else:
        assert resolve_sandbox_timeout(*args, **kwargs) == expected
    if left is not None:
        assert kwargs["kwargs"] == left


@pytest.mark.parametrize(
    ("filename", "upload_dir", "default_dir", "expected"),
    [("a.csv", None, "/files", "/files/a.csv"), ("a.csv", "/data///", "/files", "/data/a.csv"),
     ("a.csv", "", "/files", "a.csv"), ("a.csv", None, None, "a.csv"), ("a.csv", "/", "/files", "/a.csv")],
)  # fmt: skip
def test_build_upload_path(filename, upload_dir, default_dir, expected):
    assert build_upload_path(filename, upload_dir, default_dir) == expected


@pytest.mark.parametrize(
    ("language", "key", "installable"),
    [("Python3", "python", True), ("python3.9", "python", True), (Language.PYTHON, "python", True),
     ("Py", "py", True), ("pypy", "pypy", False), (" python", " python", False)],
)  # fmt: skip
def test_language_normalisation(language, key, installable):
    assert (_normalize_language(language), supports_automatic_install(language)) == (key, installable)


@pytest.mark.parametrize(
    ("language", "packages", "error", "named"),
    [("JavaScript", ["left-pad"], ValueError, "'JavaScript'"), ("python", ["numpy", 3], TypeError, "3"),
     ("python", ["numpy", "--index-url=https://evil.example/simple"], ValueError, "'--index-url=https://evil"),
     ("python", ["  -e ."], ValueError, "'  -e .'"),  # a pip option, not a package
     ("python", "numpy", TypeError, "single string 'numpy'")],
)  # fmt: skip
def test_install_code_refusals(language, packages, error, named):
    with pytest.raises(error) as info:
        get_install_code(language, packages)
    assert named in str(info.value)


def test_install_code_embeds_specifiers_as_literals_only():
    nasty = 'x"; import os; os.system("boom") #'
    code = get_install_code("python", ["numpy", nasty])
    compile(code, "<installer>", "exec")
    assert f"packages = {['numpy', nasty]!r}" in code
