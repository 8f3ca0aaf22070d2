"""What the E2B stand-in's sandboxes cost: the stand-in's start, and a sandbox's create and terminate.

The start is the first of this process (it checks once what the machine allows); each create
through the library (``E2BSandbox.create``) is followed by its terminate. Prints one JSON line:
the start, and the medians of N creates and N terminates, in milliseconds. Run it alternately
with another checkout's copy to compare the two side by side.

    .venv/bin/python bench/bench_standin_lifecycle.py [--runs 10]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests.fakes.e2b_server import E2BStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox  # noqa: E402


async def cycles(service: E2BStandIn, runs: int) -> tuple[list[float], list[float]]:
    creates, terminates = [], []
    for _ in range(runs):
        began = time.perf_counter()
        sandbox = await E2BSandbox.create(**service.connection_options())
        created = time.perf_counter()
        await sandbox.terminate()
        creates.append(created - began)
        terminates.append(time.perf_counter() - created)
    return creates, terminates


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10)
    runs = parser.parse_args().runs
    began = time.perf_counter()
    service = E2BStandIn()
    service.start()
    start = time.perf_counter() - began
    try:
        creates, terminates = asyncio.run(cycles(service, runs))
    finally:
        service.stop()
    print(json.dumps({"start_ms": round(start * 1000, 1), "create_ms": round(statistics.median(creates) * 1000, 1),
                      "terminate_ms": round(statistics.median(terminates) * 1000, 1)}))


if __name__ == "__main__":
    main()
