"""Creation and teardown: the transient predicate, shielded rollback and retries, on a real event loop."""

import asyncio
import errno
import gc
import logging

import pytest

from vorn_tools.code_interpreter.code_sandbox import base_sandbox, utils
from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.utils import create_with_retry, kill_with_retry, terminate_with_retry
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


class _Operation:
    """An operation that plays a script of outcomes, one per call."""

    def __init__(self, *outcomes):
        self.outcomes, self.calls = list(outcomes), 0

    async def __call__(self):
        self.calls += 1
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


class _Teardown:
    """A teardown coroutine function whose progress a test can observe and release."""

    def __init__(self, error=None):
        self.release, self.started, self.finished = asyncio.Event(), asyncio.Event(), asyncio.Event()
        self.error = error

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


def test_is_transient_create_error_judges_one_exception():
    # OSError maps ECONNREFUSED to ConnectionRefusedError; callers walk the chain themselves.
    judged = [TimeoutError(), OSError(errno.ECONNREFUSED, "x"), OSError(errno.ENOENT, "x"), asyncio.CancelledError(),
              _chain(RuntimeError("wrapped"), TimeoutError())]  # fmt: skip
    assert [TRANSIENT(exc) for exc in judged] == [True, True, False, False, False]


# A teardown that cancels itself is just a failed teardown, not the caller's cancellation.
@pytest.mark.parametrize("error", [None, RuntimeError("kill failed"), asyncio.CancelledError()])
async def test_rollback_waits_for_teardown_and_swallows_its_failure(caplog, error):
    teardown = _Teardown(error)
    rollback = asyncio.create_task(BaseSandbox._shielded_rollback(teardown(), timeout=None))
    await asyncio.wait_for(teardown.started.wait(), 5)
    await asyncio.sleep(0.05)
    assert not rollback.done()  # no cap: the caller waits however long it takes
    teardown.release.set()
    assert await asyncio.wait_for(rollback, 5) is None
    assert teardown.finished.is_set() and caplog.records == []


@pytest.mark.parametrize(("cap", "error"), [(0.05, None), (0, RuntimeError("late failure"))])
async def test_rollback_cap_releases_caller_but_teardown_completes(caplog, cap, error):
    teardown = _Teardown(error)
    before = set(base_sandbox._BACKGROUND_TEARDOWNS)
    await BaseSandbox._shielded_rollback(teardown(), timeout=cap)
    gc.collect()
    (held,) = base_sandbox._BACKGROUND_TEARDOWNS - before  # strongly referenced while it runs
    assert not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait({held}, timeout=5)  # not awaited: that would retrieve its failure
    assert teardown.finished.is_set() and held not in base_sandbox._BACKGROUND_TEARDOWNS
    del held
    gc.collect()  # a failure nobody retrieved would be logged, traceback and all, right here
    assert caplog.records == []


@pytest.mark.parametrize(
    ("outcomes", "backoff", "logged"),
    [
        (["sandbox"], 2.0, []),
        ([_chain(RuntimeError("wrapped start"), TimeoutError()), "sandbox"], 2.0, ["1/3 after: wrapped start"]),
        ([TimeoutError("t0"), TimeoutError("t1"), TimeoutError("t2")], 0.25, ["1/3 after: t0", "2/3 after: t1"]),
    ],
    ids=["first-success", "transient-cause", "three-transient-failures"],
)
async def test_transient_failures_are_retried_after_a_fixed_pause(pauses, caplog, outcomes, backoff, logged):
    caplog.set_level(logging.INFO, logger=utils.__name__)
    op = _Operation(*outcomes)
    (result,) = await asyncio.gather(create_with_retry(op, is_transient=TRANSIENT, backoff=backoff), return_exceptions=True)
    assert result is outcomes[-1]  # the sandbox, or the last failure unchanged
    assert op.calls == len(outcomes) and pauses == [backoff] * len(logged)  # fixed, not growing
    messages = [r.getMessage() for r in caplog.records if r.name == utils.__name__]
    assert messages == ["Sandbox operation retry " + text for text in logged]


@pytest.mark.parametrize(
    ("failure", "attempts", "judged"),
    [
        (_chain(RuntimeError("outer"), context=TimeoutError()), 3, 1),  # transient only as implicit context
        (ValueError("bad credentials"), 3, 1),
        (TimeoutError("last attempt"), 1, 0),  # the last attempt never consults the predicate
        (asyncio.CancelledError(), 3, 0),  # not an Exception: passes straight through
    ],
)
async def test_failure_raised_unchanged_without_retry(pauses, failure, attempts, judged):
    seen = []
    op = _Operation(failure, "never")
    with pytest.raises(type(failure)) as info:
        await create_with_retry(op, is_transient=lambda e: seen.append(e) or TRANSIENT(e), attempts=attempts)
    assert (info.value, op.calls, len(seen), pauses) == (failure, 1, judged, [])


async def test_nan_caps_are_refused_before_any_attempt():
    op = _Operation("never")
    for call in (create_with_retry(op, is_transient=TRANSIENT, total_timeout=float("nan")),
                 terminate_with_retry(op, timeout=float("nan"), error_message="{}")):  # fmt: skip
        with pytest.raises(ValueError, match="must be positive"):
            await call
    assert op.calls == 0


async def test_total_cap_cancels_the_attempt_in_flight():
    cancelled = asyncio.Event()

    async def hanging_create():
        try:
            await asyncio.Event().wait()
        finally:
            cancelled.set()

    with pytest.raises(TimeoutError):
        await create_with_retry(hanging_create, is_transient=lambda e: True, total_timeout=0.05)
    assert cancelled.is_set()


async def test_cap_during_rollback_propagates_and_creates_nothing_new():
    # The total cap passes while a failed attempt rolls back: TimeoutError at
    # once, no further sandbox created, and the half-built one still torn down.
    teardown, created = _Teardown(), []

    async def create_once():
        created.append(1)
        try:
            raise ConnectionError("half built")
        except ConnectionError:
            await BaseSandbox._shielded_rollback(teardown())
            raise

    with pytest.raises(TimeoutError):
        await create_with_retry(create_once, is_transient=lambda e: True, backoff=0, total_timeout=0.05)
    assert created == [1] and not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)


async def test_kill_retries_every_failure_with_a_pause_fitted_to_the_cap(pauses):
    op = _Operation(ValueError("odd"), KeyError("odder"), None)
    assert await kill_with_retry(op, total_timeout=1) is None
    assert op.calls == 3 and pauses == [pytest.approx(1 / 6)] * 2


async def test_terminate_wraps_the_last_failure_or_the_cap(pauses):
    register_secret("tok-terminate-secret-42")
    failures = [ConnectionError(f"refused {i} tok-terminate-secret-42") for i in range(3)]
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(_Operation(*failures), timeout=3, error_message="Failed to terminate E2B sandbox: {}")
    assert str(info.value) == "Failed to terminate E2B sandbox: refused 2 [SECRET]"
    assert info.value.stage == Stage.TERMINATE and info.value.__cause__ is failures[2]
    assert pauses == [0.5, 0.5]
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(asyncio.Event().wait, timeout=0.05, error_message="Failed: {}")
    assert isinstance(info.value.__cause__, TimeoutError)
