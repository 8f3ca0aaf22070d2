"""Public surface of the sandbox package: exports, constants and the message catalogue."""

import subprocess
import sys

import pytest

from vorn_tools.code_interpreter.code_sandbox import constants as c

EXPECTED_ALL = [
    "BaseSandbox",
    "CodeInterpreterSandbox",
    "ExecutionResult",
    "ExecutionStatus",
    "FailureDetail",
    "CodeInterpreterError",
    "SandboxExecutionError",
    "SandboxNotInitializedError",
    "SandboxStartError",
    "SandboxTerminateError",
    "Stage",
    "TemplateBuildError",
]


def test_package_exports_exactly_the_contract():
    import vorn_tools.code_interpreter.code_sandbox as package

    assert package.__all__ == EXPECTED_ALL
    namespace = {}
    exec("from vorn_tools.code_interpreter.code_sandbox import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(EXPECTED_ALL)


def test_importing_the_package_loads_no_provider_sdk():
    probe = (
        "import sys, vorn_tools.code_interpreter.code_sandbox as p, vorn_tools.code_interpreter.code_sandbox.utils;"
        "bad = [m for m in sys.modules if m.split('.')[0] in "
        "('e2b', 'e2b_code_interpreter', 'opensandbox', 'code_interpreter', 'aioboto3', 'botocore', 'mcp')"
        " or m.startswith('vorn_tools.code_interpreter.code_sandbox.') and m.rsplit('.', 1)[1] not in "
        "('base_sandbox', 'code_interpreter_sandbox', 'models', 'constants', 'utils')];"
        "print(bad)"
    )
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"


def test_derived_resource_defaults():
    assert c.DEFAULT_SANDBOX_RESOURCE_REQUESTS == {"cpu": "200m", "memory": "1024Mi"}
    assert list(c.DEFAULT_SANDBOX_RESOURCE_REQUESTS) == ["cpu", "memory"]
    assert c.DEFAULT_SANDBOX_CPU_COUNT == 1
    timeouts = (
        c.DEFAULT_EXECUTION_TIMEOUT, c.DEFAULT_INSTALL_TIMEOUT, c.DEFAULT_SANDBOX_TIMEOUT,
        c.DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS, c.DEFAULT_DOWNLOAD_TIMEOUT,
    )
    assert timeouts == (30, 300, 600, 10, 30) and all(type(t) is int for t in timeouts)


def test_language_and_content_type_are_string_enums():
    assert c.Language.PYTHON == "python" and str(c.Language.PYTHON) == "python"
    assert f"{c.Language.PYTHON}" == "python" and list(c.Language) == [c.Language.PYTHON]
    assert c.BedrockAgentCoreSandboxContentType.TEXT == "text"
    assert c.BedrockAgentCoreSandboxField.TEXT == "text"
    with pytest.raises(TypeError):
        iter(c.BedrockAgentCoreSandboxField)


def test_pool_extension_returns_a_fresh_mapping():
    first, second = c.OpenSandboxConfig.pool_extension("pool-a"), c.OpenSandboxConfig.pool_extension("pool-a")
    assert first == {"poolRef": "pool-a"} and first is not second
    first["poolRef"] = "changed"
    assert c.OpenSandboxConfig.pool_extension("") == {"poolRef": ""}
    assert c.OpenSandboxConfig.DEFAULT_IMAGE == c.DEFAULT_SANDBOX_IMAGE
    assert c.OpenSandboxConfig.DEFAULT_DOMAIN.endswith(":8080")


def test_catalogue_texts_keep_their_dashes_and_blanks():
    dash = " \u2014 "
    for text in (
        c.PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE,
        c.PackageInstallErrorMessage.NON_PYTHON_SKIPPED,
        c.PackageInstallErrorMessage.PIP_UNAVAILABLE,
    ):
        assert text.count(dash) == 1
    assert c.PackageInstallErrorMessage.PACKAGES_DROPPED.endswith("installed. ")
    assert c.OpenSandboxLiteErrorMessage.STATE_LOST_AFTER_TIMEOUT.startswith(" The code")
    assert c.OpenSandboxErrorMessage.SANDBOX_NOT_INITIALIZED == "Sandbox is not initialized"
    assert c.OpenSandboxErrorMessage.EXECUTION_TIMEOUT == c.BedrockAgentCoreSandboxErrorMessage.EXECUTION_TIMEOUT
