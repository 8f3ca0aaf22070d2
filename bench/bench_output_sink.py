"""Append throughput and render time of the native BoundedOutputSink against a
pure-Python deque reference, and record cost, render time and peak memory of the
streamed-output record for output with and without line breaks.

Run: .venv/bin/python bench/bench_output_sink.py
Prints numbers only; nothing is asserted.
"""

import gc
import importlib.util
import sys
import time
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench._quick import brief  # noqa: E402
from vorn_tools._native import BoundedOutputSink  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.utils import StreamedOutput  # noqa: E402

LINES = brief(1_000_000, 10_000)
REPEAT = brief(5, 1)


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


def _record_all(chunks):
    def run():
        streamed = StreamedOutput()
        record = streamed.record
        for chunk in chunks:
            record("stdout", chunk)
        run.streamed = streamed

    return run


def bench_streamed(label, chunks, repeat):
    total = sum(map(len, chunks))
    print(f"\nstreamed record, {label}: {len(chunks):,} chunks, {total:,} characters")
    record_run = _record_all(chunks)
    record_s = _best(record_run, repeat)
    streamed = record_run.streamed
    render_s = _best(lambda: streamed.render("stdout"), repeat)
    del record_run.streamed, streamed
    gc.collect()
    # Each chunk decoded afresh on the way, as a provider hands it over, so the
    # peak counts what the record keeps alive as well as what it allocates.
    tracemalloc.start()
    _record_all(chunk.encode().decode() for chunk in chunks)()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(
        f"  record {record_s * 1e3:9.2f} ms ({record_s / len(chunks) * 1e9:6.1f} ns/chunk)"
        f"   render {render_s * 1e3:8.3f} ms   peak {peak / 1e6:7.2f} MB"
    )


def main():
    # Distinct string objects, as a streaming SDK would hand them over.
    short = [f"{i:08d}" + "x" * 72 for i in range(LINES)]
    bench("short lines", short, repeat=REPEAT)
    del short
    big = [f"{i:08d}" + "y" * (64 * 1024 - 8) for i in range(LINES // 100)]
    bench("64 KB lines", big, repeat=REPEAT)
    del big
    lines = [f"{i:08d}" + "x" * 11 + "\n" for i in range(LINES)]
    bench_streamed("one short line per chunk", lines, repeat=REPEAT)
    del lines
    # A progress bar redrawn with carriage returns: no line break ever comes.
    progress = [f"\r{i:08d}" + "#" * 11 for i in range(LINES)]
    bench_streamed("no line breaks", progress, repeat=REPEAT)


if __name__ == "__main__":
    main()
