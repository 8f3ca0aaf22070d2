"""Library overhead of ``BedrockAgentCoreSandbox.execute_code`` over a direct invoke call.

Both paths run the same small cell in the same session of the local AgentCore
stand-in (tests/fakes/agentcore_server.py) through the same aiobotocore client:
the direct path calls ``invoke_code_interpreter`` and drains its event stream.
The two are interleaved so that drift affects both alike. Prints the median
latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_bedrock_overhead.py [--runs 200]
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

from tests.fakes.agentcore_fixtures import CREDENTIALS  # noqa: E402
from tests.fakes.agentcore_server import AgentCoreStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox  # noqa: E402

CODE = "value = 6 * 7\nprint(value)"


async def direct_run(sandbox: BedrockAgentCoreSandbox) -> str:
    response = await sandbox._client.invoke_code_interpreter(
        codeInterpreterIdentifier="aws.codeinterpreter.v1",
        sessionId=sandbox.sandbox_id,
        name="executeCode",
        arguments={"language": "python", "code": CODE},
    )
    stdout = ""
    async for event in response["stream"]:
        stdout = event["result"]["structuredContent"]["stdout"]
    return stdout


async def measure(runs: int, warmup: int) -> tuple[list[float], list[float]]:
    sandbox = BedrockAgentCoreSandbox(**CREDENTIALS)
    await sandbox.execute_code("pass")
    direct: list[float] = []
    library: list[float] = []
    try:
        for index in range(warmup + runs):
            started = time.perf_counter()
            assert await direct_run(sandbox) == "42\n"
            direct_s = time.perf_counter() - started

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

    stand_in = AgentCoreStandIn()
    stand_in.start()
    for name in ("AWS_ENDPOINT_URL", "AWS_MAX_ATTEMPTS", "AWS_RETRY_MODE", "AWS_PROFILE"):
        os.environ.pop(name, None)
    os.environ.update(AWS_ENDPOINT_URL_BEDROCK_AGENTCORE=stand_in.endpoint, AWS_CONFIG_FILE=os.devnull,
                      AWS_SHARED_CREDENTIALS_FILE=os.devnull, AWS_EC2_METADATA_DISABLED="true")
    try:
        direct, library = asyncio.run(measure(args.runs, args.warmup))
    finally:
        stand_in.stop()

    direct_ms = statistics.median(direct) * 1000
    library_ms = statistics.median(library) * 1000
    print(f"runs per path:             {args.runs} (after {args.warmup} warm-up runs)")
    print(f"direct invoke median:      {direct_ms:.3f} ms")
    print(f"execute_code median:       {library_ms:.3f} ms")
    print(f"overhead (median):         {library_ms - direct_ms:+.3f} ms")
    print(f"ratio execute_code/direct: {library_ms / direct_ms:.3f}x (target <= 1.1x)")


if __name__ == "__main__":
    main()
