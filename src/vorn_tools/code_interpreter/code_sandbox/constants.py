"""Constants for code sandbox."""

import math
from enum import StrEnum

DEFAULT_UPLOAD_DIR = "/files"
DEFAULT_EXECUTION_TIMEOUT = 30
DEFAULT_INSTALL_TIMEOUT = 300
DEFAULT_SANDBOX_TIMEOUT = 600
DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS = 10
DEFAULT_DOWNLOAD_TIMEOUT = 30
DOWNLOAD_TIMEOUT_MESSAGE = "Download of {} exceeded timeout of {} seconds"
DEFAULT_SANDBOX_IMAGE = "opensandbox/code-interpreter:v1.0.2"
DEFAULT_SANDBOX_CPU_CORES = 0.2
DEFAULT_SANDBOX_MEMORY_MB = 1024
# Derived once at import: the providers take Kubernetes-style quantities, and
# round() (ties to even) keeps a value such as 0.0025 cores stable at "2m".
DEFAULT_SANDBOX_RESOURCE_REQUESTS = {
    "cpu": f"{round(DEFAULT_SANDBOX_CPU_CORES * 1000)}m",
    "memory": f"{DEFAULT_SANDBOX_MEMORY_MB}Mi",
}
DEFAULT_SANDBOX_CPU_COUNT = max(1, math.ceil(DEFAULT_SANDBOX_CPU_CORES))


class Language(StrEnum):
    """Programming languages supported by code sandbox."""

    PYTHON = "python"


class PackageInstallErrorMessage:
    """Error messages used when installing `additional_packages` into a running sandbox."""

    UNSUPPORTED_LANGUAGE = (
        "`additional_packages` cannot install packages for language '{}': automatic installs "
        "cover Python (pip) only. The sandbox still executes '{}' normally — install "
        "packages yourself via `execute_command(...)`."
    )
    INSTALL_FAILED = "Failed to install additional packages {}: {}"
    NON_PYTHON_SKIPPED = (
        "Skipping automatic Python setup for language '{}': `additional_packages` installs "
        "cover Python (pip) only. {}The sandbox still executes '{}' normally — install "
        "packages yourself via `execute_command(...)`."
    )
    PACKAGES_DROPPED = "{} was NOT installed. "
    PIP_UNAVAILABLE = (
        "pip is not available in the sandbox interpreter '{}'. Automatic installs of "
        "`additional_packages` require pip — use a sandbox image that ships pip, or "
        "install packages yourself via `execute_command(...)`."
    )


class UploadErrorMessage:
    """Error messages used when uploading attachments before code execution."""

    UPLOAD_FAILED = "Failed to upload {} file(s) to sandbox backend '{}': {}"
    WRITE_FILES_NOT_IMPLEMENTED = "{} does not implement _write_files"
    PARTIAL_WRITE = "Provider confirmed only {} of {} file(s) were written"


class E2BConfig:
    """Configuration defaults for E2B."""

    DEFAULT_TEMPLATE_ALIAS = "zibsandbox-base"


class BedrockClientConfig:
    """Configuration for Bedrock client."""

    AWS_SERVICE_NAME = "bedrock-agentcore"
    CODE_INTERPRETER_ID = "aws.codeinterpreter.v1"
    DEFAULT_REGION = "us-east-1"
    SESSION_NAME_PREFIX = "bedrock-sandbox-"


class BedrockAgentCoreSandboxOperation:
    """Operations supported by Bedrock AgentCore sandbox."""

    EXECUTE_CODE = "executeCode"
    WRITE_FILES = "writeFiles"
    READ_FILES = "readFiles"


class BedrockAgentCoreSandboxField:
    """Fields used by Bedrock AgentCore sandbox."""

    STREAM = "stream"
    RESULT = "result"
    SESSION_ID = "sessionId"
    IS_ERROR = "isError"
    CONTENT = "content"
    TYPE = "type"
    TEXT = "text"
    DATA = "data"
    BLOB = "blob"
    RESOURCE = "resource"
    PATHS = "paths"
    PATH = "path"
    LANGUAGE = "language"
    CODE = "code"
    STRUCTURED_CONTENT = "structuredContent"
    STDOUT = "stdout"
    STDERR = "stderr"


