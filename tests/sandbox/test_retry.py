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
        ([_chain(RuntimeError("wrapped start"), TimeoutError()), "sandbox"], 3, 2, ["1/3 after: wrapped start"]),
        ([TimeoutError("t0"), TimeoutError("t1"), TimeoutError("t2")], 3, 2, ["1/3 after: t0", "2/3 after: t1"]),
        # Raised unchanged at once: transient only as implicit context, not transient, the
        # last attempt (which never consults the predicate), not an Exception at all.
        ([_chain(RuntimeError("outer"), context=TimeoutError()), "never"], 3, 1, []),
        ([ValueError("bad credentials"), "never"], 3, 1, []),
        ([TimeoutError("last attempt"), "never"], 1, 0, []),
        ([asyncio.CancelledError(), "never"], 3, 0, []),
    ],
)
async def test_only_transient_failures_are_retried_after_a_fixed_pause(pauses, caplog, outcomes, attempts, judged, logged):
    caplog.set_level(logging.INFO, logger=utils.__name__)
    op, seen = _Operation(*outcomes), []
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
