"""The generated installer script, run for real by child interpreters against tiny wheels."""

import json
import subprocess
from pathlib import Path

import pytest

from tests.sandbox.conftest import make_venv
from vorn_tools.code_interpreter.code_sandbox.constants import PackageInstallErrorMessage
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code

# Executes the installer in a fresh namespace and prints, as the last stdout
# line, the exception that escaped it (or null).
_HARNESS = """
import json, sys
try:
    exec(compile(sys.stdin.read(), "<installer>", "exec"), {"__name__": "__main__"})
except BaseException as exc:
    print(json.dumps({"type": type(exc).__name__, "message": str(exc)}))
else:
    print(json.dumps(None))
"""


def run(python: Path, args: list[str], env, stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([str(python), *args], input=stdin, capture_output=True, text=True, env=env, timeout=120)


def run_installer(python: Path, packages, env):
    proc = run(python, ["-c", _HARNESS], env, stdin=get_install_code("python", packages))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, json.loads(proc.stdout.strip().splitlines()[-1])


def _failure(message: str) -> dict:
    return {"type": "RuntimeError", "message": message}


@pytest.mark.parametrize(
    "packages",
    [["vorn-tiny-a==1.0"], ["vorn_tiny_m", 'vorn-never-published; python_version < "3"']],
    ids=["plain", "marker-excluded-requirement"],
)
def test_success_installs_and_prints_nothing(pip_python, offline_pip_env, packages):
    assert run_installer(pip_python, packages, offline_pip_env) == ("null\n", None)
    module = packages[0].split("==")[0].replace("-", "_")
    assert run(pip_python, ["-c", f"import {module}"], offline_pip_env).returncode == 0


def test_pip_missing(tmp_path, offline_pip_env):
    bare = make_venv(tmp_path / "venv", with_pip=False)
    _, outcome = run_installer(bare, ["vorn-tiny-a"], offline_pip_env)
    assert outcome == _failure(PackageInstallErrorMessage.PIP_UNAVAILABLE.format(bare))


def test_pip_failure_reports_the_last_2000_characters(pip_python, offline_pip_env):
    requirement = "vorn-unpublished-" + "q" * 3000
    direct = run(pip_python, ["-m", "pip", "install", requirement], offline_pip_env)
    assert direct.returncode != 0 and len(direct.stderr.strip()) > 2000
    assert run_installer(pip_python, [requirement], offline_pip_env)[1] == _failure(direct.stderr.strip()[-2000:])


@pytest.mark.parametrize(
    ("packages", "missing"),
    [
        (["vorn_tiny_t"], ["vorn_tiny_t"]),
        (["vorn_tiny_v>=1.0", "vorn_tiny_t[extra]"], ["vorn_tiny_v", "vorn_tiny_t"]),
        (['vorn_tiny_v ; python_version >= "3"'], ["vorn_tiny_v"]),  # a true marker is still checked
    ],
    ids=["bare", "constraint-and-extras", "true-marker"],
)
def test_pip_success_without_the_distribution_is_reported(pip_python, offline_pip_env, tmp_path, packages, missing):
    # PIP_TARGET sends the install outside the interpreter's path: pip exits 0,
    # yet nothing is importable where the code runs.
    env = {**offline_pip_env, "PIP_TARGET": str(tmp_path / "elsewhere")}
    expected = f"pip reported success but {missing!r} is not installed for {pip_python}"
    assert run_installer(pip_python, packages, env)[1] == _failure(expected)
