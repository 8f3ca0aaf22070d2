"""Library overhead of ``E2BSandbox.execute_code`` over a direct SDK ``run_code`` call.

Both paths run the same small cell on the same sandbox of the local E2B
stand-in (tests/fakes/e2b_server.py), interleaved so that drift affects both
alike. Prints the median latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_e2b_overhead.py [--runs 200]
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench._overhead import CODE, PRINTED, interleave, main  # noqa: E402
from tests.fakes.e2b_server import E2BStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox  # noqa: E402


async def measure(stand_in: E2BStandIn, runs: int, warmup: int) -> tuple[list[float], list[float]]:
    sandbox = await E2BSandbox.create(**stand_in.connection_options())
    provider = sandbox.sandbox
    assert provider is not None
    return await interleave(
        sandbox,
        lambda: provider.run_code(CODE, timeout=30, on_stdout=lambda m: None, on_stderr=lambda m: None),
        lambda execution: execution.logs.stdout == [PRINTED],
        runs=runs,
        warmup=warmup,
    )


if __name__ == "__main__":
    main(__doc__, E2BStandIn(), measure, call="run_code", target="1.2x")
