"""The C++ masking kernel built and tested on its own, without Python bindings."""

import pathlib
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
NATIVE = HERE.parent / "src" / "native"


@pytest.mark.timeout(120)
def test_kernel_unit_tests_pass_without_python(tmp_path):
    compiler, pkg_config = shutil.which("c++") or shutil.which("g++"), shutil.which("pkg-config")
    pcre2 = pkg_config and subprocess.run([pkg_config, "--cflags", "--libs", "libpcre2-32"], capture_output=True, text=True)
    if not compiler or not pcre2 or pcre2.returncode != 0:
        pytest.skip("needs a C++ compiler and the libpcre2-32 development files")
    sources = [HERE / "native" / "kernel_test.cpp", NATIVE / "masking_engine.cpp", NATIVE / "pattern_syntax.cpp"]
    flags = ["-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-DPCRE2_CODE_UNIT_WIDTH=32", f"-I{NATIVE}"]
    binary = tmp_path / "kernel_test"
    build = subprocess.run(
        [compiler, *flags, *map(str, sources), "-o", str(binary), *pcre2.stdout.split()],
        capture_output=True, text=True, timeout=110,
    )  # fmt: skip
    assert build.returncode == 0, build.stderr
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stdout + result.stderr
