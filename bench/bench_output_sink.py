"""Append throughput and render time of the native BoundedOutputSink against a
pure-Python deque reference.

Run: .venv/bin/python bench/bench_output_sink.py
Prints numbers only; nothing is asserted.
"""

import gc
import importlib.util
import time
from pathlib import Path

from vorn_tools._native import BoundedOutputSink


def _load_reference():
    path = Path(__file__).resolve().parents[1] / "tests" / "sandbox" / "reference_sink.py"
    spec = importlib.util.spec_from_file_location("reference_sink", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.ReferenceSink


ReferenceSink = _load_reference()


def _best(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        started = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - started)
    return best


def _append_all(sink_type, lines):
    def run():
        sink = sink_type()
        append = sink.append
        for line in lines:
            append(line)
        run.sink = sink

    return run


def bench(label, lines, repeat):
    print(f"\n{label}: {len(lines):,} lines of {len(lines[0]):,} characters")
    results = {}
    for name, sink_type in (("python-deque", ReferenceSink), ("native", BoundedOutputSink)):
        append_run = _append_all(sink_type, lines)
        append_s = _best(append_run, repeat)
        sink = append_run.sink
        render_s = _best(sink.render, repeat)
        results[name] = append_s
        print(
            f"  {name:13s} append {append_s * 1e3:9.2f} ms "
            f"({len(lines) / append_s / 1e6:6.2f} M lines/s, {append_s / len(lines) * 1e9:6.1f} ns/line)"
            f"   render {render_s * 1e3:8.3f} ms ({len(sink.render()):,} chars)"
        )
    print(f"  native append speed-up: {results['python-deque'] / results['native']:.2f}x")


def main():
    # Distinct string objects, as a streaming SDK would hand them over.
    short = [f"{i:08d}" + "x" * 72 for i in range(1_000_000)]
    bench("short lines", short, repeat=5)
    del short
    big = [f"{i:08d}" + "y" * (64 * 1024 - 8) for i in range(10_000)]
    bench("64 KB lines", big, repeat=5)


if __name__ == "__main__":
    main()
