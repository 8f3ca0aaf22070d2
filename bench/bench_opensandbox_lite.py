"""Per-call latency of OpenSandboxLite, against its earlier relay and daemon and against OpenSandbox.

Arms: "lite", this library's OpenSandboxLite; "lite before", the same backend running
the in-sandbox programs and relay command line of commit BASELINE (read from git),
kept as the yardstick; and "opensandbox", OpenSandbox through its Jupyter channel.

Per call, through ``execute_code`` on the local OpenSandbox stand-in
(tests/fakes/opensandbox_server.py), the arms alternating so that drift affects all
alike: a trivial cell, and 1 MB in 10,000 short lines.

Through the relay and the daemon alone, as local processes (the stand-in's own
command streaming is not what is measured): 16 MB in one line, and 16 MB in
160,000 short lines; "lite" and "lite before" only.

Prints the median per call and Lite's time as a share of the earlier one's.

    .venv/bin/python bench/bench_opensandbox_lite.py [--runs 30] [--long-runs 3]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from datetime import timedelta
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
os.environ.setdefault("OPENSANDBOX_DISABLE_METRICS", "1")

from opensandbox.models.execd import RunCommandOpts  # noqa: E402
from opensandbox.models.filesystem import WriteEntry  # noqa: E402

from bench._quick import brief  # noqa: E402
from tests.fakes.lite_daemon import image_env, kill_daemons  # noqa: E402
from tests.fakes.opensandbox_server import OpenSandboxStandIn  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox import opensandbox_lite_scripts  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite  # noqa: E402
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox  # noqa: E402
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage  # noqa: E402

BASELINE = "79fe776b53d8eae5193f6eb2f251d0031117324b"
SCRIPTS = "src/vorn_tools/code_interpreter/code_sandbox/opensandbox_lite_scripts.py"
BEFORE_FLAGS = ["-u"]  # the relay command line of BASELINE: python3 -u <client> <prefix> ...
MB = 1024 * 1024
RELAY_MB = brief(16, 1)
CALL_LINES = brief(10_000, 1_000)
CALL_CELLS = {
    "trivial cell": ("value = 6 * 7\nprint(value)", "42\n"),
    f"{CALL_LINES:,} lines": (f"for i in range({CALL_LINES}):\n    print(str(i).rjust(99, 'x'))",
                              "".join(str(i).rjust(99, "x") + "\n" for i in range(CALL_LINES))),  # fmt: skip
}
RELAY_LINES = RELAY_MB * 10_000
RELAY_CELLS = {
    f"one {RELAY_MB} MB line": (f"print('x' * {RELAY_MB * MB})", ["x" * RELAY_MB * MB + "\n"]),
    f"{RELAY_LINES:,} lines": (f"for i in range({RELAY_LINES}):\n    print(str(i).rjust(104, 'x'))",
                               [str(i).rjust(104, "x") + "\n" for i in range(RELAY_LINES)]),  # fmt: skip
}


def baseline_sources() -> dict[str, str]:
    text = subprocess.run(["git", "show", f"{BASELINE}:{SCRIPTS}"], cwd=ROOT, capture_output=True, check=True).stdout
    namespace: dict[str, Any] = {}
    exec(compile(text, SCRIPTS, "exec"), namespace)
    return {"daemon": namespace["DAEMON_SOURCE"], "client": namespace["CLIENT_SOURCE"]}


class LiteBefore(OpenSandboxLite):
    """OpenSandboxLite on the earlier programs, kept under their own prefix so that nothing writes over them."""

    PREFIX = "/tmp/.zib_before"
    SOURCES: dict[str, str] = {}

    @classmethod
    async def _start_interpreter(cls, sandbox: Any) -> None:
        await sandbox.files.write_files(
            [WriteEntry(path=f"{cls.PREFIX}_{name}.py", data=source) for name, source in cls.SOURCES.items()]
        )
        launch = await sandbox.commands.run(cls._relay("launch"))
        if launch.exit_code != 0:
            raise SandboxStartError(f"launch exited {launch.exit_code}", stage=Stage.INTERPRETER_INIT)

    @staticmethod
    def _relay(*args: str) -> str:
        words = ("python3", *BEFORE_FLAGS, LiteBefore.PREFIX + "_client.py", LiteBefore.PREFIX, *args)
        return " ".join(shlex.quote(word) for word in words)

    async def _run_cell(self, code: str, nonce: str, effective_timeout: float | None, handlers: Any) -> Any:
        # As BASELINE ran a cell: its file written in a request of its own, then the relay file run.
        cell_path = f"{self.PREFIX}_cell_{nonce}.py"
        await self._sandbox.files.write_files([WriteEntry(path=cell_path, data=code)])
        opts = None if effective_timeout is None else RunCommandOpts(timeout=timedelta(seconds=effective_timeout))
        return await self._sandbox.commands.run(self._relay("run", cell_path, nonce), opts=opts, handlers=handlers)


async def measure_calls(stand_in: OpenSandboxStandIn, runs: int) -> dict[str, dict[str, list[float]]]:
    arms = {
        "opensandbox": await OpenSandbox.create(**stand_in.connection_options()),
        "lite before": await LiteBefore.create(**stand_in.connection_options(), env=image_env()),
        "lite": await OpenSandboxLite.create(**stand_in.connection_options(), env=image_env()),
    }
    timings: dict[str, dict[str, list[float]]] = {cell: {name: [] for name in arms} for cell in CALL_CELLS}
    try:
        for cell, (code, expected) in CALL_CELLS.items():
            for index in range(runs + 2):  # two warm-up rounds
                for name, sandbox in arms.items():
                    started = time.perf_counter()
                    result = await sandbox.execute_code(code, timeout=600)
                    elapsed = time.perf_counter() - started
                    assert result.stdout == expected, (name, cell, result.status, result.error)
                    if index >= 2:
                        timings[cell][name].append(elapsed)
    finally:
        for sandbox in arms.values():
            await sandbox.terminate()
    return timings


class LocalRelay:
    """One version of the programs under a temporary prefix, the relay run as a local process."""

    def __init__(self, sources: dict[str, str], flags: list[str]) -> None:
        self.root = tempfile.mkdtemp(prefix="zb", dir="/tmp")
        self.prefix = self.root + "/p"
        for name, source in sources.items():
            Path(f"{self.prefix}_{name}.py").write_text(source)
        self.command = [sys.executable, *flags, self.prefix + "_client.py", self.prefix]
        self.env = {**os.environ, "IPYTHONDIR": self.root + "/ipy"}
        subprocess.run([*self.command, "launch"], env=self.env, check=True)

    def run(self, code: str) -> list[str]:
        nonce = uuid.uuid4().hex
        cell = Path(f"{self.prefix}_cell_{nonce}.py")
        cell.write_text(code)
        done = subprocess.run([*self.command, "run", str(cell), nonce], env=self.env, capture_output=True, timeout=900)
        assert done.returncode == 0, done.stderr[-2000:]
        return [json.loads(line) for line in done.stdout.splitlines()]

    def close(self) -> None:
        kill_daemons(self.prefix)
        shutil.rmtree(self.root, ignore_errors=True)


def measure_relays(runs: int) -> dict[str, dict[str, list[float]]]:
    words = shlex.split(OpenSandboxLite._relay())
    now_flags = words[1 : words.index("-c")]  # the relay from a file here: the source is the same
    sources = {"daemon": opensandbox_lite_scripts.DAEMON_SOURCE, "client": opensandbox_lite_scripts.CLIENT_SOURCE}
    arms = {"lite before": LocalRelay(LiteBefore.SOURCES, BEFORE_FLAGS), "lite": LocalRelay(sources, now_flags)}
    timings: dict[str, dict[str, list[float]]] = {cell: {name: [] for name in arms} for cell in RELAY_CELLS}
    try:
        for cell, (code, expected) in RELAY_CELLS.items():
            for index in range(runs + 1):  # one warm-up round (and the daemon's start-up)
                for name, relay in arms.items():
                    started = time.perf_counter()
                    lines = relay.run(code)
                    elapsed = time.perf_counter() - started
                    assert "".join(lines) == "".join(expected), (name, cell, len(lines))
                    if index >= 1:
                        timings[cell][name].append(elapsed)
    finally:
        for relay in arms.values():
            relay.close()
    return timings


def report(title: str, timings: dict[str, dict[str, list[float]]]) -> None:
    print(title)
    for cell, by_arm in timings.items():
        ms = {name: statistics.median(values) * 1000 for name, values in by_arm.items()}
        arms = "   ".join(f"{name} {value:9.1f}" for name, value in ms.items())
        print(f"  {cell:15s} {arms}   lite / lite before {ms['lite'] / ms['lite before']:5.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=brief(30, 1), help="timed calls per arm and cell through the stand-in")
    parser.add_argument("--long-runs", type=int, default=brief(3, 1), help="timed relay runs per arm of the 16 MB cells")
    args = parser.parse_args()
    LiteBefore.SOURCES = baseline_sources()

    stand_in = OpenSandboxStandIn()
    stand_in.start()
    try:
        calls = asyncio.run(measure_calls(stand_in, args.runs))
    finally:
        stand_in.stop()
    report(f"execute_code on the stand-in, median ms per call of {args.runs} (after 2 warm-up rounds)", calls)
    report(f"relay and daemon alone, median ms per run of {args.long_runs}", measure_relays(args.long_runs))


if __name__ == "__main__":
    main()
