"""Creation and teardown retries, run on a real event loop."""

import asyncio
import logging

import pytest

from vorn_tools.code_interpreter.code_sandbox import utils
from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.utils import (
    create_with_retry,
    kill_with_retry,
    terminate_with_retry,
)
from vorn_tools.code_interpreter.errors import SandboxTerminateError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

UTILS_LOGGER = "vorn_tools.code_interpreter.code_sandbox.utils"


@pytest.fixture
def pauses(monkeypatch):
    """Record every pause the retry loop takes, without waiting for it."""
    recorded = []
    real_sleep = asyncio.sleep

    async def fake_sleep(delay, *args, **kwargs):
        recorded.append(delay)
        await real_sleep(0)

    monkeypatch.setattr(utils.asyncio, "sleep", fake_sleep)
    return recorded


class _Operation:
    """An operation that plays a script of outcomes, one per call."""

    def __init__(self, *outcomes):
        self.outcomes = list(outcomes)
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


def _caused_by(outer, cause):
    outer.__cause__ = cause
    return outer


def _retry_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == UTILS_LOGGER]


async def test_first_success_needs_no_log_or_pause(pauses, caplog):
    op = _Operation("sandbox")
    assert await create_with_retry(op, is_transient=lambda e: True) == "sandbox"
    assert (op.calls, pauses, _retry_messages(caplog)) == (1, [], [])


async def test_transient_cause_is_retried_after_a_fixed_pause(pauses, caplog):
    op = _Operation(_caused_by(RuntimeError("wrapped start"), TimeoutError("pull slow")), "sandbox")
    with caplog.at_level(logging.INFO, logger=UTILS_LOGGER):
        result = await create_with_retry(op, is_transient=BaseSandbox._is_transient_create_error)
    assert result == "sandbox" and op.calls == 2
    assert pauses == [2.0]
    assert _retry_messages(caplog) == ["Sandbox operation retry 1/3 after: wrapped start"]
    assert caplog.records[-1].levelno == logging.INFO


async def test_three_transient_failures_raise_the_last_one(pauses, caplog):
    failures = [TimeoutError(f"t{i}") for i in range(3)]
    op = _Operation(*failures)
    with caplog.at_level(logging.INFO, logger=UTILS_LOGGER):
        with pytest.raises(TimeoutError) as info:
            await create_with_retry(op, is_transient=BaseSandbox._is_transient_create_error, backoff=0.25)
    assert info.value is failures[2]
    assert pauses == [0.25, 0.25]  # fixed, not growing
    assert _retry_messages(caplog) == [
        "Sandbox operation retry 1/3 after: t0",
        "Sandbox operation retry 2/3 after: t1",
    ]


async def test_implicit_context_is_not_followed(pauses):
    try:
        try:
            raise TimeoutError("inner")
        except TimeoutError:
            raise RuntimeError("outer")  # context only, no explicit cause
    except RuntimeError as exc:
        failure = exc
    op = _Operation(failure, "never")
    with pytest.raises(RuntimeError) as info:
        await create_with_retry(op, is_transient=BaseSandbox._is_transient_create_error)
    assert info.value is failure and op.calls == 1 and pauses == []


async def test_predicate_sees_each_link_and_stops_at_first_accepted(pauses):
    root = ConnectionError("root")
    middle = _caused_by(ValueError("middle"), root)
    top = _caused_by(RuntimeError("top"), middle)
    seen = []

    def predicate(exc):
        seen.append(exc)
        return exc is middle

    op = _Operation(top, "ok")
    assert await create_with_retry(op, is_transient=predicate, backoff=0) == "ok"
    assert seen == [top, middle]


async def test_looping_cause_chain_terminates(pauses):
    a, b = RuntimeError("a"), RuntimeError("b")
    a.__cause__, b.__cause__ = b, a
    op = _Operation(a)
    with pytest.raises(RuntimeError):
        await create_with_retry(op, is_transient=lambda e: False)


