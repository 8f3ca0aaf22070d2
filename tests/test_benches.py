"""Every bench under bench/ still runs (once, briefly), and the figures of one measure what they say."""

import importlib.util
import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
BENCHES = sorted((ROOT / "bench").glob("bench_*.py"))
BOUND = 90  # seconds; a brief run takes a few, well within pytest-timeout's last resort


@pytest.mark.parametrize("bench", BENCHES, ids=lambda path: path.stem)
def test_bench_runs_briefly_and_prints_figures(bench: pathlib.Path, tmp_path: pathlib.Path) -> None:
    home, tmp = tmp_path / "home", tmp_path / "tmp"
    home.mkdir()
    tmp.mkdir()
    # A home of its own, and no XDG directories elsewhere: whatever a bench writes there shows.
    env = {name: value for name, value in os.environ.items() if not name.startswith("XDG_")}
    env.update(VORN_BENCH_QUICK="1", HOME=str(home), TMPDIR=str(tmp))
    run = subprocess.Popen([sys.executable, str(bench)], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = run.communicate(timeout=BOUND)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        out, err = run.communicate()
        pytest.fail(f"{bench.name} still running after {BOUND} s; it printed:\n{out}\n{err[-3000:]}")
    assert run.returncode == 0, err[-3000:]
    assert re.search(r"\d\.\d", out), f"{bench.name} printed no figures:\n{out}\n{err[-3000:]}"
    assert sorted(home.rglob("*")) == []


@pytest.mark.skipif(not pathlib.Path("/proc/self/status").exists(), reason="reads the kernel's per-process figures")
def test_masking_import_peak_memory_is_the_fresh_interpreters_own() -> None:
    spec = importlib.util.spec_from_file_location("bench_masking", ROOT / "bench" / "bench_masking.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)  # type: ignore[union-attr]
    _, alone, bare = bench._import_figures()
    # A parent 256 MB larger at the fork must not show in the child's figure.
    ballast = bytearray(256 << 20)
    ballast[:: 1 << 12] = b"\x01" * len(range(0, len(ballast), 1 << 12))
    _, beside_ballast, _ = bench._import_figures()
    del ballast
    assert bare < alone and beside_ballast < alone + 64, (alone, beside_ballast)