class BedrockAgentCoreSandboxContentType(StrEnum):
    """Content types used by Bedrock AgentCore sandbox."""

    TEXT = "text"
    IMAGE = "image"
    RESOURCE = "resource"
    BLOB = "blob"


class OpenSandboxConfig:
    """Configuration defaults for OpenSandbox."""

    DEFAULT_IMAGE = DEFAULT_SANDBOX_IMAGE
    DEFAULT_DOMAIN = "localhost:8080"
    DEFAULT_PROTOCOL = "http"
    DEFAULT_READY_TIMEOUT = 60
    UPLOAD_DIR = "/tmp/files"
    DEFAULT_CI_ENTRYPOINT = ["bash", "/opt/opensandbox/code-interpreter.sh"]

    @staticmethod
    def pool_extension(pool_ref: str) -> dict[str, str]:
        """Return the sandbox-creation ``extensions`` entry that selects an OpenSandbox pool."""
        return {"poolRef": pool_ref}


class OpenSandboxErrorMessage:
    """Error messages used by OpenSandbox."""

    SANDBOX_NOT_INITIALIZED = "Sandbox is not initialized"
    SANDBOX_START_FAILED = "Failed to start OpenSandbox: {}"
    SANDBOX_TERMINATE_FAILED = "Failed to terminate OpenSandbox: {}"
    EXECUTION_TIMEOUT = "Execution exceeded timeout of {} seconds"
    EXECD_NOT_REACHABLE = (
        "Image '{}' does not appear to have the OpenSandbox execd daemon, or ships one too old "
        "to serve the filesystem API. Use an image that includes an up-to-date opensandbox "
        "runtime (e.g. opensandbox/code-interpreter:v1.0.2)."
    )


class OpenSandboxLiteConfig:
    """Configuration defaults for OpenSandboxLite."""

    NOOP_ENTRYPOINT = ["tail", "-f", "/dev/null"]
    RUNTIME_PREFIX = "/tmp/.zib_lite"
    INTERRUPT_GRACE_SECONDS = 5
    STREAM_GRACE_SECONDS = 5


class OpenSandboxLiteErrorMessage:
    """Error messages used by OpenSandboxLite."""

    UNSUPPORTED_LANGUAGE = "OpenSandboxLite only supports Python, got: {}"
    SESSION_BUSY = "RUNTIME_ERROR: error running codes session is busy"
    INTERPRETER_DIED = (
        "The Python interpreter exited while running this code. It was restarted, so "
        "variables and imports from earlier calls are gone."
    )
    INTERPRETER_START_FAILED = "The Python interpreter failed to start: {}"
    INTERPRETER_FAILED = "The Python interpreter failed while running this code: {}"
    RELAY_FAILED = "OpenSandboxLite could not run the code (exit code {}): {}"
    STATE_LOST_AFTER_TIMEOUT = (
        " The code did not stop when interrupted, so the interpreter was restarted; "
        "variables and imports from earlier calls are gone."
    )
    OUTPUT_LOST = (
        "Part of the {} of this code was lost: the interpreter could not pass it on for {} seconds "
        "after the code finished."
    )
    NOT_STARTED = "The code did not run: the Python interpreter was not ready to take it within {} seconds."
    SESSION_STUCK = (
        "RUNTIME_ERROR: error running codes session is busy: the interpreter is still running code that no "
        "call is waiting for, and stopping it failed: {}"
    )


class BedrockAgentCoreSandboxErrorMessage:
    """Error messages used by Bedrock AgentCore sandbox."""

    EXECUTION_FAILED = "Execution failed"
    UNSUPPORTED_LANGUAGE = "Bedrock AgentCore only supports Python, got: {}"
    SESSION_START_FAILED = "Failed to start Bedrock session: {}"
    SESSION_NOT_STARTED = "Sandbox is not started"
    SESSION_STOP_FAILED = "Error stopping session: {}"
    EXECUTION_TIMEOUT = "Execution exceeded timeout of {} seconds"
