# Exception renderers, redacting loggers, and tracing spans (recorded through the OpenTelemetry SDK's
# in-memory exporter): what leaves the library about a failure is masked.

import asyncio
import logging

import pytest
from opentelemetry.trace import StatusCode

from tests.foundation.conftest import Unprintable
from vorn_tools.code_interpreter import redaction
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage
from vorn_tools.code_interpreter.observability import SpanAttr, SpanName, set_current_span_attributes, traced
from vorn_tools.code_interpreter.redaction import (
    format_error_chain, get_redacting_logger, qualified_type, redacted_chain, redacted_message, redacted_traceback, register_secret,
)  # fmt: skip

# Logging through the redacting logger is covered by the interpreter's tests.


class ProviderAPIError(Exception):
    class Unauthorized(Exception): ...


def _link(outer: BaseException, cause=None, context=None, suppress=False) -> BaseException:
    outer.__cause__, outer.__context__, outer.__suppress_context__ = cause, context, suppress
    return outer


def test_renderings_are_masked_and_keep_every_link() -> None:
    register_secret(key := "e2b_live_7Hq2Zr9LmX4pW1sK")
    # The explicit cause wins over the context; without a cause the context is followed, unless suppressed.
    hidden = _link(KeyError("k"), context=TypeError("hidden"), suppress=True)
    error = _link(ProviderAPIError.Unauthorized(f"  lead {key} \n"), _link(Unprintable(), context=hidden), KeyError("x"))
    links = ["ProviderAPIError.Unauthorized:   lead [SECRET]", "Unprintable: <exception str() failed>", "KeyError: 'k'"]
    assert (redacted_chain(error).split("\ncaused by "), format_error_chain(error).count(key)) == (links, 1)
    traceback = redacted_traceback(error)  # no trailing line feed
    assert traceback.startswith("KeyError: 'k'") and traceback.endswith("Unauthorized:   lead [SECRET] ") and key not in traceback
    cycle = _link(_a := OSError("a"), _link(TypeError("b"), _a))
    assert format_error_chain(cycle) == "OSError: a\ncaused by TypeError: b"


@pytest.mark.parametrize(("msg", "args", "expected"), [
    ("token %s at %d%%", ("arg-secret-123", 50), "token [SECRET] at 50%"),
    # Logging never raises into the caller: not for arguments that do not fit the format,
    # nor for a message object or an exception whose __str__ fails.
    ("to %s: %s", ("arg-secret-123",), "to %s: %s [log arguments could not be merged: builtins.TypeError]"),
    (Unprintable(), None, "[unprintable log message of type tests.foundation.conftest.Unprintable]"),
])
def test_filter_merges_and_masks_arguments_then_clears_them(msg, args, expected) -> None:
    register_secret("arg-secret-123")
    record = logging.LogRecord("t", logging.WARNING, __file__, 1, msg, args, (None, Unprintable(), None))
    assert redaction.RedactingFilter().filter(record) is True
    assert (record.msg, record.args, record.getMessage()) == (expected, None, expected)
    assert record.exc_text.endswith("Unprintable: <exception str() failed>") and record.exc_info is None
    assert get_redacting_logger(__name__).filters == [redaction._REDACTING_FILTER] == get_redacting_logger(__name__).filters


@pytest.mark.parametrize("failing_engine", [redaction.MaskingRuleError("R", "limit"), KeyError("crash")], indirect=True)
@pytest.mark.usefixtures("failing_engine")
def test_masking_failures_yield_fallbacks_never_raw_text() -> None:
    error = ProviderAPIError.Unauthorized("raw")
    record = logging.LogRecord("t", logging.WARNING, __file__, 1, "raw %s", ("message",), (None, error, None))
    redaction.RedactingFilter().filter(record)
    fallback = f"{__name__}.ProviderAPIError.Unauthorized"
    assert (record.msg, record.exc_text, record.exc_info) == ("[REDACTION FAILED]", fallback, None)
    assert {render(error) for render in (redacted_message, redacted_chain, redacted_traceback)} == {fallback}


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


@pytest.mark.parametrize(("raised", "message"), [
    (ValueError("bad key registered-key-9f8e7d6c"), "bad key [SECRET]"),
    (Unprintable(), "tests.foundation.conftest.Unprintable"),
    (asyncio.CancelledError(), None),  # cancellation is no failure: nothing is recorded
])  # fmt: skip
def test_failure_is_recorded_masked_and_reraised_unchanged(spans, raised: Exception, message: str) -> None:
    register_secret("registered-key-9f8e7d6c")

    def op() -> None:
        raise raised

    with pytest.raises(type(raised)) as caught:
        traced(SpanName.UPLOAD)(op)()
    (span,), type_name = spans.get_finished_spans(), qualified_type(raised)
    if message is None:
        assert (caught.value, span.status.status_code, span.events) == (raised, StatusCode.UNSET, ())
        return
    ((event_name, attrs),) = [(event.name, dict(event.attributes)) for event in span.events]
    assert (caught.value, span.status.status_code, span.status.description) == (raised, StatusCode.ERROR, type_name)
    # What cannot be rendered is replaced by the type name; nothing raw reaches the span.
    assert (event_name, attrs["exception.type"], attrs["exception.message"]) == ("exception", type_name, message)
    assert attrs["exception.stacktrace"].startswith("Traceback") and "registered-key" not in str(attrs)
