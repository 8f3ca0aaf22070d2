"""The generated installer script, run for real by child interpreters against tiny wheels."""

import json
import os
import subprocess
import sys
import zipfile

import pytest

from vorn_tools.code_interpreter.code_sandbox.constants import PackageInstallErrorMessage
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code

# Executes the installer in a fresh namespace and prints, as the last stdout
# line, the exception that escaped it (or null).
_HARNESS = """import json, sys
try: exec(compile(sys.stdin.read(), "<installer>", "exec"), {"__name__": "__main__"})
except BaseException as exc: print(json.dumps({"type": type(exc).__name__, "message": str(exc)}))
else: print(json.dumps(None))"""


@pytest.fixture(scope="session")
def pip_python(tmp_path_factory):
    """An interpreter of a fresh venv with its own pip; tests install distinct names into it."""
    return make_venv(tmp_path_factory.mktemp("venv-pip") / "venv", with_pip=True)


@pytest.fixture
def offline_pip_env(tmp_path_factory, tmp_path):
    """Environment for a child interpreter whose pip sees only minimal wheels, each of
    distribution ``name`` 1.0 holding an empty package ``name``."""
    directory = tmp_path_factory.mktemp("wheels")
    for name in ("vorn_tiny_a", "vorn_tiny_m", "vorn_tiny_t", "vorn_tiny_v"):
        with zipfile.ZipFile(directory / f"{name}-1.0-py3-none-any.whl", "w") as wheel:
            for path, text in [(f"{name}/__init__.py", ""), ("METADATA", f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n"),
                               ("WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n"),
                               ("RECORD", "")]:  # pip needs the RECORD file, not its hashes
                wheel.writestr(path if "/" in path else f"{name}-1.0.dist-info/{path}", text)
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(tmp_path), "PIP_NO_INDEX": "1",
            "PIP_FIND_LINKS": str(directory), "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"}


def make_venv(root, *, with_pip):
    args = [sys.executable, "-m", "venv", *([] if with_pip else ["--without-pip"]), str(root)]
    subprocess.run(args, check=True, capture_output=True, timeout=120)
    return root / "bin" / "python"


def run(python, args, env, stdin=None) -> subprocess.CompletedProcess:
    return subprocess.run([str(python), *args], input=stdin, capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize(
    ("case", "packages", "missing"),
    [
        ("installed", ["vorn-tiny-a==1.0"], None),
        ("installed", ["vorn_tiny_m", 'vorn-never-published; python_version < "3"'], None),  # marker excludes it
        ("no_pip", ["vorn-tiny-a"], None),
        ("pip_fails", ["vorn-unpublished-" + "q" * 3000], None),
        # PIP_TARGET sends the install outside the interpreter's path: pip exits 0,
        # yet nothing is importable where the code runs.
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
        searched = json.loads(run(python, ["-c", "import json, sys; print(json.dumps(sys.path))"], env).stdout)
        expected = (f"pip reported success, but importlib.metadata finds no distribution {missing!r} "
                    f"on the import path of {python}: {searched!r}")
    proc = run(python, ["-c", _HARNESS], env, stdin=get_install_code("python", packages))
    assert proc.returncode == 0, proc.stderr
    if expected is not None:
        assert json.loads(proc.stdout.strip().splitlines()[-1]) == {"type": "RuntimeError", "message": expected}
        return
    assert proc.stdout == "null\n"  # success prints nothing
    module = packages[0].split("==")[0].replace("-", "_")
    assert run(python, ["-c", f"import {module}"], env).returncode == 0
