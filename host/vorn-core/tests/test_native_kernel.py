"""The C++ masking kernel built and tested on its own, without Python bindings."""

from __future__ import annotations

import pathlib
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
NATIVE = HERE.parent / "src" / "native"


@pytest.mark.timeout(120)
def test_kernel_unit_tests_pass_without_python(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None or shutil.which("pkg-config") is None:
        pytest.skip("needs a C++ compiler and pkg-config")
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libpcre2-32"], capture_output=True, text=True, check=False
    )
    if flags.returncode != 0:
        pytest.skip("libpcre2-32 development files are not installed")
    binary = tmp_path / "kernel_test"
    build = subprocess.run(
        [
            compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-DPCRE2_CODE_UNIT_WIDTH=32",
            f"-I{NATIVE}", str(HERE / "native" / "kernel_test.cpp"),
            str(NATIVE / "masking_engine.cpp"), str(NATIVE / "pattern_syntax.cpp"),
            "-o", str(binary), *flags.stdout.split(),
        ],  # fmt: skip
        capture_output=True,
        text=True,
        timeout=110,
        check=False,
    )
    assert build.returncode == 0, build.stderr
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=30, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"
