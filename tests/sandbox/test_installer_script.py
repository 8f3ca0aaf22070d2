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
_TIMEOUT = 120


def run_installer(python: Path, packages, env):
    proc = subprocess.run(
        [str(python), "-c", _HARNESS], input=get_install_code("python", packages),
        capture_output=True, text=True, env=env, timeout=_TIMEOUT,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, json.loads(proc.stdout.strip().splitlines()[-1])


def _importable(python: Path, module: str, env) -> bool:
    probe = f"import importlib.util, sys; sys.exit(0 if importlib.util.find_spec({module!r}) else 1)"
    return subprocess.run([str(python), "-c", probe], env=env, timeout=_TIMEOUT).returncode == 0


@pytest.mark.parametrize(
    "packages",
    [["vorn-tiny-a==1.0"], ["vorn_tiny_m", 'vorn-never-published; python_version < "3"']],
    ids=["plain", "marker-excluded-requirement"],
)
def test_success_installs_and_prints_nothing(pip_python, offline_pip_env, packages):
    stdout, outcome = run_installer(pip_python, packages, offline_pip_env)
    assert (stdout, outcome) == ("null\n", None)  # the script itself prints nothing
    module = packages[0].split("==")[0].replace("-", "_")
    assert _importable(pip_python, module, offline_pip_env)


def test_pip_missing(bare_python, offline_pip_env):
    _, outcome = run_installer(bare_python, ["vorn-tiny-a"], offline_pip_env)
    assert outcome == {
        "type": "RuntimeError",
        "message": PackageInstallErrorMessage.PIP_UNAVAILABLE.format(str(bare_python)),
    }


def test_pip_failure_reports_the_last_2000_characters(pip_python, offline_pip_env):
    requirement = "vorn-unpublished-" + "q" * 3000
    direct = subprocess.run(
        [str(pip_python), "-m", "pip", "install", requirement],
        capture_output=True, text=True, env=offline_pip_env, timeout=_TIMEOUT,
    )
    assert direct.returncode != 0 and len(direct.stderr.strip()) > 2000
    _, outcome = run_installer(pip_python, [requirement], offline_pip_env)
    assert outcome == {"type": "RuntimeError", "message": direct.stderr.strip()[-2000:]}


@pytest.mark.parametrize(
    ("packages", "missing"),
    [
        (["vorn_tiny_t"], ["vorn_tiny_t"]),
        (["vorn_tiny_v>=1.0", "vorn_tiny_t[extra]"], ["vorn_tiny_v", "vorn_tiny_t"]),
        (['vorn_tiny_v ; python_version >= "3"'], ["vorn_tiny_v"]),  # a true marker is still checked
        (["WHEEL"], None),  # a path is installed but never verified by name
    ],
    ids=["bare", "constraint-and-extras", "true-marker", "path"],
)
def test_success_without_the_distribution(pip_python, offline_pip_env, wheel_dir, tmp_path, packages, missing):
    # PIP_TARGET sends the install outside the interpreter's path: pip exits 0,
    # yet nothing is importable where the code runs.
    env = {**offline_pip_env, "PIP_TARGET": str(tmp_path / "elsewhere")}
    packages = [str(next(wheel_dir.glob("vorn_tiny_v-*.whl"))) if p == "WHEEL" else p for p in packages]
    _, outcome = run_installer(pip_python, packages, env)
    if missing is None:
        assert outcome is None and (tmp_path / "elsewhere" / "vorn_tiny_v" / "__init__.py").is_file()
    else:
        assert outcome == {
            "type": "RuntimeError",
            "message": f"pip reported success but {missing!r} is not installed for {pip_python}",
        }


_FAKE_PIP = """
import os, sys
if sys.argv[1:] == ["--version"]:
    sys.exit(0)
mode = os.environ["FAKE_PIP_MODE"]
if mode == "stdout-only":
    print("   " + "o" * 2500 + "END   ")
elif mode == "blank-stderr":
    sys.stderr.write("   \\n")
    print("reason on stdout")
sys.exit(7)
"""


@pytest.fixture(scope="module")
def fake_pip_python(tmp_path_factory):
    """A pip-less interpreter given a stand-in ``pip`` whose failures are scripted."""
    python = make_venv(tmp_path_factory.mktemp("venv-fakepip") / "venv", with_pip=False)
    pip_dir = next((python.parent.parent / "lib").glob("python*/site-packages")) / "pip"
    pip_dir.mkdir()
    (pip_dir / "__init__.py").write_text("")
    (pip_dir / "__main__.py").write_text(_FAKE_PIP)
    return python


@pytest.mark.parametrize(
    ("mode", "message"),
    [
        ("stdout-only", ("o" * 2500 + "END")[-2000:]),
        ("blank-stderr", "reason on stdout"),
        ("silent", "pip install exited with status 7"),
    ],
)
def test_pip_failure_detail_fallbacks(fake_pip_python, offline_pip_env, mode, message):
    _, outcome = run_installer(fake_pip_python, ["anything"], {**offline_pip_env, "FAKE_PIP_MODE": mode})
    assert outcome == {"type": "RuntimeError", "message": message}
