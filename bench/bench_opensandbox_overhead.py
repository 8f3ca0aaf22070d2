"""Library overhead of ``OpenSandbox.execute_code`` over a direct code-interpreter SDK ``codes.run``.

Both paths run the same small cell on the same sandbox (and kernel) of the local
OpenSandbox stand-in (tests/fakes/opensandbox_server.py), interleaved so that drift
affects both alike; the direct call gets streaming handlers too, as the library's
call does. Prints the median latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_opensandbox_overhead.py [--runs 200]
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

from opensandbox.models.execd import ExecutionHandlers  # noqa: E402

from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402

CODE = "value = 6 * 7\nprint(value)"


async def _ignore(message) -> None:
    return None


async def measure(stand_in: OpenSandboxStandIn, runs: int, warmup: int) -> tuple[list[float], list[float]]:
    sandbox = await OpenSandbox.create(**stand_in.connection_options())
    codes = sandbox._interpreter.codes
    handlers = ExecutionHandlers(on_init=_ignore, on_stdout=_ignore, on_stderr=_ignore)
    direct: list[float] = []
    library: list[float] = []
    try:
        for index in range(warmup + runs):
            started = time.perf_counter()
            execution = await asyncio.wait_for(codes.run(CODE, language="python", handlers=handlers), 30)
            direct_s = time.perf_counter() - started
            assert execution.text == "42" and not execution.error

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

    stand_in = OpenSandboxStandIn()
    stand_in.start()
    try:
        direct, library = asyncio.run(measure(stand_in, args.runs, args.warmup))
    finally:
        stand_in.stop()

    direct_ms = statistics.median(direct) * 1000
    library_ms = statistics.median(library) * 1000
    print(f"runs per path:             {args.runs} (after {args.warmup} warm-up runs)")
    print(f"direct codes.run median:   {direct_ms:.3f} ms")
    print(f"execute_code median:       {library_ms:.3f} ms")
    print(f"overhead (median):         {library_ms - direct_ms:+.3f} ms")
    print(f"ratio execute_code/direct: {library_ms / direct_ms:.3f}x (target <= 1.1x)")


if __name__ == "__main__":
    main()
