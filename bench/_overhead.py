"""What the backend overhead benchmarks share: the cell, the interleaved timing and the report.

Each ``bench_<backend>_overhead.py`` supplies the direct SDK call and the
library call on one sandbox of its local stand-in; the two are timed
alternately, so that drift affects both alike.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import time
from collections.abc import Awaitable, Callable
from typing import Any

from bench._quick import brief

CODE = "value = 6 * 7\nprint(value)"
PRINTED = "42\n"


def parse_args(doc: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--runs", type=int, default=brief(200, 3))
    parser.add_argument("--warmup", type=int, default=brief(20, 1))
    return parser.parse_args()


async def interleave(
    sandbox: Any,
    direct: Callable[[], Awaitable[Any]],
    direct_ok: Callable[[Any], bool],
    *,
    runs: int,
    warmup: int,
) -> tuple[list[float], list[float]]:
    """Seconds per call of ``direct`` and of ``sandbox.execute_code(CODE)``, warm-up runs dropped.

    Each answer is checked after its call has been timed (``direct_ok``, and
    ``PRINTED`` as the library's stdout); ``sandbox`` is terminated at the end.
    """
    direct_times: list[float] = []
    library_times: list[float] = []
    try:
        for index in range(warmup + runs):
            started = time.perf_counter()
            answer = await direct()
            direct_s = time.perf_counter() - started
            assert direct_ok(answer), answer

            started = time.perf_counter()
            result = await sandbox.execute_code(CODE)
            library_s = time.perf_counter() - started
            assert result.stdout == PRINTED, result

            if index >= warmup:
                direct_times.append(direct_s)
                library_times.append(library_s)
    finally:
        await sandbox.terminate()
    return direct_times, library_times


def main(
    doc: str,
    stand_in: Any,
    measure: Callable[[Any, int, int], Awaitable[tuple[list[float], list[float]]]],
    *,
    call: str,
    target: str,
) -> None:
    """Run ``measure(stand_in, runs, warmup)`` while ``stand_in`` serves, then print the report."""
    args = parse_args(doc)
    with stand_in:
        direct, library = asyncio.run(measure(stand_in, args.runs, args.warmup))
    report(args, direct, library, call=call, target=target)


def report(args: argparse.Namespace, direct: list[float], library: list[float], *, call: str, target: str) -> None:
    """Print the median of each path, their difference and their ratio against ``target``."""
    direct_ms = statistics.median(direct) * 1000
    library_ms = statistics.median(library) * 1000
    print(f"runs per path:             {args.runs} (after {args.warmup} warm-up runs)")
    print(f"{f'direct {call} median:':<27}{direct_ms:.3f} ms")
    print(f"execute_code median:       {library_ms:.3f} ms")
    print(f"overhead (median):         {library_ms - direct_ms:+.3f} ms")
    print(f"ratio execute_code/direct: {library_ms / direct_ms:.3f}x (target <= {target})")
