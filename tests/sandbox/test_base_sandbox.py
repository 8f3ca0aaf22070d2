"""The base sandbox: abstract operations, creation-failure predicate, shielded rollback."""

import asyncio
import errno
import gc

import pytest

from vorn_tools.code_interpreter.code_sandbox import base_sandbox
from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox


class _Complete(BaseSandbox):
    async def terminate(self, *, timeout=10):
        return await super().terminate(timeout=timeout)

    async def download_file(self, file_path, *, timeout=30):
        return await super().download_file(file_path, timeout=timeout)


class _OnlyTerminate(BaseSandbox):
    async def terminate(self, *, timeout=10):
        pass


async def test_abstract_operations_and_base_bodies():
    for cls in (BaseSandbox, _OnlyTerminate):
        with pytest.raises(TypeError, match="download_file"):
            cls()
    sandbox = _Complete(anything=1, other="x")
    assert vars(sandbox) == {}
    for call in (sandbox.terminate(), sandbox.download_file("/x")):
        with pytest.raises(NotImplementedError) as info:
            await call
        assert str(info.value) == ""


def _caused_by(outer, cause):
    outer.__cause__ = cause
    return outer


@pytest.mark.parametrize(
    ("exc", "expected"),
    [
        (TimeoutError(), True),
        (ConnectionResetError(), True),
        (OSError(errno.ECONNREFUSED, "refused"), True),  # OSError maps errno to the subclass
        (ValueError(), False),
        (OSError(errno.ENOENT, "missing"), False),
        (asyncio.CancelledError(), False),
        (_caused_by(RuntimeError("wrapped"), TimeoutError()), False),  # callers walk the chain
    ],
)
def test_is_transient_create_error(exc, expected):
    assert BaseSandbox._is_transient_create_error(exc) is expected


class _Teardown:
    """A teardown whose progress a test can observe and release."""

    def __init__(self, *, fail=False):
        self.release, self.started, self.finished = asyncio.Event(), asyncio.Event(), asyncio.Event()
        self.fail = fail

    async def __call__(self):
        self.started.set()
        await self.release.wait()
        self.finished.set()
        if self.fail:
            raise RuntimeError("kill failed")


@pytest.mark.parametrize("fail", [False, True])
async def test_rollback_waits_for_teardown_and_swallows_its_failure(caplog, fail):
    caplog.set_level("DEBUG")
    teardown = _Teardown(fail=fail)
    rollback = asyncio.create_task(BaseSandbox._shielded_rollback(teardown(), timeout=None))
    await asyncio.wait_for(teardown.started.wait(), 5)
    await asyncio.sleep(0.05)
    assert not rollback.done()  # no cap: the caller waits however long it takes
    teardown.release.set()
    assert await asyncio.wait_for(rollback, 5) is None
    assert teardown.finished.is_set() and caplog.records == []


@pytest.mark.parametrize("cap", [0.05, 0, -1])
async def test_rollback_cap_releases_caller_but_teardown_completes(cap):
    teardown = _Teardown()
    before = set(base_sandbox._BACKGROUND_TEARDOWNS)
    await BaseSandbox._shielded_rollback(teardown(), timeout=cap)
    gc.collect()
    (held,) = base_sandbox._BACKGROUND_TEARDOWNS - before  # strongly referenced while it runs
    assert not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)
    for _ in range(3):
        await asyncio.sleep(0)
    assert held.done() and held not in base_sandbox._BACKGROUND_TEARDOWNS


async def test_cancellation_during_rollback_propagates_and_teardown_completes():
    """A failed creation rolls back; a cancel arriving during that rollback
    propagates as cancellation, and the half-built sandbox is still torn down."""
    teardown = _Teardown()

    async def create_once():
        try:
            raise ConnectionError("start failed")
        except ConnectionError:
            await BaseSandbox._shielded_rollback(teardown())
            raise

    task = asyncio.create_task(create_once())
    await asyncio.wait_for(teardown.started.wait(), 5)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)


async def _cancels_itself():
    raise asyncio.CancelledError


@pytest.mark.parametrize("make", [_cancels_itself, lambda: None], ids=["self-cancelling", "not-awaitable"])
async def test_odd_teardowns_do_not_reach_the_caller(make):
    assert await BaseSandbox._shielded_rollback(make()) is None
