"""Template builder for an OpenSandbox server: a template is a named snapshot.

OpenSandbox cannot build an image from a Dockerfile; its reusable starting
point is a persistent snapshot captured from a running sandbox. A build starts
a disposable sandbox from the base image, installs the packages, snapshots it
under ``spec.template_id``, waits until the snapshot is "Ready", disposes of
the sandbox and prunes older snapshots of the name. The reference handed out is
the snapshot *name*, resolved to the newest ready snapshot at every sandbox
creation, so it survives rebuilds. Requires the extra
``vorn-tools[opensandbox]``; AWS registry logins also need ``boto3``.
"""

import math
import shlex
import time
from datetime import timedelta
from typing import Any

try:
    from opensandbox.config.connection_sync import ConnectionConfigSync
    from opensandbox.models.sandboxes import SandboxImageAuth, SandboxImageSpec, SnapshotInfo
    from opensandbox.sync.manager import SandboxManagerSync
    from opensandbox.sync.sandbox import SandboxSync
except ImportError as _import_error:
    raise ImportError(
        "opensandbox is required for OpenSandboxTemplateBuilder. "
        "Install it with: pip install 'vorn-tools[opensandbox]'"
    ) from _import_error

from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxConfig
from vorn_tools.code_interpreter.code_sandbox.opensandbox_snapshots import (
    SNAPSHOT_FAILED_STATE,
    SNAPSHOT_READY_STATE,
    connection_settings,
    list_snapshots_named,
)
from vorn_tools.code_interpreter.code_template.models import (
    AwsAuth,
    BasicAuth,
    GcpAuth,
    RegistryAuth,
    SandboxProvider,
    TemplateBuildResult,
    TemplateBuildStatus,
    TemplateSpec,
    legacy_field,
)
from vorn_tools.code_interpreter.code_template.template_builder import (
    BaseTemplateBuilder,
    pip_install_command,
    quoted_packages,
    registered,
    registered_service_account,
)
from vorn_tools.code_interpreter.observability import SpanAttr, SpanName, set_current_span_attributes, traced
from vorn_tools.code_interpreter.redaction import get_redacting_logger, register_secret

logger = get_redacting_logger(__name__)

_SNAPSHOT_POLL_INTERVAL_SECONDS = 2.0
_SNAPSHOT_READY_TIMEOUT_SECONDS = 180


