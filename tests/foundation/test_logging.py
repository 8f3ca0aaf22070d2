# Exception renderers and redacting loggers.

import logging

import pytest

from tests.foundation.conftest import Unprintable
from vorn_tools.code_interpreter import redaction
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import (
    format_error_chain, redacted_chain, redacted_message, redacted_traceback, register_secret,
)  # fmt: skip

KEY = "e2b_live_7Hq2Zr9LmX4pW1sK"  # logging through the redacting logger is covered by the interpreter's tests


class ProviderAPIError(Exception):
    class Unauthorized(Exception):
        pass


def _link(outer: BaseException, cause=None, context=None, suppress=False) -> BaseException:
    outer.__cause__, outer.__context__, outer.__suppress_context__ = cause, context, suppress
    return outer


def test_renderings_are_masked_and_keep_every_link() -> None:
    register_secret(KEY)
    error = _link(SandboxStartError("Failed", stage=Stage.CREATE), ConnectionError(f"key {KEY}"))
    assert redacted_chain(error) == "SandboxStartError: Failed\ncaused by ConnectionError: key [SECRET]"
    traceback = redacted_traceback(error)  # no trailing line feed
    assert traceback.startswith("ConnectionError: key [SECRET]") and traceback.endswith("Error: Failed")


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


@pytest.mark.parametrize("failing_engine", [redaction.MaskingRuleError("R", "limit"), KeyError("crash")], indirect=True)
@pytest.mark.usefixtures("failing_engine")
def test_masking_failures_yield_fallbacks_never_raw_text() -> None:
    error = ProviderAPIError.Unauthorized("raw")
    record = logging.LogRecord("t", logging.WARNING, __file__, 1, "raw %s", ("message",), (None, error, None))
    redaction.RedactingFilter().filter(record)
    fallback = f"{__name__}.ProviderAPIError.Unauthorized"
    assert (record.msg, record.exc_text, record.exc_info) == ("[REDACTION FAILED]", fallback, None)
    assert {render(error) for render in (redacted_message, redacted_chain, redacted_traceback)} == {fallback}


def test_format_error_chain() -> None:
    # The explicit cause wins over the context; without a cause the context is followed, unless suppressed.
    hidden = _link(KeyError("k"), context=TypeError("hidden"), suppress=True)
    error = _link(ProviderAPIError.Unauthorized("  lead kept \n"), _link(Unprintable(), context=hidden), KeyError("x"))
    assert format_error_chain(error).split("\ncaused by ") == [
        "ProviderAPIError.Unauthorized:   lead kept", "Unprintable: <exception str() failed>", "KeyError: 'k'"
    ]  # fmt: skip
    cycle = _link(_a := OSError("a"), _link(TypeError("b"), _a))
    assert format_error_chain(cycle) == "OSError: a\ncaused by TypeError: b"
