"""Shared helpers of the sandbox backends.

Retries for sandbox creation and teardown, timeout resolution, the results
of finished and failed runs, upload paths, the Python package installer and
the bounded record of streamed output.
"""

import asyncio
import math
import numbers
import time
from collections.abc import Awaitable, Callable, MutableMapping
from datetime import timedelta
from decimal import Decimal
from typing import Any, TypeVar

from vorn_tools import _native
from vorn_tools._native import BoundedOutputSink  # re-exported: the sink is native
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_EXECUTION_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DEFAULT_SANDBOX_TIMEOUT,
    PackageInstallErrorMessage,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus, FailureDetail
from vorn_tools.code_interpreter.errors import (
    SandboxExecutionError,
    SandboxTerminateError,
    Stage,
    _cause_chain,
)
from vorn_tools.code_interpreter.observability import SpanAttr, set_current_span_attributes
from vorn_tools.code_interpreter.redaction import get_redacting_logger, qualified_type, redacted_message

logger = get_redacting_logger(__name__)

T = TypeVar("T")

# ---------------------------------------------------------------------------
# Retries
# ---------------------------------------------------------------------------


async def _pause(seconds: float) -> None:
    """The pause between two attempts (one name to look up, for tests that record pauses)."""
    await asyncio.sleep(seconds)


async def _run_attempts(
    operation: Callable[[], Awaitable[T]],
    *,
    attempts: int,
    backoff: float,
    should_retry: Callable[[BaseException], bool],
) -> T:
    """Call ``operation`` up to ``attempts`` times, pausing ``backoff`` seconds between calls.

    A failure is retried only when ``should_retry`` accepts it or one of its
    explicit causes; the last attempt's failure is raised unchanged. Anything
    outside the ``Exception`` family (cancellation) passes straight through.
    """
    attempt = 1
    while True:
        try:
            return await operation()
        except Exception as exc:
            if attempt >= attempts:
                raise
            if not any(should_retry(link) for link in _cause_chain(exc)):
                raise
            logger.info(f"Sandbox operation retry {attempt}/{attempts} after: {exc}")
        await _pause(backoff)
        attempt += 1


async def _retry_async(
    operation: Callable[[], Awaitable[T]],
    *,
    attempts: int,
    backoff: float,
    should_retry: Callable[[BaseException], bool],
    total_timeout: float | None = None,
) -> T:
    """Run the attempt loop of ``operation`` under one cap over attempts and pauses together."""
    if attempts < 1:
        raise ValueError("`attempts` must be at least 1")
    # Written as negated comparisons so that NaN is refused as well.
    if not backoff >= 0:
        raise ValueError("`backoff` must be non-negative")
    if total_timeout is not None and not total_timeout > 0:
        raise ValueError("`total_timeout` must be positive")
    return await asyncio.wait_for(
        _run_attempts(operation, attempts=attempts, backoff=backoff, should_retry=should_retry),
        total_timeout,
    )


async def create_with_retry(
    create: Callable[[], Awaitable[T]],
    *,
    is_transient: Callable[[BaseException], bool],
    attempts: int = 3,
    backoff: float = 2.0,
    total_timeout: float | None = None,
) -> T:
    """Create a sandbox, retrying only failures classified as transient.

    Args:
        create: Coroutine function without arguments; called anew per attempt.
            Cleaning up a half-built sandbox after a failed attempt is its job.
        is_transient: Predicate on one exception, applied to the failure and to
            each exception along its chain of explicit causes.
        attempts: Maximum number of attempts (at least 1).
        backoff: Fixed pause in seconds between two attempts.
        total_timeout: Cap in seconds on all attempts and pauses together; when
            it passes the attempt in flight is cancelled and ``TimeoutError`` is
            raised. ``None`` means no cap.

    Returns:
        Whatever ``create`` returns on its first successful attempt.
    """
    return await _retry_async(
        create,
        attempts=attempts,
        backoff=backoff,
        should_retry=is_transient,
        total_timeout=total_timeout,
    )


def _retry_everything(exc: BaseException) -> bool:
    return True


async def kill_with_retry(
    kill: Callable[[], Awaitable[Any]],
    *,
    attempts: int = 3,
    backoff: float = 0.5,
    total_timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
) -> None:
    """Kill a sandbox, retrying every failure under a total cap.

    The pause is lowered to ``total_timeout / (2 * attempts)`` when that is
    shorter than ``backoff``, so the pauses together stay below half the cap.
    The last failure is raised unchanged; at the cap ``TimeoutError`` is raised.
    """
    if total_timeout > 0 and attempts >= 1:
        backoff = min(backoff, total_timeout / (2 * attempts))
    await _retry_async(
        kill,
        attempts=attempts,
        backoff=backoff,
        should_retry=_retry_everything,
        total_timeout=total_timeout,
    )


