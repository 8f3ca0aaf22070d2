"""Fixtures for the template builder tests: the E2B and OpenSandbox stand-ins."""

from __future__ import annotations

import pytest

from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - shared fixtures
from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - shared fixtures
from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures


@pytest.fixture
def e2b_builder(e2b, monkeypatch: pytest.MonkeyPatch):
    """A real E2B builder on the stand-in, which it reaches through ``E2B_API_URL``."""
    from e2b import Template

    from vorn_tools.code_interpreter.code_template.e2b_template_builder import E2BTemplateBuilder

    monkeypatch.setenv("E2B_API_URL", e2b.api_url)
    monkeypatch.setattr(Template, "_logs_refresh_frequency", 0.01)
    e2b.aliases.clear()
    e2b.uploads.clear()
    return E2BTemplateBuilder(api_key=e2b.api_key)


@pytest.fixture
def os_builder(opensandbox, monkeypatch: pytest.MonkeyPatch):
    """Factory of real OpenSandbox builders on the stand-in; pip in its sandboxes stays offline."""
    from vorn_tools.code_interpreter.code_template.opensandbox_template_builder import OpenSandboxTemplateBuilder

    monkeypatch.setenv("PIP_NO_INDEX", "1")
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    monkeypatch.setenv("AWS_ENDPOINT_URL_ECR", opensandbox.ecr_url)

    def make(**options) -> OpenSandboxTemplateBuilder:
        options = {"api_key": opensandbox.api_key, "domain": opensandbox.domain, "snapshot_poll_interval": 0.02,
                   **options}
        return OpenSandboxTemplateBuilder(**options)

    return make
