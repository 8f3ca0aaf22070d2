"""Retries, the shielded rollback (on a real event loop), timeouts, upload paths and the installer's pure parts."""

import asyncio
import decimal
import errno
import gc
import inspect
import logging
import math
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction

import pytest

from vorn_tools.code_interpreter.code_sandbox import base_sandbox, utils
from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.utils import build_upload_path, check_teardown_cap, create_with_retry
from vorn_tools.code_interpreter.code_sandbox.utils import get_install_code
from vorn_tools.code_interpreter.code_sandbox.utils import resolve_sandbox_timeout, resolve_timeout
from vorn_tools.code_interpreter.code_sandbox.utils import supports_automatic_install, terminate_with_retry
from vorn_tools.code_interpreter.errors import SandboxTerminateError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

TRANSIENT = BaseSandbox._is_transient_create_error


@pytest.fixture
def pauses(monkeypatch):
    """Record every pause the retry loop takes, yielding to the loop instead of waiting."""
    recorded = []

    async def pause(delay):
        recorded.append(delay)
        await asyncio.sleep(0)

    monkeypatch.setattr(utils, "_pause", pause)  # not asyncio.sleep: background threads use that
    return recorded


def _script(*outcomes):
    async def operation():  # plays one outcome per call
        operation.calls += 1
        if isinstance(outcome := outcomes[operation.calls - 1], BaseException):
            raise outcome
        return outcome

    operation.calls = 0
    return operation


class _Teardown:  # a teardown whose progress a test can observe and release
    def __init__(self, error=None):
        self.release, self.started, self.finished, self.error = asyncio.Event(), asyncio.Event(), asyncio.Event(), error

    async def __call__(self):
        self.started.set()
        await self.release.wait()
        self.finished.set()
        if self.error is not None:
            raise self.error


def _chain(outer, cause=None, context=None):
    outer.__context__ = context or cause
    if cause is not None:  # setting __cause__, even to None, would suppress the context
        outer.__cause__ = cause
    return outer


# A teardown that cancels itself is just a failed teardown, not the caller's cancellation.
@pytest.mark.parametrize(
    ("cap", "error"),
    [(None, None), (None, RuntimeError("kill failed")), (None, asyncio.CancelledError()), (0.05, None), (0, RuntimeError("late"))],
)
async def test_rollback_waits_up_to_its_cap_and_never_reports(caplog, cap, error):
    teardown, before = _Teardown(error), set(base_sandbox._BACKGROUND_TEARDOWNS)
    rollback = asyncio.create_task(BaseSandbox._shielded_rollback(teardown(), timeout=cap))
    await asyncio.wait_for(teardown.started.wait(), 5)
    if cap is None:
        await asyncio.sleep(0.05)
        assert not rollback.done()  # no cap: the caller waits however long it takes
    else:
        await asyncio.wait_for(rollback, 5)  # released at the cap; the teardown runs on
        gc.collect()
    (held,) = base_sandbox._BACKGROUND_TEARDOWNS - before  # strongly referenced while it runs
    teardown.release.set()
    await asyncio.wait({held, rollback}, timeout=5)  # not awaited: that would retrieve its failure
    assert rollback.result() is None and teardown.finished.is_set() and held not in base_sandbox._BACKGROUND_TEARDOWNS
    del held
    gc.collect()  # a failure nobody retrieved would be logged, traceback and all, right here
    assert caplog.records == []


@pytest.mark.parametrize(
    ("outcomes", "attempts", "judged", "logged"),
    [
        (["sandbox"], 3, 0, []),
        # The predicate judges one link (the wrapper, then its cause); OSError maps ECONNREFUSED to a ConnectionError.
        ([_chain(RuntimeError("wrapped start"), TimeoutError()), "sandbox"], 3, 2, ["1/3 after: wrapped start"]),
        ([OSError(errno.ECONNREFUSED, "x"), "sandbox"], 3, 1, ["1/3 after: [Errno 111] x"]),
        ([TimeoutError("t0"), TimeoutError("t1"), TimeoutError("t2")], 3, 2, ["1/3 after: t0", "2/3 after: t1"]),
        # Raised unchanged at once: transient only as implicit context, not transient, the
        # last attempt (which never consults the predicate), not an Exception at all.
        ([_chain(RuntimeError("outer"), context=TimeoutError()), "never"], 3, 1, []),
        ([ValueError("bad credentials"), "never"], 3, 1, []),
        ([OSError(errno.ENOENT, "x"), "never"], 3, 1, []),
        ([TimeoutError("last attempt"), "never"], 1, 0, []),
        ([asyncio.CancelledError(), "never"], 3, 0, []),
    ],
)
async def test_only_transient_failures_are_retried_after_a_fixed_pause(pauses, caplog, outcomes, attempts, judged, logged):
    caplog.set_level(logging.INFO, logger=utils.__name__)
    op, seen = _script(*outcomes), []
    try:
        result = await create_with_retry(op, is_transient=lambda e: seen.append(e) or TRANSIENT(e), attempts=attempts,
                                         backoff=0.25)
    except BaseException as exc:  # noqa: BLE001 - the failure itself is the result here
        result = exc
    calls = len(logged) + 1
    assert (result, op.calls, len(seen)) == (outcomes[calls - 1], calls, judged)  # the last failure unchanged
    assert pauses == [0.25] * len(logged)  # fixed, not growing
    assert [r.getMessage() for r in caplog.records if r.name == utils.__name__] == [
        "Sandbox operation retry " + text for text in logged]


