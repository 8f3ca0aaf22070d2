"""Library overhead of ``OpenSandbox.execute_code`` over a direct code-interpreter SDK ``codes.run``.

Both paths run the same small cell on the same sandbox (and kernel) of the local
OpenSandbox stand-in (tests/fakes/opensandbox_server.py), interleaved so that drift
affects both alike; the direct call gets streaming handlers too, as the library's
call does. Prints the median latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_opensandbox_overhead.py [--runs 200]
"""

from __future__ import annotations

import asyncio
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
os.environ.setdefault("OPENSANDBOX_DISABLE_METRICS", "1")

from opensandbox.models.execd import ExecutionHandlers  # noqa: E402

from bench._overhead import CODE, interleave, main  # noqa: E402
from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402


async def _ignore(message) -> None:
    return None


async def measure(stand_in: OpenSandboxStandIn, runs: int, warmup: int) -> tuple[list[float], list[float]]:
    sandbox = await OpenSandbox.create(**stand_in.connection_options())
    codes = sandbox._interpreter.codes
    handlers = ExecutionHandlers(on_init=_ignore, on_stdout=_ignore, on_stderr=_ignore)
    return await interleave(
        sandbox,
        lambda: asyncio.wait_for(codes.run(CODE, language="python", handlers=handlers), 30),
        lambda execution: execution.text == "42" and not execution.error,
        runs=runs,
        warmup=warmup,
    )


if __name__ == "__main__":
    main(__doc__, OpenSandboxStandIn(), measure, call="codes.run", target="1.1x")
