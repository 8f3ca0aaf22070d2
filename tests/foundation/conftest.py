"""Fixtures for the failure taxonomy, redaction and tracing tests."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from vorn_tools.code_interpreter import redaction


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Run ``code`` in a fresh interpreter (clean imports and probes), bounded in time."""
    argv = [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(argv, cwd=Path(__file__).parents[2], capture_output=True, text=True, timeout=120)


@pytest.fixture(autouse=True)
def fresh_registry(monkeypatch: pytest.MonkeyPatch) -> redaction._SecretRegistry:
    """Give each test an empty secret registry; the process-wide one only grows."""
    monkeypatch.setattr(redaction, "_SECRETS", registry := redaction._SecretRegistry())
    return registry


class Unprintable(Exception):
    """An exception whose ``__str__`` fails."""

    def __str__(self) -> str:
        raise RuntimeError("__str__ is broken")


ENGINE_FAILURES = pytest.mark.parametrize(
    "failing_engine",
    [redaction.MaskingRuleError("TEST_RULE", "match limit exceeded"), RuntimeError("engine crashed")],
    ids=["rule-fails", "engine-crashes"],
    indirect=True,
)


@pytest.fixture
def failing_engine(monkeypatch: pytest.MonkeyPatch, request: pytest.FixtureRequest) -> None:
    """Make every masking pass fail the way a rule hitting its match limit does (or as
    ``ENGINE_FAILURES`` asks: the engine itself crashing, too)."""
    error = getattr(request, "param", redaction.MaskingRuleError("TEST_RULE", "match limit exceeded"))

    def fail(text: str, rules: object) -> str:
        raise error

    monkeypatch.setattr(redaction, "mask_text", fail)


@pytest.fixture(scope="session")
def _span_exporter_session() -> InMemorySpanExporter:
    # The global tracer provider can be set once per process: install ours
    # once, or hang our exporter on an SDK provider another suite installed.
    if not isinstance(provider := trace.get_tracer_provider(), TracerProvider):
        trace.set_tracer_provider(provider := TracerProvider())
    provider.add_span_processor(SimpleSpanProcessor(exporter := InMemorySpanExporter()))
    return exporter


@pytest.fixture
def spans(_span_exporter_session: InMemorySpanExporter) -> Iterator[InMemorySpanExporter]:
    """The in-memory span exporter, emptied before and after the test."""
    _span_exporter_session.clear()
    yield _span_exporter_session
    _span_exporter_session.clear()
