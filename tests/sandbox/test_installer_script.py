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


@pytest.mark.parametrize(
    ("case", "packages", "missing"),
    [
        ("installed", ["vorn-tiny-a==1.0"], None),
        ("installed", ["vorn_tiny_m", 'vorn-never-published; python_version < "3"'], None),  # marker excludes it
        ("no_pip", ["vorn-tiny-a"], None),
        ("pip_fails", ["vorn-unpublished-" + "q" * 3000], None),
        # PIP_TARGET sends the install outside the interpreter's path: pip exits 0,
        # yet nothing is importable where the code runs.
        ("elsewhere", ["vorn_tiny_t"], ["vorn_tiny_t"]),
        ("elsewhere", ["vorn_tiny_v>=1.0", "vorn_tiny_t[extra]"], ["vorn_tiny_v", "vorn_tiny_t"]),
        ("elsewhere", ['vorn_tiny_v ; python_version >= "3"'], ["vorn_tiny_v"]),  # a true marker is still checked
    ],
)
def test_installer(pip_python, offline_pip_env, tmp_path, case, packages, missing):
    python, env, expected = pip_python, offline_pip_env, None
    if case == "no_pip":
        python = make_venv(tmp_path / "venv", with_pip=False)
        expected = PackageInstallErrorMessage.PIP_UNAVAILABLE.format(python)
    elif case == "pip_fails":  # the last 2000 characters of pip's own complaint
        direct = run(python, ["-m", "pip", "install", *packages], env)
        assert direct.returncode != 0 and len(direct.stderr.strip()) > 2000
        expected = direct.stderr.strip()[-2000:]
    elif case == "elsewhere":
        env = {**env, "PIP_TARGET": str(tmp_path / "elsewhere")}
        expected = f"pip reported success but {missing!r} is not installed for {python}"
    stdout, outcome = run_installer(python, packages, env)
    if expected is not None:
        assert outcome == {"type": "RuntimeError", "message": expected}
        return
    assert (stdout, outcome) == ("null\n", None)  # success prints nothing
    module = packages[0].split("==")[0].replace("-", "_")
    assert run(python, ["-c", f"import {module}"], env).returncode == 0