def _not_seconds(timeout: Any, expected: str) -> TypeError:
    """The error for a ``timeout`` argument of the wrong type, naming the argument and the type given."""
    return TypeError(f"timeout must be {expected}, got {type(timeout).__name__}")


def check_teardown_cap(timeout: float, *, finite: bool = False) -> float:
    """Refuse a teardown cap of zero or less, a bool, or NaN (with ``finite``, an infinity too), with
    ``ValueError``, before anything is torn down; return the cap to wait with.

    The cap comes back as a float. An int beyond the float range is as long as an infinity: returned
    as ``math.inf`` (no limit), or refused with ``finite``. A value that is not a number (``None``, a
    str) raises ``TypeError`` naming the argument.
    """
    if isinstance(timeout, bool):  # as for a run's limit: True is no number of seconds, though it compares as 1
        raise ValueError(f"timeout must be a number of seconds, got {timeout!r}")
    refusal = ValueError("`timeout` must be positive and finite" if finite else "`timeout` must be positive")
    try:
        # NaN is not positive, so it is refused too: as a deadline it would reach the event loop's timer.
        if not timeout > 0:
            raise refusal
    except TypeError:
        raise _not_seconds(timeout, "a number of seconds") from None
    except ArithmeticError:  # a Decimal NaN refuses even to compare
        raise refusal from None
    seconds = _seconds(timeout)
    if finite and seconds == math.inf:
        raise refusal
    return seconds


def _exactly_finite(timeout: Any) -> bool:
    """Whether a real number is finite; one beyond the float range (an int, a Decimal, a Fraction) is."""
    if isinstance(timeout, Decimal):  # never compared with a float: a strict decimal context traps that
        return timeout.is_finite()
    try:
        return math.isfinite(timeout)
    except OverflowError:
        return True


def _seconds(timeout: Any) -> float:
    """A positive number of seconds as the float the event loop's clock adds. One beyond the float range
    (an int, a Decimal, a Fraction) is as long as an infinity, which no deadline can hold; one too small
    for a float stays positive rather than becoming 0.0, which the layers below read as no limit."""
    try:
        return max(float(timeout), math.ulp(0.0))
    except OverflowError:
        return math.inf


async def terminate_with_retry(
    kill: Callable[[], Awaitable[Any]],
    *,
    timeout: float,
    error_message: str,
) -> None:
    """Run a backend's teardown under ``timeout`` seconds, retrying failures.

    Args:
        kill: Coroutine function without arguments that kills the sandbox.
        timeout: Positive cap in seconds on the whole teardown; an int too
            large for a float is no cap, as an infinity.
        error_message: Template with one ``{}`` slot for the final failure.

    Raises:
        ValueError: When ``timeout`` is zero or less (or NaN).
        SandboxTerminateError: When every attempt failed or the cap passed; the
            failure is its cause and its text (or, at the cap, the cap) the
            reason in the message. The caller should keep its sandbox handle.
    """
    timeout = check_teardown_cap(timeout)
    try:
        await kill_with_retry(kill, total_timeout=timeout)
    except Exception as exc:
        # The cap's TimeoutError has no text of its own; say what happened.
        reason = str(exc) or (
            f"no success within the {timeout:g}-second cap" if isinstance(exc, TimeoutError) else type(exc).__name__
        )
        raise SandboxTerminateError(error_message.format(reason), stage=Stage.TERMINATE) from exc


# ---------------------------------------------------------------------------
# Timeouts
# ---------------------------------------------------------------------------


# The longest wait every layer below can hold: poll() and the providers' clients
# take milliseconds in a C int. A longer limit bounds nothing in practice.
MAX_TIMEOUT_SECONDS = (2**31 - 1) // 1000