def _check_seconds(name: str, value: Any, *, allow_infinite: bool) -> None:
    """Refuse a setting in seconds that is not a number, NaN or (unless allowed) infinite."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, got {type(value).__name__}")
    if math.isnan(value):
        raise ValueError(f"{name} must be a number of seconds, got nan")
    if math.isinf(value) and not allow_infinite:
        raise ValueError(f"{name} must be a finite number of seconds, got {value!r}")


class OpenSandboxTemplateBuilder(BaseTemplateBuilder):
    """Builds OpenSandbox snapshots from a :class:`TemplateSpec` (see the module docstring)."""

    def __init__(
        self,
        *,
        api_key: str | None = None,
        domain: str = OpenSandboxConfig.DEFAULT_DOMAIN,
        protocol: str = OpenSandboxConfig.DEFAULT_PROTOCOL,
        use_server_proxy: bool = True,
        ready_timeout: int = OpenSandboxConfig.DEFAULT_READY_TIMEOUT,
        snapshot_ready_timeout: int = _SNAPSHOT_READY_TIMEOUT_SECONDS,
        snapshot_poll_interval: float = _SNAPSHOT_POLL_INTERVAL_SECONDS,
        pool_ref: str | None = None,
    ) -> None:
        """
        Args:
            api_key: API key of the OpenSandbox server.
            domain: "host:port" of the server.
            protocol: "http" or "https".
            use_server_proxy: Reach sandboxes through the server's gateway (needed
                when the client and the server run on different hosts).
            ready_timeout: Seconds the build sandbox may take to start and become
                ready; also the request timeout of every SDK call.
            snapshot_ready_timeout: Seconds a new snapshot may take to become "Ready".
            snapshot_poll_interval: Seconds between snapshot readiness polls.
            pool_ref: Pool the build sandbox runs on; sandboxes restored from the
                snapshot must name the same pool.

        Raises:
            ValueError: ``snapshot_ready_timeout`` is NaN, or ``snapshot_poll_interval``
                is negative, NaN or infinite.
            TypeError: Either of the two is not a number.
        """
        register_secret(api_key)
        # Checked now: either would only fail once a snapshot exists, leaving it orphaned.
        _check_seconds("snapshot_ready_timeout", snapshot_ready_timeout, allow_infinite=True)
        _check_seconds("snapshot_poll_interval", snapshot_poll_interval, allow_infinite=False)
        if snapshot_poll_interval < 0:
            raise ValueError(f"snapshot_poll_interval must not be negative, got {snapshot_poll_interval!r}")
        self._api_key = api_key
        self._domain = domain
        self._protocol = protocol
        self._use_server_proxy = use_server_proxy
        self._ready_timeout = ready_timeout
        self._snapshot_ready_timeout = snapshot_ready_timeout
        self._snapshot_poll_interval = snapshot_poll_interval
        self._pool_ref = pool_ref

    @property
    def provider(self) -> SandboxProvider:
        return SandboxProvider.OPENSANDBOX

    @property
    def supports_build(self) -> bool:
        return True

    def is_usable(self, template_id: str) -> bool:
        """True when a snapshot named ``template_id`` is "Ready"; a failed lookup is False."""
        return self._resolve_ref(template_id) is not None

    @traced(SpanName.TEMPLATE_BUILD, **{SpanAttr.BACKEND: "opensandbox"})
    def build(self, spec: TemplateSpec) -> TemplateBuildResult:
        """Build the snapshot named ``spec.template_id``; failures are returned."""
        set_current_span_attributes(**{SpanAttr.TEMPLATE_ID: spec.template_id})
        if legacy_field(spec, "dockerfile"):
            logger.info("OpenSandboxTemplateBuilder ignores spec.dockerfile; using image + packages")
        sandbox = None
        install_logs = ""
        try:
            try:
                image_arg = self._image_arg(spec)
                connection_config = self._connection_config()
                ready_timeout = timedelta(seconds=self._ready_timeout)
                entrypoint = (
                    shlex.split(spec.start_cmd) if spec.start_cmd else list(OpenSandboxConfig.DEFAULT_CI_ENTRYPOINT)
                )
                options: dict[str, Any] = {}
                if self._pool_ref:
                    options["extensions"] = OpenSandboxConfig.pool_extension(self._pool_ref)
                # The SDK's health check stays on: packages and the snapshot
                # need a sandbox whose execd answers, within ready_timeout.
                sandbox = SandboxSync.create(
                    image_arg,
                    connection_config=connection_config,
                    ready_timeout=ready_timeout,
                    skip_health_check=False,
                    entrypoint=entrypoint,
                    **options,
                )
                if spec.packages:
                    install_logs = self._install_packages(sandbox, spec.packages)
                snapshot = sandbox.create_snapshot(name=spec.template_id)
                self._wait_until_ready(snapshot.id)
            except Exception as exc:
                logger.warning(f"OpenSandbox snapshot build failed for {spec.template_id!r}: {exc}")
                return self._failed(f"snapshot build failed: {exc}", logs=install_logs)
        finally:
            self._dispose_build_sandbox(sandbox)
        self._replace_older_snapshots(spec.template_id, keep_id=snapshot.id)
        logger.info(f"OpenSandbox snapshot built: name={spec.template_id} id={snapshot.id}")
        return TemplateBuildResult(
            status=TemplateBuildStatus.SUCCESS, template_ref=self._make_ref(spec.template_id), logs=install_logs
        )

    # ------------------------------------------------------------ image source

    def _image_arg(self, spec: TemplateSpec) -> str | SandboxImageSpec:
        """The build sandbox's image: ``image``, else ``base_template``, else the default.

        Registry credentials belong to ``image`` alone: they are never sent
        along with a fallback image.
        """
        if spec.registry_auth is not None and not spec.image:
            raise ValueError(
                "registry_auth needs a non-empty 'image'; refusing to send registry "
                "credentials with a fallback image"
            )
        reference = spec.image or legacy_field(spec, "base_template") or OpenSandboxConfig.DEFAULT_IMAGE
        if spec.registry_auth is None:
            return reference
        username, password = self._to_basic_credentials(spec.registry_auth)
        return SandboxImageSpec(image=reference, auth=SandboxImageAuth(username=username, password=password))

    def _to_basic_credentials(self, auth: RegistryAuth) -> tuple[str, str]:
        """Every credential kind as the docker basic login the server's pull takes."""
        if isinstance(auth, BasicAuth):
            return auth.username, registered(auth.reveal_password())
        if isinstance(auth, AwsAuth):
            return self._ecr_credentials(auth)
        if isinstance(auth, GcpAuth):
            return "_json_key", registered_service_account(auth.resolved_service_account_json())
        raise ValueError(f"Unsupported registry auth: {type(auth).__name__}")

    @staticmethod
    def _ecr_credentials(auth: AwsAuth) -> tuple[str, str]:
        """A short-lived ECR login from the registry's authorization-token call."""
        import base64

        import boto3

        client = boto3.client(
            "ecr",
            aws_access_key_id=auth.access_key_id,
            aws_secret_access_key=registered(auth.reveal_secret_key()),
            region_name=auth.region,
        )
        try:
            response = client.get_authorization_token()
        finally:
            client.close()
        token = response["authorizationData"][0]["authorizationToken"]
        username, password = base64.b64decode(token).decode("utf-8").split(":", 1)
        return username, registered(password)

    # --------------------------------------------------- snapshots by name

    def _resolve_ref(self, template_id: str) -> str | None:
        """The name itself while a "Ready" snapshot carries it, else None."""
        return template_id if self._snapshots_named(template_id, ready_only=True) else None

    def _snapshots_named(self, name: str, *, ready_only: bool) -> list[SnapshotInfo]:
        try:
            manager = self._manager()
            try:
                return list_snapshots_named(manager, name, ready_only=ready_only)
            finally:
                manager.close()
        except Exception as exc:
            logger.warning(f"OpenSandbox snapshot lookup failed for {name!r}: {exc}")
            return []

    def _wait_until_ready(self, snapshot_id: str) -> None:
        """Return once the snapshot is "Ready"; raise when it failed or the time is up."""
        manager = self._manager()
        try:
            deadline = time.monotonic() + self._snapshot_ready_timeout
            while time.monotonic() < deadline:
                try:
                    info = manager.get_snapshot(snapshot_id)
                except Exception as exc:
                    raise RuntimeError(f"could not read the status of snapshot {snapshot_id}: {exc}") from exc
                state = info.status.state if info.status else ""
                if state == SNAPSHOT_READY_STATE:
                    return
                if state == SNAPSHOT_FAILED_STATE:
                    message = info.status.message or "the server gave no reason"
                    raise RuntimeError(f"snapshot {snapshot_id} reached '{SNAPSHOT_FAILED_STATE}' state: {message}")
                time.sleep(self._snapshot_poll_interval)
        finally:
            manager.close()
        raise TimeoutError(
            f"snapshot {snapshot_id} did not reach '{SNAPSHOT_READY_STATE}' state within "
            f"{self._snapshot_ready_timeout}s; increase snapshot_ready_timeout to wait longer"
        )

    def _replace_older_snapshots(self, name: str, *, keep_id: str) -> None:
        """Delete the snapshots of ``name`` strictly older than ``keep_id``, best effort.

        Only older ones: a newer snapshot is an overlapping build's result.
        """
        try:
            manager = self._manager()
            try:
                snapshots = self._snapshots_named(name, ready_only=False)
                if not snapshots:
                    return
                kept = next((s for s in snapshots if s.id == keep_id), None)
                if kept is None:
                    kept = manager.get_snapshot(keep_id)
                for snapshot in snapshots:
                    if snapshot.id == keep_id or not snapshot.created_at < kept.created_at:
                        continue
                    try:
                        manager.delete_snapshot(snapshot.id)
                        logger.info(f"Deleted old OpenSandbox snapshot {snapshot.id} (name={name})")
                    except Exception as exc:
                        logger.warning(f"Failed to delete old snapshot {snapshot.id}: {exc}")
            finally:
                manager.close()
        except Exception as exc:
            logger.warning(f"OpenSandbox snapshot cleanup failed for {name!r}: {exc}")

    # ------------------------------------------------------- build sandbox

    def _install_packages(self, sandbox: SandboxSync, packages: list[str]) -> str:
        """Install ``packages`` with pip in the build sandbox; the output on success."""
        joined = quoted_packages(packages)
        logger.info(f"Installing packages into OpenSandbox build sandbox: {joined}")
        execution = sandbox.commands.run(pip_install_command(joined))
        stdout, stderr = self._execution_output(execution)
        error = getattr(execution, "error", None)
        exit_code = getattr(execution, "exit_code", None)
        # The SDK's execution record has no "success"; honoured when a record has one.
        if error or exit_code not in (None, 0) or getattr(execution, "success", None) is False:
            raise RuntimeError(f"pip install failed: {stderr or error or stdout}")
        return "\n".join(part for part in (stdout, stderr) if part)

    @staticmethod
    def _execution_output(execution: Any) -> tuple[str, str]:
        logs = getattr(execution, "logs", None)

        def text(stream: str) -> str:
            messages = getattr(logs, stream, None) or []
            return "\n".join(message.text.rstrip("\n") for message in messages)

        return text("stdout"), text("stderr")

    @staticmethod
    def _dispose_build_sandbox(sandbox: SandboxSync | None) -> None:
        if sandbox is None:
            return
        try:
            sandbox.kill()
        except Exception as exc:
            logger.warning(f"Error killing build sandbox: {exc}")
        try:
            sandbox.close()
        except Exception as exc:
            logger.warning(f"Error closing build sandbox: {exc}")

    # -------------------------------------------------------- connection

    def _connection_config(self) -> ConnectionConfigSync:
        return ConnectionConfigSync(
            **connection_settings(
                domain=self._domain,
                protocol=self._protocol,
                api_key=self._api_key,
                ready_timeout=self._ready_timeout,
                use_server_proxy=self._use_server_proxy,
            )
        )

    def _manager(self) -> SandboxManagerSync:
        """A new synchronous manager; the caller closes it."""
        return SandboxManagerSync.create(connection_config=self._connection_config())
