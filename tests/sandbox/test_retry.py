"""Creation and teardown retries, run on a real event loop."""

import asyncio
import logging
from functools import partial

import pytest

from vorn_tools.code_interpreter.code_sandbox import utils
from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.utils import create_with_retry, kill_with_retry, terminate_with_retry
from vorn_tools.code_interpreter.errors import SandboxTerminateError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

UTILS_LOGGER = "vorn_tools.code_interpreter.code_sandbox.utils"
TRANSIENT = BaseSandbox._is_transient_create_error


@pytest.fixture
def pauses(monkeypatch):
    """Record every pause the retry loop takes, yielding to the loop instead of waiting."""
    recorded, real_sleep = [], asyncio.sleep

    async def fake_sleep(delay, *args, **kwargs):
        recorded.append(delay)
        await real_sleep(0)

    monkeypatch.setattr(utils.asyncio, "sleep", fake_sleep)
    return recorded


@pytest.fixture
def retry_log(caplog):
    caplog.set_level(logging.DEBUG, logger=UTILS_LOGGER)
    return lambda: [(r.levelno, r.getMessage()) for r in caplog.records if r.name == UTILS_LOGGER]


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


def _caused_by(outer, cause):
    outer.__cause__ = cause
    return outer


def _implicit_context_only():
    try:
        try:
            raise TimeoutError("inner")
        except TimeoutError:
            raise RuntimeError("outer")  # context only, no explicit cause
    except RuntimeError as exc:
        return exc


_T0, _T1, _T2 = (TimeoutError(f"t{i}") for i in range(3))


@pytest.mark.parametrize(
    ("outcomes", "backoff", "logged"),
    [
        (["sandbox"], 2.0, []),
        ([_caused_by(RuntimeError("wrapped start"), TimeoutError()), "sandbox"], 2.0, ["1/3 after: wrapped start"]),
        ([_T0, _T1, _T2], 0.25, ["1/3 after: t0", "2/3 after: t1"]),  # the last failure is raised
    ],
    ids=["first-success", "transient-cause", "three-transient-failures"],
)
async def test_transient_failures_are_retried_after_a_fixed_pause(pauses, retry_log, outcomes, backoff, logged):
    op = _Operation(*outcomes)
    if isinstance(outcomes[-1], Exception):
        with pytest.raises(TimeoutError) as info:
            await create_with_retry(op, is_transient=TRANSIENT, backoff=backoff)
        assert info.value is outcomes[-1]
    else:
        assert await create_with_retry(op, is_transient=TRANSIENT, backoff=backoff) == outcomes[-1]
    assert op.calls == len(outcomes) and pauses == [backoff] * len(logged)  # fixed, not growing
    assert retry_log() == [(logging.INFO, "Sandbox operation retry " + text) for text in logged]


@pytest.mark.parametrize(
    ("failure", "attempts", "judged"),
    [
        (_implicit_context_only(), 3, 1),  # the transient error is only the implicit context
        (ValueError("bad credentials"), 3, 1),
        (TimeoutError("last attempt"), 1, 0),  # the last attempt never consults the predicate
        (asyncio.CancelledError(), 3, 0),  # not an Exception: passes straight through
    ],
)
async def test_failure_raised_unchanged_without_retry(pauses, retry_log, failure, attempts, judged):
    seen = []
    op = _Operation(failure, "never")
    with pytest.raises(type(failure)) as info:
        await create_with_retry(op, is_transient=lambda e: seen.append(e) or TRANSIENT(e), attempts=attempts)
    assert info.value is failure and op.calls == 1 and len(seen) == judged
    assert (pauses, retry_log()) == ([], [])


async def test_predicate_walks_explicit_causes_and_stops(pauses):
    root = ConnectionError("root")
    middle = _caused_by(ValueError("middle"), root)
    top = _caused_by(RuntimeError("top"), middle)
    seen = []
    assert await create_with_retry(_Operation(top, "ok"), is_transient=lambda e: seen.append(e) or e is middle) == "ok"
    assert seen == [top, middle]
    a, b = RuntimeError("a"), RuntimeError("b")
    a.__cause__, b.__cause__ = b, a  # a cycle must not loop the walk
    seen.clear()
    with pytest.raises(RuntimeError):
        await create_with_retry(_Operation(a), is_transient=lambda e: seen.append(e) or False)
    assert seen == [a, b]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"kill": True, "total_timeout": 0}, "`total_timeout` must be positive"),
        ({"attempts": 0}, "`attempts` must be at least 1"),
        ({"backoff": -1}, "`backoff` must be non-negative"),
        ({"backoff": float("nan")}, "`backoff` must be non-negative"),
        ({"total_timeout": 0}, "`total_timeout` must be positive"),
        ({"total_timeout": float("nan")}, "`total_timeout` must be positive"),
        ({"attempts": 0, "backoff": -1, "total_timeout": 0}, "`attempts` must be at least 1"),
    ],
)
async def test_arguments_are_checked_before_any_attempt(kwargs, message):
    op, kwargs = _Operation("never"), dict(kwargs)
    retry = kill_with_retry if kwargs.pop("kill", False) else partial(create_with_retry, is_transient=TRANSIENT)
    with pytest.raises(ValueError) as info:
        await retry(op, **kwargs)
    assert str(info.value) == message and op.calls == 0


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
    """The total cap passing while a failed attempt rolls back: TimeoutError at
    once, no further sandbox created, and the half-built one still torn down."""
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
    assert created == [1] and not torn_down.is_set()
    release.set()
    await asyncio.wait_for(torn_down.wait(), 5)


async def test_kill_retries_every_failure_with_a_pause_fitted_to_the_cap(pauses):
    op = _Operation(ValueError("odd"), KeyError("odder"), None)
    assert await kill_with_retry(op, total_timeout=1) is None
    assert op.calls == 3 and pauses == [pytest.approx(1 / 6)] * 2


async def test_terminate_wraps_the_last_failure(pauses):
    register_secret("tok-terminate-secret-42")
    failures = [ConnectionError(f"refused {i} tok-terminate-secret-42") for i in range(3)]
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(
            _Operation(*failures), timeout=3, error_message="Failed to terminate E2B sandbox: {}"
        )
    assert str(info.value) == "Failed to terminate E2B sandbox: refused 2 [SECRET]"
    assert info.value.stage == Stage.TERMINATE and info.value.__cause__ is failures[2]
    assert pauses == [0.5, 0.5]


async def test_terminate_wraps_the_cap():
    async def hang():
        await asyncio.Event().wait()

    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(hang, timeout=0.05, error_message="Failed to terminate OpenSandbox: {}")
    assert isinstance(info.value.__cause__, TimeoutError)
    assert str(info.value).startswith("Failed to terminate OpenSandbox: ")


@pytest.mark.parametrize("timeout", [0, -1, float("nan")])
async def test_terminate_refuses_a_bad_timeout_before_killing(timeout):
    op = _Operation(None)
    with pytest.raises(ValueError, match="^`timeout` must be positive$"):
        await terminate_with_retry(op, timeout=timeout, error_message="{}")
    assert op.calls == 0


async def test_terminate_does_not_wrap_cancellation():
    with pytest.raises(asyncio.CancelledError):
        await terminate_with_retry(_Operation(asyncio.CancelledError()), timeout=1, error_message="{}")
