# In a fresh interpreter whose tracing probe fails: every module imports without a warning of its own,
# importing a package loads no provider SDK, and tracing is a silent pass-through.

import json
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

_PROBE = """
import asyncio, importlib, importlib.util, json, opentelemetry.trace, pkgutil, sys, warnings
opentelemetry.trace.get_tracer = lambda *a, **k: 1 / 0  # any failure of the probe, not only ImportError
warnings.filterwarnings("error", module="vorn_tools")
SDKS = {"e2b", "e2b_code_interpreter", "opensandbox", "code_interpreter", "aioboto3", "boto3", "botocore", "mcp"}
# Packages a host imports first; backends and provider builders load only by their full paths.
packages = ["vorn_tools.code_interpreter.code_sandbox", "vorn_tools.code_interpreter.code_template", "vorn_tools.mcp"]
[importlib.import_module(name) for name in packages if importlib.util.find_spec(name) is not None]
report = {"sdks": sorted(m for m in sys.modules if m.split(".")[0] in SDKS), "failed": [], "native": False}
for info in pkgutil.walk_packages(importlib.import_module("vorn_tools").__path__, "vorn_tools."):
    report["native"] |= info.name == "vorn_tools._native"
    try:
        importlib.import_module(info.name)
    except Exception as exc:
        report["failed"].append(f"{info.name}: {exc!r}")
from vorn_tools.code_interpreter import observability as obs
traced, status = obs.traced("a", backend="x"), obs.set_current_span_attributes(status="ok")
report["tracing"] = [obs._TRACING_AVAILABLE, asyncio.run(traced(asyncio.sleep)(0, 2)), traced(len)("ab"), status]
print(json.dumps(report))
"""


# The MCP client loads the SDK it speaks, but not the optional LangChain layer.
_MCP_CLIENT_PROBE = """
import json, sys, vorn_tools.mcp.client
print(json.dumps(sorted({"vorn_tools.mcp.client.langchain", "langchain_core"} & sys.modules.keys())))
"""


@pytest.mark.parametrize(
    ("probe", "expected"),
    [(_PROBE, {"sdks": [], "failed": [], "native": True, "tracing": [False, 2, 2, None]}), (_MCP_CLIENT_PROBE, [])],
    ids=["packages", "mcp-client"],
)
def test_imports_are_clean_and_light_and_tracing_degrades(probe: str, expected: object) -> None:
    # Not where the tests run, where tests/e2b and the like would stand in for the SDKs of those names.
    proc = subprocess.run([sys.executable, "-c", probe], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert json.loads(proc.stdout) == expected