def resolve_timeout(timeout: float | None, default: float = DEFAULT_EXECUTION_TIMEOUT) -> float | None:
    """Resolve a per-operation limit in seconds.

    ``None`` gives ``default``; zero or less gives ``None`` (no limit at all),
    and so does a limit beyond ``MAX_TIMEOUT_SECONDS`` (about 24.8 days), which
    no layer below could hold, however large (an int, a Decimal or a Fraction
    beyond the float range included); any other positive value is returned as
    an int when it is one, else as a float (a Decimal or a Fraction cannot be
    added to the event loop's clock), never rounded down to zero.

    Raises:
        TypeError: For a value that is not a real number (a str included).
        ValueError: For a bool, NaN or an infinity: none of them can bound a wait.
    """
    if timeout is None:
        return default
    if not isinstance(timeout, (numbers.Real, Decimal)):  # a Decimal is a number, but not a numbers.Real
        raise _not_seconds(timeout, "a number of seconds or None")
    if isinstance(timeout, bool) or not _exactly_finite(timeout):
        raise ValueError(f"timeout must be a finite number of seconds or None, got {timeout!r}")
    if timeout <= 0 or timeout > MAX_TIMEOUT_SECONDS:
        return None
    return timeout if isinstance(timeout, int) else _seconds(timeout)


def check_code(code: Any) -> None:
    """Refuse code that is not a ``str`` with ``TypeError``, before any request."""
    if not isinstance(code, str):
        raise TypeError(f"code must be a str, got {type(code).__name__}")


def resolve_sandbox_timeout(
    sandbox_timeout: float | None = None,
    *,
    legacy_timeout: float | timedelta | None = None,
    kwargs: MutableMapping[str, Any] | None = None,
    legacy_key: str = "timeout",
    default: int = DEFAULT_SANDBOX_TIMEOUT,
) -> int:
    """Resolve a sandbox's lifetime in whole seconds.

    The first value that is not ``None`` of ``sandbox_timeout``,
    ``legacy_timeout`` and the entry under ``legacy_key`` of ``kwargs`` wins,
    else ``default``. That entry is always removed from ``kwargs``, so the rest
    of the mapping can be handed on to the provider. A ``timedelta`` counts as
    its total seconds; the value is truncated to an integer.

    Raises:
        ValueError: For a value that is not a finite int or float (a bool
            included) or that truncates to zero or less.
    """
    removed = kwargs.pop(legacy_key, None) if kwargs is not None else None
    value: Any = default
    for candidate in (sandbox_timeout, legacy_timeout, removed):
        if candidate is not None:
            value = candidate
            break
    if isinstance(value, timedelta):
        value = value.total_seconds()
    message = f"sandbox timeout must be a positive number of seconds, got {value!r}"
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(message)
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(message)
    seconds = int(value)
    if seconds <= 0:
        raise ValueError(message)
    return seconds


def calculate_duration_ms(start_time: float) -> int:
    """Milliseconds elapsed on the wall clock since ``start_time`` (a ``time.time()`` reading)."""
    return int((time.time() - start_time) * 1000)


# ---------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------


def failure_reason(error: BaseException) -> str:
    """What ``error`` says went wrong, masked; its qualified type when it says nothing (a bare ``TimeoutError``)."""
    return redacted_message(error) or qualified_type(error)


def finish_result(status: ExecutionStatus, code: str, start_time: float, **fields: Any) -> ExecutionResult:
    """Record ``status`` on the current span and build the run's result, timed from ``start_time``."""
    set_current_span_attributes(**{SpanAttr.STATUS: status.value})
    return ExecutionResult.create(status=status, code=code, duration_ms=calculate_duration_ms(start_time), **fields)


def transport_failure_result(
    code: str,
    start_time: float,
    *,
    retry_safe: bool,
    error: Any,
    exception_type: str,
    stdout: str = "",
    stderr: str = "",
) -> ExecutionResult:
    """The result of a run whose transport failed, by the rule every backend shares.

    "error" with a retry-safe failure detail when the backend proved that the
    request never reached the sandbox (``retry_safe``); otherwise "unknown",
    since the code may have run.
    """
    return finish_result(
        ExecutionStatus.ERROR if retry_safe else ExecutionStatus.UNKNOWN,
        code,
        start_time,
        stdout=stdout,
        stderr=stderr,
        error=error,
        failure=FailureDetail(exception_type=exception_type, retry_safe=retry_safe),
    )


# ---------------------------------------------------------------------------
# Upload paths and package installation
# ---------------------------------------------------------------------------


def check_upload_filename(filename: str) -> None:
    """Refuse an attachment name that could write outside the upload directory.

    Sub-paths such as "tools/x.py" are fine; an empty or absolute name, a ".."
    segment or a backslash is refused with ``SandboxExecutionError`` (stage
    ``EXECUTION``) naming the file, before anything reaches the provider.
    """
    if not filename or filename.startswith("/") or "\\" in filename or ".." in filename.split("/"):
        raise SandboxExecutionError(
            f"Attachment name {filename!r} is not a safe relative path: it must not be empty or "
            "absolute and must not contain '..' segments or backslashes",
            stage=Stage.EXECUTION,
        )


