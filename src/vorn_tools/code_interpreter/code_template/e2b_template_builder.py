"""Template builder for the E2B service: a template is a server-side alias.

Requires the extra ``vorn-tools[e2b]``. Every call is synchronous and a build
blocks for minutes; asynchronous callers run it in a worker thread.
"""

import builtins
import contextvars
import dataclasses
import io
import json
import os
from collections.abc import Callable
from typing import Any

try:
    from e2b import LogEntry, Template, default_build_logger, wait_for_port
    from e2b.template import dockerfile_parser as _dockerfile_parser
    from e2b.template.main import TemplateBuilder, TemplateFinal
except ImportError as _import_error:
    raise ImportError(
        "The 'e2b' package is required for E2BTemplateBuilder. Install it with: pip install 'vorn-tools[e2b]'"
    ) from _import_error

from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_SANDBOX_CPU_COUNT,
    DEFAULT_SANDBOX_IMAGE,
    DEFAULT_SANDBOX_MEMORY_MB,
    E2BConfig,
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
from vorn_tools.code_interpreter.redaction import get_redacting_logger, redact, register_secret

logger = get_redacting_logger(__name__)

_DEFAULT_CI_START_CMD = "sudo /root/.jupyter/start-up.sh"
_DEFAULT_CI_PORT = 49999
_masking_parser_print = contextvars.ContextVar("masking_parser_print", default=False)


class E2BTemplateBuilder(BaseTemplateBuilder):
    """Builds E2B template aliases from a :class:`TemplateSpec`.

    ``spec.image`` (a registry reference, optionally with credentials) is the
    standard source; the deprecated ``dockerfile`` and ``base_template`` are
    still honoured. The alias is ``spec.template_id``.
    """

    def __init__(self, *, api_key: str | None = None, domain: str | None = None) -> None:
        register_secret(api_key)
        self._api_key = api_key
        self._domain = domain

    @property
    def provider(self) -> SandboxProvider:
        return SandboxProvider.E2B

    @property
    def supports_build(self) -> bool:
        return True

    def is_usable(self, template_id: str) -> bool:
        """True when the alias exists and has at least one tag (a successful build)."""
        if not self._alias_exists(template_id):
            return False
        try:
            return bool(Template.get_tags(template_id, **self._api_opts()))
        except Exception as exc:
            logger.warning(f"E2B template tag check failed for {template_id!r}: {exc}")
            return False

    def _alias_exists(self, template_id: str) -> bool:
        try:
            return bool(Template.exists(template_id, **self._api_opts()))
        except Exception as exc:
            logger.warning(f"E2B template exists check failed for {template_id!r}: {exc}")
            return False

    @traced(SpanName.TEMPLATE_BUILD, **{SpanAttr.BACKEND: "e2b"})
    def build(self, spec: TemplateSpec) -> TemplateBuildResult:
        """Build the alias ``spec.template_id`` on the service; failures are returned."""
        set_current_span_attributes(**{SpanAttr.TEMPLATE_ID: spec.template_id})
        try:
            template = self._create_template(spec)
        except Exception as exc:
            logger.warning(f"E2B template creation failed for {spec.template_id!r}: {exc}")
            return self._failed(f"template creation failed: {exc}")
        try:
            Template.build(
                template,
                alias=spec.template_id,
                cpu_count=spec.cpu_count if spec.cpu_count is not None else DEFAULT_SANDBOX_CPU_COUNT,
                memory_mb=spec.memory_mb if spec.memory_mb is not None else DEFAULT_SANDBOX_MEMORY_MB,
                on_build_logs=_masked_build_logger(),
                **self._api_opts(),
            )
        except Exception as exc:
            logger.warning(f"E2B template build failed for {spec.template_id!r}: {exc}")
            return self._failed(f"build failed: {exc}")
        logger.info(f"E2B template built: {spec.template_id}")
        return TemplateBuildResult(status=TemplateBuildStatus.SUCCESS, template_ref=self._make_ref(spec.template_id))

    def ensure_default(self) -> str | None:
        """The shared base alias, built on first use; None to fall back to E2B's default."""
        spec = TemplateSpec(template_id=E2BConfig.DEFAULT_TEMPLATE_ALIAS, image=DEFAULT_SANDBOX_IMAGE)
        result = self.ensure(spec)
        if result.status in (TemplateBuildStatus.SUCCESS, TemplateBuildStatus.SKIPPED) and result.template_ref:
            return result.template_ref.value
        logger.warning(
            f"Could not ensure default E2B template {E2BConfig.DEFAULT_TEMPLATE_ALIAS!r} "
            f"({result.status.value}: {result.detail}); falling back to E2B's default template"
        )
        return None

    def _create_template(self, spec: TemplateSpec) -> TemplateBuilder | TemplateFinal:
        """The SDK definition of ``spec``: source, package install step, start command."""
        dockerfile = legacy_field(spec, "dockerfile")
        base_template = legacy_field(spec, "base_template")
        if not (spec.image or dockerfile or base_template):
            raise ValueError("E2B build requires 'image' (or deprecated 'dockerfile'/'base_template')")
        from_image = bool(spec.image)
        if spec.image:
            logger.info(f"Creating E2B template from image registry: {spec.image}")
            template = self._from_registry(spec.image, spec.registry_auth)
        elif dockerfile:
            logger.info(f"Creating E2B template from Dockerfile: {dockerfile}")
            # The SDK's parser prints its warnings, quoting Dockerfile lines.
            template = Template(file_context_path=_build_context(dockerfile))
            template = _parse_masked(lambda: template.from_dockerfile(dockerfile))
        else:
            logger.info(f"Creating E2B template from base: {base_template}")
            template = Template().from_template(base_template)
        if spec.packages:
            packages = quoted_packages(spec.packages)
            logger.info(f"Baking packages into template: {packages}")
            template = template.run_cmd(pip_install_command(packages))
        if spec.start_cmd or from_image:
            start_cmd = spec.start_cmd or _DEFAULT_CI_START_CMD
            ready_cmd = spec.ready_cmd or wait_for_port(_DEFAULT_CI_PORT)
            logger.info(f"Setting E2B start command: {start_cmd}")
            template = template.set_start_cmd(start_cmd, ready_cmd)
        return template

    def _from_registry(self, image: str, auth: RegistryAuth | None) -> TemplateBuilder:
        """A definition started from the registry image ``image``, pulled with ``auth``.

        The E2B SDK has no single registry source: basic logins go through
        ``from_image``, cloud credentials through ``from_aws_registry`` and
        ``from_gcp_registry``, whose exchange happens on the E2B service.
        """
        if auth is None:
            return Template().from_image(image)
        if isinstance(auth, BasicAuth):
            template = Template()
            return template.from_image(image, username=auth.username, password=registered(auth.reveal_password()))
        if isinstance(auth, AwsAuth):
            template = Template()
            return template.from_aws_registry(
                image,
                access_key_id=auth.access_key_id,
                secret_access_key=registered(auth.reveal_secret_key()),
                region=auth.region,
            )
        if isinstance(auth, GcpAuth):
            template = Template()
            content = _service_account_content(registered_service_account(auth.resolved_service_account_json()))
            return template.from_gcp_registry(image, service_account_json=content)
        raise ValueError(f"Unsupported registry auth: {type(auth).__name__}")

    def _api_opts(self) -> dict[str, Any]:
        opts: dict[str, Any] = {}
        if self._api_key is not None:
            opts["api_key"] = self._api_key
        if self._domain is not None:
            opts["domain"] = self._domain
        return opts


