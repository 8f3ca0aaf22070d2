"""What the stand-ins' sandboxes cost: each stand-in's start, and a sandbox's create, one command and terminate.

Each stand-in (E2B, OpenSandbox, AgentCore) is the first of its kind in this process (so its start
checks once what the machine allows); each create through the library is followed by one command
(``true``) and the sandbox's terminate; OpenSandbox's also takes N snapshots of a sandbox whose tree
holds 50 MB (50 files of 1 MB). Prints one JSON line per stand-in: the start, and the medians of N
creates, commands, terminates (and snapshots), in milliseconds. Run it alternately with another
checkout's copy to compare the two side by side.

    .venv/bin/python bench/bench_standin_lifecycle.py [--runs 10] [--stand-in e2b ...]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import time
from pathlib import Path

import httpx

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench._quick import brief  # noqa: E402
from tests.fakes.agentcore_server import AgentCoreStandIn, new_credentials  # noqa: E402
from tests.fakes.e2b_server import E2BStandIn  # noqa: E402
from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402


async def _agentcore(service: AgentCoreStandIn) -> BedrockAgentCoreSandbox:
    sandbox = BedrockAgentCoreSandbox(**service.credentials)
    await sandbox._ensure_started()
    return sandbox


STAND_INS = {
    "e2b": (E2BStandIn, lambda service: E2BSandbox.create(**service.connection_options())),
    "opensandbox": (OpenSandboxStandIn, lambda service: OpenSandbox.create(**service.connection_options())),
    "agentcore": (lambda: AgentCoreStandIn(new_credentials()), _agentcore),
}


async def cycles(service, create, runs: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {"create": [], "command": [], "terminate": []}
    for _ in range(runs):
        began = time.perf_counter()
        sandbox = await create(service)
        created = time.perf_counter()
        result = await sandbox.execute_command("true")
        commanded = time.perf_counter()
        await sandbox.terminate()
        assert result.status.value == "success", result
        for name, took in zip(times, (created - began, commanded - created, time.perf_counter() - commanded)):
            times[name].append(took)
    return times


async def snapshots(service: OpenSandboxStandIn, runs: int, megabytes: int) -> dict[str, list[float]]:
    """The times of ``runs`` snapshots of a sandbox whose tree holds ``megabytes`` files of 1 MB, each deleted after."""
    sandbox = await OpenSandbox.create(**service.connection_options())
    times: dict[str, list[float]] = {f"snapshot_{megabytes}mb": []}
    try:
        made = await sandbox.execute_code(f"import os\nos.mkdir('/tmp/data')\nfor n in range({megabytes}):\n"
                                          "    open(f'/tmp/data/{n}', 'wb').write(os.urandom(1 << 20))")
        assert made.status.value == "success", made
        api, key = service.url("api"), {"OPEN-SANDBOX-API-KEY": service.api_key}
        async with httpx.AsyncClient(timeout=120) as client:
            for _ in range(runs):
                began = time.perf_counter()
                taken = await client.post(f"{api}/v1/sandboxes/{sandbox.sandbox_id}/snapshots", headers=key, json={})
                times[f"snapshot_{megabytes}mb"].append(time.perf_counter() - began)
                assert taken.status_code == 202, taken.text
                await client.delete(f"{api}/v1/snapshots/{taken.json()['id']}", headers=key)
    finally:
        await sandbox.terminate()
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=brief(10, 1))
    parser.add_argument("--stand-in", action="append", choices=sorted(STAND_INS), dest="stand_ins")
    arguments = parser.parse_args()
    for name in ("AWS_ENDPOINT_URL", "AWS_MAX_ATTEMPTS", "AWS_RETRY_MODE"):
        os.environ.pop(name, None)
    os.environ.update(AWS_REGION="us-east-1", AWS_CONFIG_FILE=os.devnull, AWS_SHARED_CREDENTIALS_FILE=os.devnull,
                      AWS_EC2_METADATA_DISABLED="true")
    for name in arguments.stand_ins or list(STAND_INS):
        make, create = STAND_INS[name]
        began = time.perf_counter()
        service = make()
        service.start()
        start = time.perf_counter() - began
        try:
            if name == "agentcore":
                os.environ["AWS_ENDPOINT_URL_BEDROCK_AGENTCORE"] = service.endpoint
            times = asyncio.run(cycles(service, create, arguments.runs))
            if name == "opensandbox":
                times |= asyncio.run(snapshots(service, arguments.runs, brief(50, 1)))
        finally:
            service.stop()
        print(json.dumps({"stand_in": name, "start_ms": round(start * 1000, 1),
                          **{f"{key}_ms": round(statistics.median(values) * 1000, 1) for key, values in times.items()}}),
              flush=True)


if __name__ == "__main__":
    main()
