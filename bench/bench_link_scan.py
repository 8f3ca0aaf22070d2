"""Download-link scan: the native kernel against re.findall with the same pattern.

Prints time per call on realistic model answers and on adversarial runs of "[" without
"]" of growing length, where the regex engine is quadratic and the kernel linear.

    .venv/bin/python bench/bench_link_scan.py
"""

from __future__ import annotations

import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench._quick import brief, sizes  # noqa: E402
from vorn_tools._native import find_sandbox_links  # noqa: E402
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import _MARKDOWN_LINK_PATTERN  # noqa: E402

PATTERN = re.compile(_MARKDOWN_LINK_PATTERN)


def best_of(fn, text: str, budget: float = brief(0.3, 0.0)) -> float:
    """Best time of one call in seconds, repeating within a small time budget."""
    best = float("inf")
    deadline = time.perf_counter() + budget
    runs = 0
    while runs < 3 or (time.perf_counter() < deadline and runs < 10_000):
        start = time.perf_counter()
        fn(text)
        best = min(best, time.perf_counter() - start)
        runs += 1
    return best


def answer(links: int, filler: int) -> str:
    paragraph = (
        "The regional totals are computed from the uploaded CSV; [see the notes] (below) for the method. "
        "Values are in thousands — ünïcode and emoji 📈 included.\n"
    )
    parts = [paragraph * filler]
    for i in range(links):
        parts.append(f"[Download report_{i}.csv](sandbox:/files/report_{i}.csv)\n")
        parts.append(paragraph)
    return "".join(parts)


def row(label: str, text: str) -> None:
    assert find_sandbox_links(text) == PATTERN.findall(text)
    native = best_of(find_sandbox_links, text)
    regex = best_of(PATTERN.findall, text)
    print(f"{label:<34} {len(text):>10,} {native * 1e6:>12.1f} {regex * 1e6:>14.1f} {regex / native:>9.1f}x")


def main() -> None:
    print(f"{'input':<34} {'chars':>10} {'native (µs)':>12} {'re.findall (µs)':>14} {'speed-up':>10}")
    print("-- realistic answers")
    for links, filler in sizes((1, 2), (3, 10), (20, 100), (100, 1000)):
        row(f"answer, {links} links, {filler} paragraphs", answer(links, filler))
    print('-- adversarial: "[" * n, no "]"  (re: quadratic, native: linear)')
    for n in sizes(1_000, 2_000, 4_000, 8_000, 16_000, 32_000):
        row(f'"[" * {n:,}', "[" * n)
    print('-- adversarial: "[" * n + "]" (a close far away: every start rescans up to it)')
    for n in sizes(1_000, 4_000, 16_000, 32_000):
        row(f'"[" * {n:,} + "]"', "[" * n + "]")
    print('-- many near-links: "[a](sandbox:)" * n (both linear)')
    for n in sizes(1_000, 10_000, 100_000):
        row(f'"[a](sandbox:)" * {n:,}', "[a](sandbox:)" * n)
    print('-- adversarial: "[a" * n + "](sandbox:/x" (no ")")')
    for n in sizes(1_000, 4_000, 16_000):
        row(f'"[a" * {n:,} + open link', "[a" * n + "](sandbox:/x")
    print("-- native only, large inputs")
    for n in sizes(1_000_000, 10_000_000):
        for label, text in [(f'"[" * {n:,} + "]"', "[" * n + "]"), (f'"[a](sandbox:/b)" * {n // 15:,}', "[a](sandbox:/b)" * (n // 15))]:
            print(f"{label:<34} {len(text):>10,} {best_of(find_sandbox_links, text) * 1e3:>10.2f} ms")


if __name__ == "__main__":
    main()
