"""Public surface of the sandbox package: exports, import weight, derived constants."""

import subprocess
import sys

from vorn_tools.code_interpreter.code_sandbox import constants as c

EXPECTED_ALL = [
    "BaseSandbox", "CodeInterpreterSandbox", "ExecutionResult", "ExecutionStatus", "FailureDetail",
    "CodeInterpreterError", "SandboxExecutionError", "SandboxNotInitializedError", "SandboxStartError",
    "SandboxTerminateError", "Stage", "TemplateBuildError",
]


def test_package_exports_exactly_the_contract():
    import vorn_tools.code_interpreter.code_sandbox as package

    assert package.__all__ == EXPECTED_ALL
    namespace = {}
    exec("from vorn_tools.code_interpreter.code_sandbox import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(EXPECTED_ALL)


def test_importing_the_package_loads_no_provider_sdk():
    probe = (
        "import sys, vorn_tools.code_interpreter.code_sandbox, vorn_tools.code_interpreter.code_sandbox.utils;"
        "print([m for m in sys.modules if m.split('.')[0] in "
        "('e2b', 'e2b_code_interpreter', 'opensandbox', 'code_interpreter', 'aioboto3', 'botocore', 'mcp')"
        " or m.startswith('vorn_tools.code_interpreter.code_sandbox.') and m.rsplit('.', 1)[1] not in "
        "('base_sandbox', 'code_interpreter_sandbox', 'models', 'constants', 'utils')])"
    )
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "[]"), out.stderr


def test_derived_defaults_and_string_enums():
    assert list(c.DEFAULT_SANDBOX_RESOURCE_REQUESTS.items()) == [("cpu", "200m"), ("memory", "1024Mi")]
    assert c.DEFAULT_SANDBOX_CPU_COUNT == 1
    assert c.Language.PYTHON == "python" and f"{c.Language.PYTHON}" == str(c.Language.PYTHON) == "python"
    assert c.BedrockAgentCoreSandboxContentType.TEXT == "text"
    first, second = (c.OpenSandboxConfig.pool_extension("pool-a") for _ in range(2))
    first["poolRef"] = "changed"
    assert second == {"poolRef": "pool-a"}