def build_upload_path(filename: str, upload_dir: str | None, default_dir: str | None) -> str:
    """Destination path of one uploaded file inside the sandbox.

    The base is ``upload_dir`` when it is not ``None`` (even when empty), else
    ``default_dir``. An empty or missing base gives ``filename`` unchanged;
    otherwise the base's trailing slashes are stripped and one "/" joins it to
    ``filename``. Nothing is normalised or validated.
    """
    base = upload_dir if upload_dir is not None else default_dir
    if not base:
        return filename
    return base.rstrip("/") + "/" + filename


_INSTALLABLE_LANGUAGES = frozenset({"python", "py"})


def _normalize_language(language: str) -> str:
    lowered = language.lower()
    if lowered.startswith("python"):
        return "python"
    return lowered


def supports_automatic_install(language: str) -> bool:
    """Whether ``additional_packages`` can be installed automatically for ``language``.

    True for every name starting with "python" and for "py", in any casing.
    """
    return _normalize_language(language) in _INSTALLABLE_LANGUAGES


# Filled with str.format: {packages} and {pip_unavailable} receive source
# literals, so specifiers can never change the script's code; doubled braces
# are literal braces of the script.
_INSTALL_SCRIPT = '''\
import subprocess
import sys
import importlib
import re
import os
import site
from importlib.metadata import distribution, PackageNotFoundError

packages = {packages}


def _zib_pip(*args):
    return subprocess.run([sys.executable, "-m", "pip", *args], capture_output=True, text=True)


def _zib_marker_excludes(requirement, name, pip_output):
    # pip skips a requirement whose environment marker is false here; such a
    # requirement is not missing. Evaluate the marker with packaging (pip ships
    # a copy), else trust pip's own "Ignoring <name>:" notice.
    marker = requirement.split(";", 1)[1].strip()
    for module_name in ("packaging.markers", "pip._vendor.packaging.markers"):
        try:
            markers = importlib.import_module(module_name)
        except ImportError:
            continue
        try:
            return not markers.Marker(marker).evaluate()
        except Exception:
            break
    return ("Ignoring " + name + ":") in pip_output


if _zib_pip("--version").returncode != 0:
    raise RuntimeError({pip_unavailable}.format(sys.executable))

_zib_install = _zib_pip("install", *packages)
if _zib_install.returncode != 0:
    _zib_detail = _zib_install.stderr.strip() or _zib_install.stdout.strip()
    if not _zib_detail:
        _zib_detail = "pip install exited with status " + str(_zib_install.returncode)
    raise RuntimeError(_zib_detail[-2000:])

_zib_user_site = site.getusersitepackages() if site.ENABLE_USER_SITE else ""
if _zib_user_site and os.path.isdir(_zib_user_site):
    site.addsitedir(_zib_user_site)
importlib.invalidate_caches()

_zib_missing = []
for _zib_req in packages:
    _zib_name = re.split(r"[<>=!~\\[; ]", _zib_req, maxsplit=1)[0].strip()
    if not _zib_name or "/" in _zib_req:
        continue
    if ";" in _zib_req and _zib_marker_excludes(_zib_req, _zib_name, _zib_install.stdout):
        continue
    try:
        distribution(_zib_name)
    except PackageNotFoundError:
        _zib_missing.append(_zib_name)
if _zib_missing:
    # What the check cannot see, it cannot tell from what pip did not install: say where it looked.
    raise RuntimeError(
        "pip reported success, but importlib.metadata finds no distribution " + repr(_zib_missing)
        + " on the import path of " + sys.executable + ": " + repr(sys.path)
    )
'''


def check_additional_packages(packages: Any) -> None:
    """Refuse a package list that could never be installed as written.

    Called before anything remote exists, so that a bad list costs no sandbox.

    Raises:
        TypeError: For a single string (it would be installed character by
            character) or an entry that is not a string.
        ValueError: For an entry starting with "-": a pip option, not a package.
    """
    if isinstance(packages, str):
        raise TypeError(
            f"`additional_packages` must be a list of requirement strings, not the single string {packages!r}"
        )
    for entry in packages or ():
        if not isinstance(entry, str):
            raise TypeError(f"`additional_packages` entries must be strings, got {entry!r}")
        if entry.lstrip().startswith("-"):
            raise ValueError(f"`additional_packages` entry {entry!r} is a pip option, not a package requirement")


def get_install_code(language: str, packages: list[str]) -> str:
    """Return Python source that installs ``packages`` with the sandbox interpreter's pip.

    The source is meant to be run through ``execute_code``. It raises
    ``RuntimeError`` inside the sandbox when pip is missing, when the install
    fails (with the last 2000 characters of pip's output) and when a named
    distribution is not found on the interpreter's import path after pip
    reported success (the message names that path).

    Raises:
        ValueError: When ``language`` has no automatic installer, or when an
            entry starts with "-" (a pip option, not a package).
        TypeError: When an entry is not a string.
    """
    if not supports_automatic_install(language):
        raise ValueError(PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE.format(language, language))
    check_additional_packages(packages)
    return _INSTALL_SCRIPT.format(
        packages=repr(list(packages)),
        pip_unavailable=repr(PackageInstallErrorMessage.PIP_UNAVAILABLE),
    )


# ---------------------------------------------------------------------------
# Bounded output
# ---------------------------------------------------------------------------

# The budget and its notice live in the native kernel; 262144 characters
# (256 * 1024). The notice must be the sink's own: ``render`` cuts it off the
# sink's rendering by its length.
_MAX_STREAMED_OUTPUT_CHARS: int = _native.MAX_STREAMED_OUTPUT_CHARS
_OUTPUT_TRUNCATED: str = _native.OUTPUT_TRUNCATED


class StreamedOutput:
    """What one run has streamed so far, and whether its failure may be retried.

    The one record every backend keeps per run. Feed it each chunk with
    ``record`` as the provider delivers it, before the chunk goes to a caller's
    callback. A chunk may hold several lines or stop in the middle of one;
    ``render`` reads exactly like the chunks joined as long as the stream has
    printed at most 256K characters. Beyond that it opens with the truncation
    notice and keeps at most 256K characters of the newest output: the newest
    whole lines (``BoundedOutputSink``) and then the unfinished last line,
    except that a last line longer than the bound keeps only its newest
    characters. The record stays within a few times the bound while a run
    streams, whatever the shape of its output (no line breaks at all, ``\\r``
    progress bars, one enormous chunk).

    ``seen`` turns true with the first chunk on either stream, empty or not.
    ``retry_safe`` is the shared rule: a failed run may be sent again only when
    nothing streamed and the backend's ``never_sent`` proves the request never
    reached the sandbox. Because ``record`` runs before the callback, an
    exception raised by a caller's callback is never retry safe.
    """

    __slots__ = ("_sinks", "_pending", "_pending_cost", "_clipped", "_has_lines", "seen")

    # What one held piece costs beyond its characters (about a str object's
    # header), so that a run of tiny pieces is cut back by the memory it takes.
    _PIECE_COST = 64

    def __init__(self) -> None:
        self._sinks = {"stdout": BoundedOutputSink(), "stderr": BoundedOutputSink()}
        # The unfinished line as its pieces: joined once its line break comes,
        # so a run printing many small pieces without one stays linear.
        self._pending: dict[str, list[str]] = {"stdout": [], "stderr": []}
        self._pending_cost = {"stdout": 0, "stderr": 0}
        # Text was dropped outside the sink's own eviction (a line cut to its end).
        self._clipped = {"stdout": False, "stderr": False}
        self._has_lines = {"stdout": False, "stderr": False}
        self.seen = False

    def record(self, stream: str, chunk: str) -> None:
        """Record one chunk of ``stream`` ("stdout" or "stderr")."""
        self.seen = True
        limit = _MAX_STREAMED_OUTPUT_CHARS
        if len(chunk) > limit:
            # A rendering is decided by the last limit + 1 characters alone (they
            # tell whether its first line starts at a line break, and being over
            # the bound they bring the notice), so the stream starts afresh from
            # them and the rest of the chunk is never split.
            self._sinks[stream] = BoundedOutputSink()
            self._pending[stream] = []
            self._pending_cost[stream] = 0
            self._has_lines[stream] = False
            chunk = chunk[-(limit + 1) :]
        pieces = self._pending[stream]
        if "\n" not in chunk:
            if chunk:
                pieces.append(chunk)
                held = self._pending_cost[stream] + len(chunk) + self._PIECE_COST
                if held > 2 * limit:
                    # Cut back only at twice the bound, so that each cut is paid
                    # for by at least the bound's worth of new pieces.
                    joined = "".join(pieces)
                    if len(joined) > limit:
                        joined = joined[-limit:]
                        self._clipped[stream] = True
                    pieces[:] = [joined]
                    held = len(joined) + self._PIECE_COST
                self._pending_cost[stream] = held
            return
        first, *lines, rest = chunk.split("\n")
        pieces.append(first)
        line = "".join(pieces)
        if len(line) >= limit:
            # The sink would keep such a line whole however long it is: keep
            # only its newest characters, as many as one line may cost.
            line = line[-(limit - 1) :]
            self._clipped[stream] = True
        sink = self._sinks[stream]
        sink.append(line)
        # The chunk is at most limit + 1 characters here, so a line between two
        # of its line breaks fits the bound already.
        for complete in lines:
            sink.append(complete)
        self._has_lines[stream] = True
        self._pending[stream] = [rest] if rest else []
        self._pending_cost[stream] = len(rest)

    def relay(self, stream: str, chunk: str, forward: Callable[[str], Any] | None) -> None:
        """Record one chunk of ``stream``, then hand it to ``forward`` less its trailing line feeds."""
        self.record(stream, chunk)
        if forward is not None:
            forward(chunk.rstrip("\n"))

    def render(self, stream: str) -> str:
        """The retained output of ``stream`` as printed, after the truncation notice when any was dropped."""
        limit = _MAX_STREAMED_OUTPUT_CHARS
        text = "".join(self._pending[stream])
        clipped = self._clipped[stream]
        if len(text) > limit:
            text = text[-limit:]
            clipped = True
        if self._has_lines[stream]:
            sink = self._sinks[stream]
            body = sink.render()
            if sink._truncated:
                body = body[len(_OUTPUT_TRUNCATED) + 1 :]
                clipped = True
            text = body + "\n" + text
            excess = len(text) - limit
            if excess > 0:
                # The sink's lines fit the bound on their own; with the
                # unfinished line after them the oldest go, whole. The unfinished
                # line is within the bound, so a line break is always found.
                text = text[text.find("\n", excess - 1) + 1 :]
                clipped = True
        return _OUTPUT_TRUNCATED + "\n" + text if clipped else text

    def retry_safe(self, error: BaseException, never_sent: Callable[[BaseException], bool]) -> bool:
        """Whether the failed run may be sent again.

        True only when nothing has streamed and ``never_sent`` (the backend's
        judgement of its transport failures) proves the request never reached
        the sandbox.
        """
        return not self.seen and never_sent(error)


