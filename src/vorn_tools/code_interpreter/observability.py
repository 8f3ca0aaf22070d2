"""Optional OpenTelemetry tracing for the code-interpreter sandbox lifecycle.

Operations are traced by decorating them with :func:`traced`; attributes that
depend on the outcome are added from inside with
:func:`set_current_span_attributes`. An exception escaping a traced operation
is recorded on its span with its message and stack trace masked, then
re-raised unchanged.

The OpenTelemetry API is probed once, at import. When it is absent or the
probe fails, tracing is off for the life of the process and every helper is a
pass-through. The library never configures a tracer provider or exporter: it
emits spans against whatever provider the host installs, before or after
importing this module.
"""

from __future__ import annotations

import contextlib
import functools
import inspect
from collections.abc import Callable, Iterator, Mapping
from typing import Any, Final, TypeVar

from vorn_tools.code_interpreter.redaction import (
    qualified_type,
    redacted_message,
    redacted_traceback,
)

_F = TypeVar("_F", bound=Callable[..., Any])

trace: Any
_tracer: Any
_TRACING_AVAILABLE: bool

try:
    from opentelemetry import trace

    _tracer = trace.get_tracer("vorn_tools.code_interpreter")
    _TRACING_AVAILABLE = True
except Exception:
    # Absent or broken: tracing stays off for the process, silently.
    trace = None
    _tracer = None
    _TRACING_AVAILABLE = False


class SpanName:
    """Span names for the code-interpreter sandbox lifecycle."""

    TEMPLATE_BUILD: Final[str] = "zib_sandbox.template.build"
    CREATE: Final[str] = "zib_sandbox.sandbox.create"
    EXECUTE_CODE: Final[str] = "zib_sandbox.execute_code"
    EXECUTE_COMMAND: Final[str] = "zib_sandbox.execute_command"
    UPLOAD: Final[str] = "zib_sandbox.file.upload"
    DOWNLOAD: Final[str] = "zib_sandbox.file.download"
    TERMINATE: Final[str] = "zib_sandbox.sandbox.terminate"


class SpanAttr:
    """Attribute keys of code-interpreter spans.

    Only low-cardinality metadata goes on a span: identifiers, counts, sizes
    and outcome words. Never user code, command strings or file contents.
    """

    BACKEND: Final[str] = "zib_sandbox.backend"
    SANDBOX_ID: Final[str] = "zib_sandbox.sandbox_id"
    TEMPLATE_ID: Final[str] = "zib_sandbox.template_id"
    FILE_PATH: Final[str] = "zib_sandbox.file_path"
    FILE_COUNT: Final[str] = "zib_sandbox.file_count"
    TOTAL_BYTES: Final[str] = "zib_sandbox.total_bytes"
    STATUS: Final[str] = "zib_sandbox.status"


def _apply_attrs(span: Any, attrs: Mapping[str, Any]) -> None:
    for key, value in attrs.items():
        if value is not None:
            span.set_attribute(key, value)


def _record_redacted_exception(span: Any, exc: BaseException) -> None:
    # The renderers never raise (a broken __str__ renders as the type name),
    # so recording cannot replace the operation's own exception.
    type_name = qualified_type(exc)
    message = redacted_message(exc)
    stacktrace = redacted_traceback(exc)
    span.set_status(trace.Status(trace.StatusCode.ERROR, type_name))
    span.add_event(
        "exception",
        {
            "exception.type": type_name,
            "exception.message": message,
            "exception.stacktrace": stacktrace,
        },
    )


@contextlib.contextmanager
def _start_span(name: str, /, **attrs: Any) -> Iterator[Any]:
    if not _TRACING_AVAILABLE:
        yield None
        return
    with _tracer.start_as_current_span(
        name, record_exception=False, set_status_on_exception=False
    ) as span:
        _apply_attrs(span, attrs)
        try:
            yield span
        except Exception as exc:
            # Cancellation, interrupts and generator exits are not failures of
            # the operation: they pass through unrecorded.
            _record_redacted_exception(span, exc)
            raise


def traced(name: str, **static_attrs: Any) -> Callable[[_F], _F]:
    """Wrap a sync or async callable in a span named ``name``.

    ``static_attrs`` are set on the span when it opens (``None`` values are
    skipped); pass dotted keys by unpacking a mapping:
    ``@traced(SpanName.EXECUTE_CODE, **{SpanAttr.BACKEND: "e2b"})``. An
    exception raised by the callable is recorded as a span error with its
    message and stack trace masked, then re-raised unchanged. A no-op when
    tracing is unavailable.

    A coroutine function's span opens when its coroutine starts running and
    covers the whole await; any other callable's span covers only the call
    (a returned coroutine or generator is not followed).
    """

    def decorator(func: _F) -> _F:
        if inspect.iscoroutinefunction(func):

            @functools.wraps(func)
            async def async_wrapper(*args: Any, **kwargs: Any) -> Any:
                with _start_span(name, **static_attrs):
                    return await func(*args, **kwargs)

            return async_wrapper  # type: ignore[return-value]

        @functools.wraps(func)
        def sync_wrapper(*args: Any, **kwargs: Any) -> Any:
            with _start_span(name, **static_attrs):
                return func(*args, **kwargs)

        return sync_wrapper  # type: ignore[return-value]

    return decorator


def set_current_span_attributes(**attrs: Any) -> None:
    """Set attributes on the currently active span.

    For use inside a traced operation to record outcome-dependent metadata
    (sandbox id, status, counts) without holding a span. ``None`` values are
    skipped; outside a recording span, or without tracing, nothing happens.
    """
    if not _TRACING_AVAILABLE:
        return
    span = trace.get_current_span()
    if span is None or not span.is_recording():
        return
    _apply_attrs(span, attrs)