async def test_single_attempt_never_consults_the_predicate(pauses):
    def predicate(exc):
        raise AssertionError("must not be called")

    with pytest.raises(TimeoutError):
        await create_with_retry(_Operation(TimeoutError()), is_transient=predicate, attempts=1)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"attempts": 0}, "`attempts` must be at least 1"),
        ({"backoff": -1}, "`backoff` must be non-negative"),
        ({"total_timeout": 0}, "`total_timeout` must be positive"),
        ({"total_timeout": float("nan")}, "`total_timeout` must be positive"),
        ({"attempts": 0, "backoff": -1, "total_timeout": 0}, "`attempts` must be at least 1"),
    ],
)
async def test_arguments_are_checked_before_any_attempt(kwargs, message):
    op = _Operation("never")
    with pytest.raises(ValueError) as info:
        await create_with_retry(op, is_transient=lambda e: True, **kwargs)
    assert str(info.value) == message and op.calls == 0


async def test_cancellation_is_never_retried(pauses):
    op = _Operation(asyncio.CancelledError(), "never")
    with pytest.raises(asyncio.CancelledError):
        await create_with_retry(op, is_transient=lambda e: True)
    assert op.calls == 1


async def test_total_cap_cancels_the_attempt_in_flight():
    calls, cancelled = [], asyncio.Event()

    async def hanging_create():
        calls.append(1)
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            cancelled.set()
            raise

    with pytest.raises(TimeoutError):
        await create_with_retry(hanging_create, is_transient=lambda e: True, total_timeout=0.05)
    assert cancelled.is_set() and calls == [1]


async def test_cap_during_rollback_propagates_and_creates_nothing_new():
    """A failed attempt rolling back when the total cap passes: the caller gets
    TimeoutError at once, no further sandbox is created, and the teardown of the
    half-built one still completes."""
    created, release, torn_down = [], asyncio.Event(), asyncio.Event()

    async def teardown():
        await release.wait()
        torn_down.set()

    async def create_once():
        created.append(1)
        try:
            raise ConnectionError("half built")
        except ConnectionError:
            await BaseSandbox._shielded_rollback(teardown())
            raise

    with pytest.raises(TimeoutError):
        await create_with_retry(create_once, is_transient=lambda e: True, backoff=0, total_timeout=0.05)
    assert created == [1]
    assert not torn_down.is_set()
    release.set()
    await asyncio.wait_for(torn_down.wait(), 5)


async def test_kill_retries_every_failure_with_a_pause_fitted_to_the_cap(pauses):
    op = _Operation(ValueError("odd"), KeyError("odder"), None)
    assert await kill_with_retry(op, total_timeout=1) is None
    assert op.calls == 3
    assert pauses == [pytest.approx(1 / 6)] * 2


async def test_kill_default_pause_and_last_failure(pauses):
    failures = [RuntimeError(str(i)) for i in range(3)]
    with pytest.raises(RuntimeError) as info:
        await kill_with_retry(_Operation(*failures))
    assert info.value is failures[2] and pauses == [0.5, 0.5]


async def test_kill_refuses_a_non_positive_cap():
    with pytest.raises(ValueError, match="^`total_timeout` must be positive$"):
        await kill_with_retry(_Operation(None), total_timeout=0)


async def test_terminate_wraps_the_last_failure(pauses):
    register_secret("tok-terminate-secret-42")
    failures = [ConnectionError(f"refused {i} tok-terminate-secret-42") for i in range(3)]
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(
            _Operation(*failures), timeout=3, error_message="Failed to terminate E2B sandbox: {}"
        )
    error = info.value
    assert str(error) == "Failed to terminate E2B sandbox: refused 2 [SECRET]"
    assert error.stage == Stage.TERMINATE and error.__cause__ is failures[2]
    assert pauses == [0.5, 0.5]


async def test_terminate_wraps_the_cap():
    async def hang():
        await asyncio.Event().wait()

    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(hang, timeout=0.05, error_message="Failed to terminate OpenSandbox: {}")
    assert isinstance(info.value.__cause__, TimeoutError)
    assert str(info.value).startswith("Failed to terminate OpenSandbox: ")


async def test_terminate_refuses_non_positive_timeout_before_killing():
    op = _Operation(None)
    with pytest.raises(ValueError, match="^`timeout` must be positive$"):
        await terminate_with_retry(op, timeout=0, error_message="{}")
    assert op.calls == 0


async def test_terminate_does_not_wrap_cancellation():
    with pytest.raises(asyncio.CancelledError):
        await terminate_with_retry(_Operation(asyncio.CancelledError()), timeout=1, error_message="{}")
