"""Fixtures of the sandbox-contract tests."""

from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures
