"""Every module imports, and importing a package never loads a provider SDK."""

from __future__ import annotations

import json
import pkgutil
import subprocess
import sys

import pytest

import vorn_tools

PROVIDER_SDKS = ("e2b", "e2b_code_interpreter", "opensandbox", "code_interpreter", "aioboto3", "boto3")


def _modules() -> list[str]:
    return sorted(
        info.name
        for info in pkgutil.walk_packages(vorn_tools.__path__, prefix="vorn_tools.")
    )


def _run(code: str) -> dict:
    proc = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_every_module_imports() -> None:
    names = _modules()
    assert "vorn_tools._native" in names
    code = (
        "import importlib, json\n"
        f"failed = {{}}\nfor n in {names!r}:\n"
        "    try:\n        importlib.import_module(n)\n"
        "    except Exception as exc:\n        failed[n] = repr(exc)\n"
        "print(json.dumps(failed))\n"
    )
    assert _run(code) == {}


@pytest.mark.parametrize(
    "package",
    [
        "vorn_tools",
        "vorn_tools.code_interpreter",
        "vorn_tools.code_interpreter.code_sandbox",
        "vorn_tools.code_interpreter.code_template",
        "vorn_tools.code_interpreter.code_interpreter",
        "vorn_tools.mcp",
        "vorn_tools.mcp.client",
    ],
)
def test_package_import_loads_no_provider_sdk(package: str) -> None:
    code = (
        "import importlib, json, sys\n"
        f"importlib.import_module({package!r})\n"
        f"print(json.dumps([m for m in {list(PROVIDER_SDKS)!r} if m in sys.modules]))\n"
    )
    assert _run(code) == []


def test_tools_package_exports_only_the_tool_factory() -> None:
    from vorn_tools.code_interpreter.code_interpreter import tools
    from vorn_tools.code_interpreter.code_interpreter.tools.tools import create_execute_code_tool

    assert tools.__all__ == ["create_execute_code_tool"]
    assert tools.create_execute_code_tool is create_execute_code_tool
