"""What a cell's output costs through the stand-ins: a cell printing N lines, run through the library.

Each stand-in (OpenSandbox, E2B) serves one sandbox, whose cell prints N short lines (1,000, 10,000
and 100,000) that its code worker sends line by line, read by the stand-in in this process. Prints
one JSON line per stand-in and N: the median seconds of the runs. Run it alternately with another
checkout's copy (which imports that checkout's stand-ins) to compare the two side by side.

    .venv/bin/python bench/bench_standin_output.py [--runs 5] [--stand-in e2b ...]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
os.environ.setdefault("OPENSANDBOX_DISABLE_METRICS", "1")

from bench._quick import brief, sizes  # noqa: E402
from tests.fakes.e2b_server import E2BStandIn  # noqa: E402
from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402

STAND_INS = {
    "opensandbox": (OpenSandboxStandIn, lambda service: OpenSandbox.create(**service.connection_options())),
    "e2b": (E2BStandIn, lambda service: E2BSandbox.create(**service.connection_options())),
}


async def outputs(service, create, lines: tuple[int, ...], runs: int) -> dict[int, list[float]]:
    """The seconds of ``runs`` cells printing each of ``lines`` lines, on one sandbox."""
    sandbox = await create(service)
    times: dict[int, list[float]] = {count: [] for count in lines}
    try:
        await sandbox.execute_code("print('warm')")
        for _ in range(runs):
            for count in lines:
                began = time.perf_counter()
                result = await sandbox.execute_code(f"for n in range({count}):\n    print(n)", timeout=600)
                times[count].append(time.perf_counter() - began)
                assert result.status.value == "success" and result.stdout.startswith("0\n1\n"), result
    finally:
        await sandbox.terminate()
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=brief(5, 1))
    parser.add_argument("--stand-in", action="append", choices=sorted(STAND_INS), dest="stand_ins")
    arguments = parser.parse_args()
    for name in arguments.stand_ins or list(STAND_INS):
        make, create = STAND_INS[name]
        with make() as service:
            times = asyncio.run(outputs(service, create, sizes(1_000, 10_000, 100_000), arguments.runs))
        for count, values in times.items():
            print(json.dumps({"stand_in": name, "lines": count, "median_s": round(statistics.median(values), 3)}),
                  flush=True)


if __name__ == "__main__":
    main()
