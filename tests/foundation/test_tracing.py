# Tracing spans, recorded through the OpenTelemetry SDK's in-memory exporter.

import asyncio

import pytest
from opentelemetry.trace import StatusCode

from tests.foundation.conftest import Unprintable
from vorn_tools.code_interpreter.observability import SpanAttr, SpanName, set_current_span_attributes, traced
from vorn_tools.code_interpreter.redaction import qualified_type, register_secret


async def test_span_carries_static_and_body_attributes(spans) -> None:
    @traced(SpanName.EXECUTE_CODE, **{SpanAttr.BACKEND: "fake", SpanAttr.TEMPLATE_ID: None})
    async def execute_code(code: str, *, timeout: int = 30) -> str:
        await asyncio.sleep(0)
        set_current_span_attributes(**{SpanAttr.STATUS: "success", "n": 0, "none": None})
        set_current_span_attributes(**{SpanAttr.STATUS: "error", "flag": False})
        return f"{code}:{timeout}"

    assert await execute_code("print(1)", timeout=5) == "print(1):5"
    (span,) = spans.get_finished_spans()
    # None is skipped, False and 0 are set, and a later value wins.
    attributes = {"zib_sandbox.backend": "fake", "zib_sandbox.status": "error", "n": 0, "flag": False}
    assert (span.name, dict(span.attributes), span.events) == ("zib_sandbox.execute_code", attributes, ())
    assert span.status.status_code is StatusCode.UNSET


@pytest.mark.parametrize(("raised", "message"), [(ValueError("bad key registered-key-9f8e7d6c"), "bad key [SECRET]"),
                                                 (Unprintable(), "tests.foundation.conftest.Unprintable")])
def test_failure_is_recorded_masked_and_reraised_unchanged(spans, raised: Exception, message: str) -> None:
    register_secret("registered-key-9f8e7d6c")

    def op() -> None:
        raise raised

    with pytest.raises(type(raised)) as caught:
        traced(SpanName.UPLOAD)(op)()
    (span,), type_name = spans.get_finished_spans(), qualified_type(raised)
    ((event_name, attrs),) = [(event.name, dict(event.attributes)) for event in span.events]
    assert (caught.value, span.status.status_code, span.status.description) == (raised, StatusCode.ERROR, type_name)
    # What cannot be rendered is replaced by the type name; nothing raw reaches the span.
    assert (event_name, attrs["exception.type"], attrs["exception.message"]) == ("exception", type_name, message)
    stacktrace = attrs["exception.stacktrace"]
    assert stacktrace.startswith("Traceback") and "registered-key" not in stacktrace


async def test_cancellation_is_not_recorded_as_an_error(spans) -> None:
    task = asyncio.create_task(traced(SpanName.EXECUTE_CODE)(asyncio.sleep)(3600))
    await asyncio.sleep(0)  # the task starts and opens its span
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    (span,) = spans.get_finished_spans()
    assert (span.status.status_code, span.events) == (StatusCode.UNSET, ())
