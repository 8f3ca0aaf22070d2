"""Per-call latency of ``execute_code`` on OpenSandboxLite against OpenSandbox, on the same stand-in.

Both backends run on the local OpenSandbox stand-in (tests/fakes/opensandbox_server.py):
OpenSandbox through its Jupyter channel (the stand-in's persistent Python worker), Lite
through its relay and IPython daemon, both real local processes. Two cells: a trivial
one, and one printing 1 MB (10,000 lines of 100 characters). Calls alternate between
the backends so that drift affects both alike. Prints the median per call and the ratio
Lite / OpenSandbox.

    .venv/bin/python bench/bench_opensandbox_lite.py [--runs 30]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
os.environ.setdefault("OPENSANDBOX_DISABLE_METRICS", "1")

from tests.fakes.lite_daemon import image_env  # noqa: E402
from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402

CELLS = {
    "trivial cell": ("value = 6 * 7\nprint(value)", "42\n"),
    "1 MB printed": ("for i in range(10000):\n    print(str(i).rjust(99, 'x'))",
                     "".join(str(i).rjust(99, "x") + "\n" for i in range(10000))),  # fmt: skip
}


async def measure(stand_in: OpenSandboxStandIn, runs: int) -> dict[str, dict[str, list[float]]]:
    backends = {
        "opensandbox": await OpenSandbox.create(**stand_in.connection_options()),
        "lite": await OpenSandboxLite.create(**stand_in.connection_options(), env=image_env()),
    }
    timings = {cell: {name: [] for name in backends} for cell in CELLS}
    try:
        for cell, (code, expected) in CELLS.items():
            for index in range(runs + 2):  # two warm-up rounds
                for name, sandbox in backends.items():
                    started = time.perf_counter()
                    result = await sandbox.execute_code(code, timeout=120)
                    elapsed = time.perf_counter() - started
                    assert result.stdout == expected, (name, result.status, result.error)
                    if index >= 2:
                        timings[cell][name].append(elapsed)
    finally:
        for sandbox in backends.values():
            await sandbox.terminate()
    return timings


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()

    stand_in = OpenSandboxStandIn()
    stand_in.start()
    try:
        timings = asyncio.run(measure(stand_in, args.runs))
    finally:
        stand_in.stop()

    print(f"runs per backend and cell: {args.runs} (after 2 warm-up runs)")
    for cell, by_backend in timings.items():
        base = statistics.median(by_backend["opensandbox"]) * 1000
        lite = statistics.median(by_backend["lite"]) * 1000
        print(f"{cell:14s}  OpenSandbox {base:9.1f} ms   Lite {lite:9.1f} ms   ratio Lite/OpenSandbox {lite / base:5.2f}")


if __name__ == "__main__":
    main()
