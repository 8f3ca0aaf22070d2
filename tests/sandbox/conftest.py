"""Fixtures of the sandbox-contract tests: tiny wheels, throwaway interpreters, spans."""

import base64
import hashlib
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest


def build_wheel(directory: Path, name: str, version: str = "1.0") -> Path:
    """Write a minimal pure-Python wheel of distribution ``name`` holding package ``name``."""
    dist_info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": f"VALUE = {name!r}\n".encode(),
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode(),
        f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: vorn-tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = "".join(
        f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},{len(data)}\n"
        for path, data in files.items()
    )
    path = directory / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as wheel:
        for member, data in files.items():
            wheel.writestr(member, data)
        wheel.writestr(f"{dist_info}/RECORD", record + f"{dist_info}/RECORD,,\n")
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


@pytest.fixture(scope="session")
def bare_python(tmp_path_factory) -> Path:
    """An interpreter of a fresh venv without pip."""
    return make_venv(tmp_path_factory.mktemp("venv-bare") / "venv", with_pip=False)


@pytest.fixture
def offline_pip_env(wheel_dir, tmp_path) -> dict[str, str]:
    """Environment for a child interpreter whose pip sees only the tiny wheels."""
    return {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": str(tmp_path),
        "PIP_NO_INDEX": "1",
        "PIP_FIND_LINKS": str(wheel_dir),
        "PIP_DISABLE_PIP_VERSION_CHECK": "1",
        "PIP_NO_CACHE_DIR": "1",
        "PYTHONDONTWRITEBYTECODE": "1",
    }


@pytest.fixture(scope="session")
def _span_exporter():
    from opentelemetry import trace
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    provider = trace.get_tracer_provider()
    if not isinstance(provider, TracerProvider):
        provider = TracerProvider()
        trace.set_tracer_provider(provider)
    exporter = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    return exporter


@pytest.fixture
def spans(_span_exporter):
    """Finished spans of the current test, through the OpenTelemetry SDK."""
    _span_exporter.clear()
    yield _span_exporter
    _span_exporter.clear()
