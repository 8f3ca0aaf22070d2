"""Library overhead of ``BedrockAgentCoreSandbox.execute_code`` over a direct invoke call.

Both paths run the same small cell in the same session of the local AgentCore
stand-in (tests/fakes/agentcore_server.py) through the same aiobotocore client:
the direct path calls ``invoke_code_interpreter`` and drains its event stream.
The two are interleaved so that drift affects both alike. Prints the median
latency of each path over N runs and their ratio.

    .venv/bin/python bench/bench_bedrock_overhead.py [--runs 200]
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench._overhead import CODE, PRINTED, interleave, main  # noqa: E402
from tests.fakes.agentcore_server import AgentCoreStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox  # noqa: E402


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


async def measure(stand_in: AgentCoreStandIn, runs: int, warmup: int) -> tuple[list[float], list[float]]:
    for name in ("AWS_ENDPOINT_URL", "AWS_MAX_ATTEMPTS", "AWS_RETRY_MODE", "AWS_PROFILE"):
        os.environ.pop(name, None)
    os.environ.update(AWS_ENDPOINT_URL_BEDROCK_AGENTCORE=stand_in.endpoint, AWS_CONFIG_FILE=os.devnull,
                      AWS_SHARED_CREDENTIALS_FILE=os.devnull, AWS_EC2_METADATA_DISABLED="true")
    sandbox = BedrockAgentCoreSandbox(**stand_in.credentials)
    await sandbox.execute_code("pass")
    return await interleave(sandbox, lambda: direct_run(sandbox), lambda stdout: stdout == PRINTED,
                            runs=runs, warmup=warmup)


if __name__ == "__main__":
    main(__doc__, AgentCoreStandIn(), measure, call="invoke", target="1.1x")
