"""Fixtures of the sandbox-contract tests: tiny wheels, throwaway interpreters, spans."""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures


def build_wheel(directory: Path, name: str) -> Path:
    """Write a minimal pure-Python wheel of distribution ``name`` 1.0 holding an empty package ``name``."""
    path, dist_info = directory / f"{name}-1.0-py3-none-any.whl", f"{name}-1.0.dist-info"
    with zipfile.ZipFile(path, "w") as wheel:
        wheel.writestr(f"{name}/__init__.py", "")
        wheel.writestr(f"{dist_info}/METADATA", f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        wheel.writestr(f"{dist_info}/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        wheel.writestr(f"{dist_info}/RECORD", "")  # pip needs the file, not its hashes
    return path


@pytest.fixture(scope="session")
def wheel_dir(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("wheels")
    for name in ("vorn_tiny_a", "vorn_tiny_m", "vorn_tiny_t", "vorn_tiny_v"):
        build_wheel(directory, name)
    return directory


def make_venv(root: Path, *, with_pip: bool) -> Path:
    args = [sys.executable, "-m", "venv", *([] if with_pip else ["--without-pip"]), str(root)]
    subprocess.run(args, check=True, capture_output=True, timeout=120)
    return root / "bin" / "python"


@pytest.fixture(scope="session")
def pip_python(tmp_path_factory) -> Path:
    """An interpreter of a fresh venv with its own pip; tests install distinct names into it."""
    return make_venv(tmp_path_factory.mktemp("venv-pip") / "venv", with_pip=True)


@pytest.fixture
def offline_pip_env(wheel_dir, tmp_path) -> dict[str, str]:
    """Environment for a child interpreter whose pip sees only the tiny wheels."""
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(tmp_path), "PIP_NO_INDEX": "1",
            "PIP_FIND_LINKS": str(wheel_dir), "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"}
