"""The generated installer script, run for real by child interpreters against tiny wheels."""

import importlib.util
import json
import subprocess
from pathlib import Path

import pytest

from vorn_tools.code_interpreter.code_sandbox.constants import PackageInstallErrorMessage
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code

# Executes the installer in a fresh namespace and prints, as the last stdout
# line, the exception that escaped it (or null).
_HARNESS = """
import json, sys
code = sys.stdin.read()
try:
    exec(compile(code, "<installer>", "exec"), {"__name__": "__main__"})
except BaseException as exc:
    print(json.dumps({"type": type(exc).__name__, "message": str(exc)}))
else:
    print(json.dumps(None))
"""

_TIMEOUT = 120


def run_installer(python: Path, packages, env):
    proc = subprocess.run(
        [str(python), "-c", _HARNESS],
        input=get_install_code("python", packages),
        capture_output=True, text=True, env=env, timeout=_TIMEOUT,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, json.loads(proc.stdout.strip().splitlines()[-1])


def _installed(python: Path, module: str, env) -> bool:
    probe = f"import importlib.util, sys; sys.exit(0 if importlib.util.find_spec({module!r}) else 1)"
    return subprocess.run([str(python), "-c", probe], env=env, timeout=_TIMEOUT).returncode == 0


def test_success_installs_and_prints_nothing(pip_python, offline_pip_env):
    stdout, outcome = run_installer(pip_python, ["vorn-tiny-a==1.0"], offline_pip_env)
    assert outcome is None
    assert stdout == "null\n"  # the script itself prints nothing
    assert _installed(pip_python, "vorn_tiny_a", offline_pip_env)


def test_marker_excluded_requirement_is_not_reported_missing(pip_python, offline_pip_env):
    packages = ["vorn_tiny_m", 'vorn-never-published; python_version < "3"']
    _, outcome = run_installer(pip_python, packages, offline_pip_env)
    assert outcome is None
    assert _installed(pip_python, "vorn_tiny_m", offline_pip_env)


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
    assert outcome["type"] == "RuntimeError"
    assert outcome["message"] == direct.stderr.strip()[-2000:]


@pytest.mark.parametrize(
    ("packages", "missing"),
    [
        (["vorn_tiny_t"], ["vorn_tiny_t"]),
        (["vorn_tiny_v>=1.0", "vorn_tiny_t[extra]"], ["vorn_tiny_v", "vorn_tiny_t"]),
        (['vorn_tiny_v ; python_version >= "3"'], ["vorn_tiny_v"]),
    ],
    ids=["bare", "constraint-and-extras", "true-marker-still-checked"],
)
def test_success_without_the_distribution(pip_python, offline_pip_env, tmp_path, packages, missing):
    # PIP_TARGET sends the install outside the interpreter's path: pip exits 0,
    # yet nothing is importable where the code runs.
    env = {**offline_pip_env, "PIP_TARGET": str(tmp_path / "elsewhere")}
    _, outcome = run_installer(pip_python, packages, env)
    assert outcome == {
        "type": "RuntimeError",
        "message": f"pip reported success but {missing!r} is not installed for {pip_python}",
    }


def test_path_requirements_are_installed_but_never_verified(pip_python, offline_pip_env, wheel_dir, tmp_path):
    wheel = next(wheel_dir.glob("vorn_tiny_v-*.whl"))
    env = {**offline_pip_env, "PIP_TARGET": str(tmp_path / "elsewhere")}
    _, outcome = run_installer(pip_python, [str(wheel)], env)
    assert outcome is None
    assert (tmp_path / "elsewhere" / "vorn_tiny_v" / "__init__.py").is_file()


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
    from tests.sandbox.conftest import _make_venv

    python = _make_venv(tmp_path_factory.mktemp("venv-fakepip") / "venv", with_pip=False)
    site_packages = next((python.parent.parent / "lib").glob("python*/site-packages"))
    (site_packages / "pip").mkdir()
    (site_packages / "pip" / "__init__.py").write_text("")
    (site_packages / "pip" / "__main__.py").write_text(_FAKE_PIP)
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
    env = {**offline_pip_env, "FAKE_PIP_MODE": mode}
    _, outcome = run_installer(fake_pip_python, ["anything"], env)
    assert outcome == {"type": "RuntimeError", "message": message}


def test_harness_interpreter_is_isolated_from_the_project():
    # The installs above must never land in the interpreter running the tests.
    assert importlib.util.find_spec("vorn_tiny_a") is None
