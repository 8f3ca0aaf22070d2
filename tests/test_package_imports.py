"""Every module imports without a warning of its own, and importing a package loads no provider SDK."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

# Packages a host imports first; backends and provider builders load only by their full paths.
PACKAGES = [
    "vorn_tools",
    "vorn_tools.code_interpreter",
    "vorn_tools.code_interpreter.code_sandbox",
    "vorn_tools.code_interpreter.code_template",
    "vorn_tools.mcp",
]

# One fresh interpreter: the packages in order (noting what each newly loaded), then every module.
_PROBE = """
import importlib, importlib.util, json, pkgutil, sys, warnings
# A warning the library itself raises at import (a deprecation, say) is an error.
warnings.filterwarnings("error", module="vorn_tools")
SDKS = {"e2b", "e2b_code_interpreter", "opensandbox", "code_interpreter", "aioboto3", "boto3", "botocore", "mcp"}
CONTRACT = {"base_sandbox", "code_interpreter_sandbox", "models", "constants", "utils", "template_builder"}
def heavy():
    def backend(m):
        parts = m.split(".")
        return m.startswith(("vorn_tools.code_interpreter.code_sandbox.", "vorn_tools.code_interpreter.code_template."))\\
            and len(parts) == 4 and parts[-1] not in CONTRACT
    return {m.split(".")[0] for m in sys.modules if m.split(".")[0] in SDKS} | set(filter(backend, sys.modules))
loaded = {}
for name in PACKAGES:
    if importlib.util.find_spec(name) is not None:
        before = heavy()
        importlib.import_module(name)
        loaded[name] = sorted(heavy() - before)
import vorn_tools
failed, modules = {}, []
for info in pkgutil.walk_packages(vorn_tools.__path__, "vorn_tools."):
    modules.append(info.name)
    try:
        importlib.import_module(info.name)
    except Exception as exc:
        failed[info.name] = repr(exc)
print(json.dumps({"loaded": loaded, "failed": failed, "modules": modules}))
"""


@pytest.fixture(scope="module")
def probe() -> dict:
    code = f"PACKAGES = {PACKAGES!r}\n{_PROBE}"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_every_module_imports_cleanly(probe: dict) -> None:
    assert "vorn_tools._native" in probe["modules"]
    assert probe["failed"] == {}


@pytest.mark.parametrize("package", PACKAGES)
def test_package_import_loads_no_provider_sdk_or_backend(probe: dict, package: str) -> None:
    if package not in probe["loaded"]:
        pytest.skip(f"{package} does not exist yet")
    assert probe["loaded"][package] == []
