"""What the backend overhead benchmarks share: the cell, the interleaved timing and the report.

Each ``bench_<backend>_overhead.py`` supplies the direct SDK call and the
library call on one sandbox of its local stand-in; the two are timed
alternately, so that drift affects both alike.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Awaitable, Callable
from typing import Any

CODE = "value = 6 * 7\nprint(value)"
PRINTED = "42\n"


def parse_args(doc: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--warmup", type=int, default=20)
    return parser.parse_args()


async def interleave(
    direct: Callable[[], Awaitable[Any]],
    direct_ok: Callable[[Any], bool],
    library: Callable[[], Awaitable[Any]],
    *,
    runs: int,
    warmup: int,
) -> tuple[list[float], list[float]]:
    """Seconds per call of ``direct`` and of ``library`` (which must print ``PRINTED``), warm-up dropped.

    Each answer is checked after its call has been timed.
    """
    direct_times: list[float] = []
    library_times: list[float] = []
    for index in range(warmup + runs):
        started = time.perf_counter()
        answer = await direct()
        direct_s = time.perf_counter() - started
        assert direct_ok(answer), answer

        started = time.perf_counter()
        result = await library()
        library_s = time.perf_counter() - started
        assert result.stdout == PRINTED, result

        if index >= warmup:
            direct_times.append(direct_s)
            library_times.append(library_s)
    return direct_times, library_times


def report(args: argparse.Namespace, direct: list[float], library: list[float], *, call: str, target: str) -> None:
    """Print the median of each path, their difference and their ratio against ``target``."""
    direct_ms = statistics.median(direct) * 1000
    library_ms = statistics.median(library) * 1000
    print(f"runs per path:             {args.runs} (after {args.warmup} warm-up runs)")
    print(f"{f'direct {call} median:':<27}{direct_ms:.3f} ms")
    print(f"execute_code median:       {library_ms:.3f} ms")
    print(f"overhead (median):         {library_ms - direct_ms:+.3f} ms")
    print(f"ratio execute_code/direct: {library_ms / direct_ms:.3f}x (target <= {target})")