# ---------------------------------------------------------------------------
# Callers' output callbacks
# ---------------------------------------------------------------------------

_CALLBACK_FAILED = "The {} callback raised {}: {} (the code ran to the end; its output is in the result)"


class GuardedCallback:
    """A caller's output callback that cannot cut the run short.

    A provider's SDK may abort the run when a handler raises (stopping the
    code midway) or swallow the exception (reporting a clean success); so the
    first exception is kept instead, no later line is handed to that
    callback, and ``with_callback_failures`` makes the result report it.
    """

    __slots__ = ("name", "callback", "error")

    def __init__(self, name: str, callback: Callable[[str], Any]) -> None:
        self.name, self.callback = name, callback
        self.error: Exception | None = None

    @classmethod
    def wrap(cls, name: str, callback: Callable[[str], Any] | None) -> "GuardedCallback | None":
        return None if callback is None else cls(name, callback)

    def __call__(self, line: str) -> None:
        if self.error is not None:
            return
        try:
            self.callback(line)
        except Exception as exc:
            self.error = exc


def with_callback_failures(result: ExecutionResult, callbacks: list["GuardedCallback | None"]) -> ExecutionResult:
    """``result``, turned into an "error" naming the first callback that raised, if one did.

    The code ran, so the result is never retry safe; its output is kept.
    """
    failed = next((cb for cb in callbacks if cb is not None and cb.error is not None), None)
    if failed is None:
        return result
    exc = failed.error
    assert exc is not None
    note = _CALLBACK_FAILED.format(failed.name, qualified_type(exc), redacted_message(exc))
    set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.ERROR.value})
    return ExecutionResult.create(
        status=ExecutionStatus.ERROR,
        code=result.code,
        stdout=result.stdout,
        stderr=result.stderr,
        error=f"{result.error} {note}" if result.error else note,
        duration_ms=result.duration_ms,
        failure=FailureDetail(exception_type=qualified_type(exc), retry_safe=False),
    )
