# Fixtures for the failure taxonomy, redaction and tracing tests.

from unittest.mock import Mock

import pytest
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from vorn_tools.code_interpreter import redaction


@pytest.fixture(autouse=True)
def fresh_registry(monkeypatch: pytest.MonkeyPatch) -> redaction._SecretRegistry:
    # Each test gets an empty secret registry; the process-wide one only grows.
    monkeypatch.setattr(redaction, "_SECRETS", registry := redaction._SecretRegistry())
    return registry


class Unprintable(Exception):
    def __str__(self) -> str:
        raise RuntimeError("__str__ is broken")


@pytest.fixture
def failing_engine(monkeypatch: pytest.MonkeyPatch, request: pytest.FixtureRequest) -> None:
    # Every masking pass raises: by default as a rule hitting its match limit does.
    error = getattr(request, "param", redaction.MaskingRuleError("TEST_RULE", "match limit exceeded"))
    monkeypatch.setattr(redaction, "mask_text", Mock(side_effect=error))


@pytest.fixture(scope="session")
def _span_exporter_session() -> InMemorySpanExporter:
    # The global tracer provider can be set once per process: install ours
    # once, or hang our exporter on an SDK provider another suite installed.
    if not isinstance(provider := trace.get_tracer_provider(), TracerProvider):
        trace.set_tracer_provider(provider := TracerProvider())
    provider.add_span_processor(SimpleSpanProcessor(exporter := InMemorySpanExporter()))
    return exporter


@pytest.fixture
def spans(_span_exporter_session: InMemorySpanExporter) -> InMemorySpanExporter:
    # The in-memory span exporter, emptied before the test.
    _span_exporter_session.clear()
    return _span_exporter_session
