"""The benches' brief run: with ``VORN_BENCH_QUICK=1`` each runs once on its smallest size, with few repetitions.

The test command runs every bench so, to find one that no longer runs; the
figures it then prints measure nothing. Without the variable a bench runs in full.
"""

from __future__ import annotations

import os
from typing import TypeVar

T = TypeVar("T")

QUICK = os.environ.get("VORN_BENCH_QUICK", "") not in ("", "0")


def brief(full: T, quick: T) -> T:
    """``quick`` in a brief run, else ``full``."""
    return quick if QUICK else full


def sizes(*values: T) -> tuple[T, ...]:
    """``values``, smallest first; in a brief run only the first."""
    return values[:1] if QUICK else values
