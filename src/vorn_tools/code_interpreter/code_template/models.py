"""Data models for sandbox template building."""

from enum import Enum
from pathlib import Path
from typing import Annotated, Literal

from pydantic import BaseModel, Field, SecretStr, field_validator, model_validator

from vorn_tools.code_interpreter.errors import Stage
from vorn_tools.code_interpreter.redaction import redact


class TemplateBuildStatus(Enum):
    """Outcome of a template build or ensure operation."""

    SUCCESS = "success"
    SKIPPED = "skipped"
    UNSUPPORTED = "unsupported"
    FAILED = "failed"


class SandboxProvider(str, Enum):
    """The sandbox backend that produced, or would produce, a template reference."""

    E2B = "e2b"
    OPENSANDBOX = "opensandbox"
    BEDROCK = "bedrock"


class BasicAuth(BaseModel):
    """Username and password login (Docker Hub, GHCR, Harbor, any basic-auth registry)."""

    type: Literal["basic"] = "basic"
    username: str
    password: SecretStr

    def reveal_password(self) -> str:
        """Return the password in plain text (use only at the SDK boundary)."""
        return self.password.get_secret_value()


class AwsAuth(BaseModel):
    """AWS ECR access through IAM credentials."""

    type: Literal["aws"] = "aws"
    access_key_id: str
    secret_access_key: SecretStr
    region: str

    def reveal_secret_key(self) -> str:
        """Return the secret access key in plain text (use only at the SDK boundary)."""
        return self.secret_access_key.get_secret_value()


class GcpAuth(BaseModel):
    """GCP Artifact Registry or Container Registry access through a service account."""

    type: Literal["gcp"] = "gcp"
    service_account_json: SecretStr

    def resolved_service_account_json(self) -> str:
        """The service-account JSON content, read from the file when a path was given.

        A value that does not name a readable regular file is returned verbatim.
        """
        value = self.service_account_json.get_secret_value()
        try:
            # is_file() answers False for texts that cannot be paths (too long, a NUL).
            path = Path(value)
            if not path.is_file():
                return value
            with path.open(encoding="utf-8", errors="strict") as handle:
                return handle.read()
        except OSError:
            return value


RegistryAuth = Annotated[BasicAuth | AwsAuth | GcpAuth, Field(discriminator="type")]


class TemplateSpec(BaseModel):
    """Provider-neutral inputs for building a sandbox template.

    ``image`` (a container registry reference, with optional ``registry_auth``)
    is the standard input; each builder resolves it to its native reference (an
    E2B alias, an OpenSandbox snapshot). ``packages`` are baked in on top where
    the provider supports it. ``force_rebuild`` makes ``ensure`` build even when
    the template is already usable (it is a field here, not an argument of
    ``ensure``).
    """

    template_id: str
    image: str | None = None
    registry_auth: RegistryAuth | None = None
    packages: list[str] | None = None
    start_cmd: str | None = None
    ready_cmd: str | None = None
    cpu_count: int | None = Field(default=None, ge=1)
    memory_mb: int | None = Field(default=None, ge=128)
    base_template: str | None = Field(
        default=None,
        deprecated="base_template is deprecated; use 'image' (an image registry reference) instead.",
    )
    dockerfile: str | None = Field(
        default=None,
        deprecated="dockerfile is deprecated; use 'image' (an image registry reference) instead.",
    )
    force_rebuild: bool = False

    @model_validator(mode="after")
    def _registry_auth_requires_image(self) -> "TemplateSpec":
        if self.registry_auth is None:
            return self
        if self.image is None:
            raise ValueError("registry_auth requires 'image' (the registry reference it authenticates)")
        return self


def legacy_field(spec: TemplateSpec, name: str) -> str | None:
    """Read a deprecated field of ``spec`` without the warning a host's read gets.

    The library's own builders still honour ``dockerfile`` and ``base_template``;
    their reads must not fail a host that runs with warnings as errors.
    """
    return spec.__dict__.get(name)


class TemplateRef(BaseModel):
    """The self-describing, serialisable reference to a built template."""

    provider: SandboxProvider
    value: str


class TemplateBuildResult(BaseModel):
    """The provider-agnostic result of a build or ensure.

    ``detail`` is masked when the result is made; ``logs`` (the output of a
    package install, where a builder keeps one) is not. ``stage`` is set only
    on a ``FAILED`` result that ``ensure`` made from an exception; a builder's
    own failures (an install, a snapshot or a service answer that failed)
    leave it ``None``.
    """

    status: TemplateBuildStatus
    template_ref: TemplateRef | None = None
    detail: str = ""
    stage: Stage | None = None
    logs: str = ""

    @field_validator("detail")
    @classmethod
    def _mask_detail(cls, detail: str) -> str:
        return redact(detail)