def _masked_build_logger() -> Callable[[LogEntry], None]:
    """The SDK's build-log printer, handed each entry with credentials masked.

    The service's log lines may quote what the build was given (a failed
    pull quotes the registry login), and the printer writes them to
    standard output as they are.
    """
    print_entry = default_build_logger()

    def print_masked(entry: LogEntry) -> None:
        print_entry(dataclasses.replace(entry, message=redact(entry.message)))

    return print_masked


def _parser_print(*values: object, sep: str | None = " ", end: str | None = "\n", file: Any = None,
                  flush: bool = False) -> None:
    """``print`` for the Dockerfile parser: masked within :func:`_parse_masked`, as given elsewhere."""
    if _masking_parser_print.get():
        text = io.StringIO()
        builtins.print(*values, sep=sep, end=end, file=text)
        values, sep, end = (redact(text.getvalue()),), "", ""
    (_parser_print_before or builtins.print)(*values, sep=sep, end=end, file=file, flush=flush)


def _parse_masked(parse: Callable[[], Any]) -> Any:
    """``parse()``, with what the SDK's Dockerfile parser prints meanwhile in this thread masked.

    The parser reports with the plain ``print`` built-in (its warnings quote
    Dockerfile lines, credentials and all). Its module's ``print`` name holds
    :func:`_parser_print` for good, which masks only the calls made in here;
    the process's standard output, what other threads print, and the parser
    used elsewhere are left as they are.
    """
    global _parser_print_before
    if "print" not in vars(_dockerfile_parser):  # a patch of someone else's undone by deleting the name
        _parser_print_before = None
        _dockerfile_parser.print = _parser_print  # type: ignore[attr-defined]

    def masked() -> Any:
        _masking_parser_print.set(True)
        return parse()

    return contextvars.copy_context().run(masked)  # the mark never outlives the call, whatever it raises


# A print someone else put there first (not this module's own, on a reload) still gets the lines.
_parser_print_before: Any = vars(_dockerfile_parser).get("print")
if getattr(_parser_print_before, "__module__", None) == __name__:
    _parser_print_before = None
_dockerfile_parser.print = _parser_print  # type: ignore[attr-defined]


def _build_context(dockerfile: str) -> str:
    """The directory a Dockerfile's COPY sources are read from, as ``docker build`` would.

    For a Dockerfile path its own directory, for Dockerfile text the working
    directory. Left to itself the SDK takes the directory of the module that
    calls ``Template()``: this package's, where no caller's file is.
    """
    # The same test the SDK makes to tell a path from content.
    if os.path.isfile(dockerfile):
        return os.path.dirname(os.path.abspath(dockerfile))
    return os.getcwd()


def _service_account_content(text: str) -> dict[str, Any]:
    """The parsed service-account JSON, the form the E2B SDK takes as content.

    The SDK reads any string as a file path (and quotes it whole in the error
    when that fails), so the key must reach it as a mapping.
    """
    try:
        content = json.loads(text)
    except ValueError:
        content = None
    if not isinstance(content, dict):
        # The text may be the key itself: never put it into the message.
        raise ValueError(
            "GCP service_account_json is neither a readable JSON file nor a JSON object"
        ) from None
    registered(json.dumps(content))  # the text the SDK sends in its place
    return content
