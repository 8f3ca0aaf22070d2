"""Library overhead of ``E2BSandbox.execute_code`` over a direct SDK ``run_code`` call.

Both paths run the same small cell on the same sandbox of the local E2B
stand-in (tests/fakes/e2b_server.py), interleaved so that drift affects both
alike. Prints the median latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_e2b_overhead.py [--runs 200]
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests.fakes.e2b_server import E2BStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox  # noqa: E402

CODE = "value = 6 * 7\nprint(value)"


async def measure(stand_in: E2BStandIn, runs: int, warmup: int) -> tuple[list[float], list[float]]:
    sandbox = await E2BSandbox.create(**stand_in.connection_options())
    provider = sandbox.sandbox
    assert provider is not None
    direct: list[float] = []
    library: list[float] = []
    try:
        for index in range(warmup + runs):
            started = time.perf_counter()
            execution = await provider.run_code(CODE, timeout=30, on_stdout=lambda m: None, on_stderr=lambda m: None)
            direct_s = time.perf_counter() - started
            assert execution.logs.stdout == ["42\n"]

            started = time.perf_counter()
            result = await sandbox.execute_code(CODE)
            library_s = time.perf_counter() - started
            assert result.stdout == "42\n", result

            if index >= warmup:
                direct.append(direct_s)
                library.append(library_s)
    finally:
        await sandbox.terminate()
    return direct, library


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--warmup", type=int, default=20)
    args = parser.parse_args()

    stand_in = E2BStandIn()
    stand_in.start()
    try:
        direct, library = asyncio.run(measure(stand_in, args.runs, args.warmup))
    finally:
        stand_in.stop()

    direct_ms = statistics.median(direct) * 1000
    library_ms = statistics.median(library) * 1000
    print(f"runs per path:             {args.runs} (after {args.warmup} warm-up runs)")
    print(f"direct run_code median:    {direct_ms:.3f} ms")
    print(f"execute_code median:       {library_ms:.3f} ms")
    print(f"overhead (median):         {library_ms - direct_ms:+.3f} ms")
    print(f"ratio execute_code/direct: {library_ms / direct_ms:.3f}x (target <= 1.2x)")


if __name__ == "__main__":
    main()
