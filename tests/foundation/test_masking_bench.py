"""The masking bench's figures measure what they say."""

import importlib.util
import pathlib
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "bench_masking.py"


@pytest.mark.skipif(not pathlib.Path("/proc/self/status").exists(), reason="reads the kernel's per-process figures")
def test_import_peak_memory_is_the_fresh_interpreters_own() -> None:
    spec = importlib.util.spec_from_file_location("bench_masking", BENCH)
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)  # type: ignore[union-attr]
    _, alone, bare = bench._import_figures()
    # A parent 256 MB larger at the fork must not show in the child's figure.
    ballast = bytearray(256 << 20)
    ballast[:: 1 << 12] = b"\x01" * len(range(0, len(ballast), 1 << 12))
    _, beside_ballast, _ = bench._import_figures()
    del ballast
    assert bare < alone and beside_ballast < alone + 64, (alone, beside_ballast)
