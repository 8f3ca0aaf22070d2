"""The provider-agnostic template builder contract and its idempotent ensure flow."""

import json
import shlex
from abc import ABC, abstractmethod
from collections.abc import Iterable

from vorn_tools.code_interpreter.code_template.models import (
    SandboxProvider,
    TemplateBuildResult,
    TemplateBuildStatus,
    TemplateRef,
    TemplateSpec,
)
from vorn_tools.code_interpreter.errors import CodeInterpreterError, Stage
from vorn_tools.code_interpreter.redaction import get_redacting_logger, register_secret

logger = get_redacting_logger(__name__)


def quoted_packages(packages: Iterable[str]) -> str:
    """``packages`` as shell words, each quoted, joined by spaces."""
    return " ".join(shlex.quote(package) for package in packages)


def pip_install_command(quoted: str) -> str:
    """The shell command that installs ``quoted`` (from ``quoted_packages``) quietly.

    "--" ends pip's options: no entry can be read as one.
    """
    return f"pip install -q -- {quoted}"


def registered(secret: str) -> str:
    """``secret``, once registered for masking.

    Builders pass every credential they reveal through here before it leaves
    for a provider: a service that refuses a request may quote it back (a 422
    echoing the body), and that text reaches results and log records.
    """
    register_secret(secret)
    # The registry also masks a secret as one level of JSON quotes it; an SDK
    # error that quotes a raw error body, itself quoting the JSON request,
    # adds a second level.
    register_secret(json.dumps(secret, ensure_ascii=False)[1:-1])
    return secret


def registered_service_account(text: str) -> str:
    """A service-account JSON text, once registered for masking with its private key.

    The key is registered alone as well: an error may quote the one field.
    """
    registered(text)
    try:
        content = json.loads(text)
    except (ValueError, RecursionError):
        return text
    if isinstance(content, dict) and isinstance(content.get("private_key"), str):
        registered(content["private_key"])
    return text


class BaseTemplateBuilder(ABC):
    """Prepares reusable sandbox templates for one provider, ahead of sandbox creation.

    Every operation is synchronous and may block for minutes; asynchronous
    callers run it in a worker thread. Callers use :meth:`ensure`, which never
    raises for an ordinary failure, and check :attr:`supports_build` first.
    """

    @property
    @abstractmethod
    def provider(self) -> SandboxProvider:
        """The backend this builder targets; stamped into every reference it makes."""
        raise NotImplementedError

    @property
    @abstractmethod
    def supports_build(self) -> bool:
        """Whether :meth:`build` produces a reusable reference."""
        raise NotImplementedError

    @abstractmethod
    def is_usable(self, template_id: str) -> bool:
        """Whether a template for ``template_id`` can back a sandbox creation now."""
        raise NotImplementedError

    @abstractmethod
    def build(self, spec: TemplateSpec) -> TemplateBuildResult:
        """Build or refresh the template of ``spec``; failures are results, not raised."""
        raise NotImplementedError

    def ensure(self, spec: TemplateSpec) -> TemplateBuildResult:
        """Make sure the template of ``spec`` is usable, building it only when needed.

        Skips the build when the template already resolves (unless
        ``force_rebuild``); a non-forced build that fails while a concurrent
        builder made the template usable counts as skipped. Any ordinary
        exception becomes a ``FAILED`` result carrying its stage (the error's
        own for a ``CodeInterpreterError``, else ``Stage.TEMPLATE_BUILD``); a
        ``FAILED`` result that ``build`` returns is passed on as it is, with
        ``stage`` None.
        """
        try:
            if not spec.force_rebuild:
                ref = self._resolve_ref(spec.template_id)
                if ref is not None:
                    return self._skipped(ref, "already usable")
            result = self.build(spec)
            if result.status is TemplateBuildStatus.FAILED and not spec.force_rebuild:
                ref = self._resolve_ref(spec.template_id)
                if ref is not None:
                    return self._skipped(ref, "usable after failed build (concurrent build?)")
            return result
        except Exception as e:
            stage = e.stage if isinstance(e, CodeInterpreterError) else Stage.TEMPLATE_BUILD
            logger.warning(
                f"ensure failed for template {spec.template_id!r}: {e}",
                exc_info=True,
                extra={"error_code": stage},
            )
            return TemplateBuildResult(
                status=TemplateBuildStatus.FAILED, template_ref=None, detail=str(e), stage=stage
            )

    def _resolve_ref(self, template_id: str) -> str | None:
        """The provider-native reference for ``template_id``, or None when it is not usable."""
        return template_id if self.is_usable(template_id) else None

    def _make_ref(self, value: str) -> TemplateRef:
        return TemplateRef(provider=self.provider, value=value)

    def _failed(self, detail: str, *, logs: str = "") -> TemplateBuildResult:
        return TemplateBuildResult(status=TemplateBuildStatus.FAILED, template_ref=None, detail=detail, logs=logs)

    def _skipped(self, value: str, detail: str) -> TemplateBuildResult:
        return TemplateBuildResult(
            status=TemplateBuildStatus.SKIPPED, template_ref=self._make_ref(value), detail=detail
        )