async def test_teardown_retries_every_failure_then_wraps_the_last_or_the_cap(pauses):
    register_secret("tok-terminate-secret-42")
    failures = [ValueError("odd"), KeyError("odder"), ConnectionError("refused tok-terminate-secret-42")]
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(_script(*failures), timeout=1, error_message="Failed to terminate: {}")
    assert (str(info.value), info.value.stage) == ("Failed to terminate: refused [SECRET]", Stage.TERMINATE)
    assert info.value.__cause__ is failures[2] and pauses == [pytest.approx(1 / 6)] * 2  # pauses fitted to the cap
    with pytest.raises(SandboxTerminateError, match=r"^Failed: no success within the 0\.05-second cap$") as info:
        await terminate_with_retry(asyncio.Event().wait, timeout=0.05, error_message="Failed: {}")
    assert isinstance(info.value.__cause__, TimeoutError)


@pytest.mark.parametrize(("value", "expected"), [(None, 30), (0, None), (-1, None), (0.5, 0.5), (float("nan"), "nan"),
                                                 (True, "True"), (float("inf"), "inf"), (10**400, None), (-(10**400), None),
                                                 (2_147_483, 2_147_483), (2_147_484, None), (1e15, None),
                                                 ("5", TypeError), (Decimal("2.5"), 2.5), (Fraction(1, 4), 0.25),
                                                 (Decimal("1e400"), None), (Fraction(10**400), None),
                                                 (Decimal("NaN"), "Decimal"), (Decimal("sNaN"), "Decimal"),
                                                 # Too small for a float, yet a limit: never 0.0, which reads as none.
                                                 (Decimal("1e-400"), 5e-324), (Fraction(1, 10**400), 5e-324)])  # fmt: skip
def test_resolve_timeout(value, expected):
    if expected is TypeError:
        with pytest.raises(TypeError, match=r"^timeout must be a number of seconds or None, got str$"):
            resolve_timeout(value)
    elif isinstance(expected, str):  # none of these can bound a wait
        with pytest.raises(ValueError, match=r"^timeout must be a finite number of seconds or None, got " + expected):
            resolve_timeout(value)
    else:  # an int stays one; any other number becomes a float, which the event loop's clock adds
        resolved = resolve_timeout(value)
        assert (resolved, type(resolved)) == (expected, type(expected))


def test_a_decimal_limit_under_a_strict_context_and_a_tiny_teardown_cap():
    # A context trapping FloatOperation refuses any comparison of a Decimal with a float.
    with decimal.localcontext() as strict:
        strict.traps[decimal.FloatOperation] = True
        assert (resolve_timeout(Decimal("5")), check_teardown_cap(Decimal("5"))) == (5.0, 5.0)
        with pytest.raises(ValueError, match="finite"):
            resolve_timeout(Decimal("Infinity"))
    assert [check_teardown_cap(v) for v in (Decimal("1e-400"), Fraction(1, 10**400), 10**400)] == [5e-324, 5e-324, math.inf]


@pytest.mark.parametrize(
    ("args", "kwargs", "expected", "left"),
    [((1.9,), {}, 1, None), ((None,), {"legacy_timeout": timedelta(minutes=5)}, 300, None),
     ((), {"kwargs": {"session_timeout": 90, "timeout": 5}, "legacy_key": "session_timeout"}, 90, {"timeout": 5}),
     # Refused, the legacy key consumed all the same; 0 is a given value, not an absent one.
     ((0,), {"legacy_timeout": 60, "kwargs": {"timeout": 1, "x": 1}}, "0", {"x": 1}),
     ((), {"legacy_timeout": timedelta(milliseconds=500)}, "0.5", None), ((True,), {}, "True", None),
     (("60",), {}, "'60'", None), ((float("inf"),), {}, "inf", None)],
)  # fmt: skip
def test_resolve_sandbox_timeout(args, kwargs, expected, left):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=f"^sandbox timeout must be a positive number of seconds, got {expected}$"):
            resolve_sandbox_timeout(*args, **kwargs)
    else:
        assert resolve_sandbox_timeout(*args, **kwargs) == expected
    assert left is None or kwargs["kwargs"] == left


def test_upload_paths_and_installable_languages():
    cases = [(None, "/files"), ("/data///", "/files"), ("", "/files"), (None, None)]
    assert [build_upload_path("a.csv", *case) for case in cases] == ["/files/a.csv", "/data/a.csv", "a.csv", "a.csv"]
    names = ["Python3", "python3.9", "Py", "pypy", " python"]
    assert [supports_automatic_install(name) for name in names] == [True, True, True, False, False]


_NAN = float("nan")


@pytest.mark.parametrize(
    ("call", "error", "named"),
    [(lambda: get_install_code("JavaScript", ["left-pad"]), ValueError, "'JavaScript'"),
     (lambda: get_install_code("python", ["numpy", 3]), TypeError, "3"),
     (lambda: get_install_code("python", ["numpy", "--index-url=https://evil.example/simple"]), ValueError, "'--index-url=https://evil"),
     (lambda: get_install_code("python", ["  -e ."]), ValueError, "'  -e .'"),  # a pip option, not a package
     (lambda: get_install_code("python", "numpy"), TypeError, "single string 'numpy'"),
     # NaN caps and pauses, refused before any attempt (the script has none to play).
     (lambda: create_with_retry(_script(), is_transient=TRANSIENT, total_timeout=_NAN), ValueError, "must be positive"),
     (lambda: create_with_retry(_script(), is_transient=TRANSIENT, backoff=_NAN), ValueError, "must be non-negative"),
     (lambda: terminate_with_retry(_script(), timeout=_NAN, error_message="{}"), ValueError, "must be positive")],
)  # fmt: skip
async def test_refusals_name_what_is_wrong(call, error, named):
    with pytest.raises(error) as info:
        outcome = call()
        await outcome if inspect.isawaitable(outcome) else None
    assert named in str(info.value)
