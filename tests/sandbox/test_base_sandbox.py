"""The base sandbox: abstract operations, creation-failure predicate, shielded rollback."""

import asyncio
import errno

import pytest

from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox


class _Complete(BaseSandbox):
    async def terminate(self, *, timeout=10):
        return await super().terminate(timeout=timeout)

    async def download_file(self, file_path, *, timeout=30):
        return await super().download_file(file_path, timeout=timeout)


def test_abstract_operations_block_instantiation():
    class OnlyTerminate(BaseSandbox):
        async def terminate(self, *, timeout=10):
            pass

    for cls in (BaseSandbox, OnlyTerminate):
        with pytest.raises(TypeError, match="download_file"):
            cls()
    sandbox = _Complete(anything=1, other="x")
    assert vars(sandbox) == {}


async def test_base_bodies_raise_bare_not_implemented():
    sandbox = _Complete()
    for call in (sandbox.terminate(), sandbox.download_file("/x")):
        with pytest.raises(NotImplementedError) as info:
            await call
        assert str(info.value) == ""


@pytest.mark.parametrize(
    ("exc", "expected"),
    [
        (TimeoutError(), True),
        (asyncio.TimeoutError(), True),
        (ConnectionRefusedError(), True),
        (ConnectionResetError(), True),
        (BrokenPipeError(), True),
        (OSError(errno.ECONNREFUSED, "refused"), True),  # OSError maps errno to the subclass
        (ValueError(), False),
        (OSError(errno.ENOENT, "missing"), False),
        (asyncio.CancelledError(), False),
    ],
)
def test_is_transient_create_error(exc, expected):
    assert BaseSandbox._is_transient_create_error(exc) is expected


def test_is_transient_judges_one_exception_not_its_chain():
    wrapped = RuntimeError("wrapped")
    wrapped.__cause__ = TimeoutError()
    assert BaseSandbox._is_transient_create_error(wrapped) is False


class _Teardown:
    """A teardown whose progress a test can observe and release."""

    def __init__(self, *, fail=False):
        self.release = asyncio.Event()
        self.started = asyncio.Event()
        self.finished = asyncio.Event()
        self.fail = fail

    async def __call__(self):
        self.started.set()
        await self.release.wait()
        self.finished.set()
        if self.fail:
            raise RuntimeError("kill failed")


async def test_rollback_returns_when_teardown_ends():
    teardown = _Teardown()
    teardown.release.set()
    assert await BaseSandbox._shielded_rollback(teardown()) is None
    assert teardown.finished.is_set()


async def test_rollback_swallows_teardown_failure_without_logging(caplog):
    teardown = _Teardown(fail=True)
    teardown.release.set()
    with caplog.at_level("DEBUG"):
        await BaseSandbox._shielded_rollback(teardown())
    assert teardown.finished.is_set()
    assert caplog.records == []


@pytest.mark.parametrize("cap", [0.05, 0, -1])
async def test_rollback_cap_releases_caller_but_teardown_completes(cap):
    teardown = _Teardown()
    await BaseSandbox._shielded_rollback(teardown(), timeout=cap)
    assert not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)


async def test_rollback_without_cap_waits_for_teardown():
    teardown = _Teardown()
    rollback = asyncio.create_task(BaseSandbox._shielded_rollback(teardown(), timeout=None))
    await asyncio.wait_for(teardown.started.wait(), 5)
    await asyncio.sleep(0.05)
    assert not rollback.done()
    teardown.release.set()
    await asyncio.wait_for(rollback, 5)
    assert teardown.finished.is_set()


async def test_cancelling_the_caller_propagates_and_teardown_still_completes():
    teardown = _Teardown()
    rollback = asyncio.create_task(BaseSandbox._shielded_rollback(teardown()))
    await asyncio.wait_for(teardown.started.wait(), 5)
    rollback.cancel()
    with pytest.raises(asyncio.CancelledError):
        await rollback
    assert not teardown.finished.is_set()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)


async def test_released_teardown_is_held_until_it_ends():
    import gc

    from vorn_tools.code_interpreter.code_sandbox import base_sandbox

    teardown = _Teardown()
    before = set(base_sandbox._BACKGROUND_TEARDOWNS)
    await BaseSandbox._shielded_rollback(teardown(), timeout=0)
    gc.collect()
    (held,) = base_sandbox._BACKGROUND_TEARDOWNS - before
    assert not held.done()
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)
    for _ in range(3):
        await asyncio.sleep(0)
    assert held.done() and held not in base_sandbox._BACKGROUND_TEARDOWNS


async def test_teardown_that_cancels_itself_does_not_cancel_the_caller():
    async def self_cancelling():
        raise asyncio.CancelledError

    assert await BaseSandbox._shielded_rollback(self_cancelling()) is None


async def test_non_awaitable_teardown_is_ignored():
    assert await BaseSandbox._shielded_rollback(None) is None


async def test_second_cancellation_during_rollback_keeps_the_first_failure():
    """A creation that fails rolls back; a cancel during that rollback propagates
    as cancellation, and the half-built sandbox is still torn down."""
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
    teardown.release.set()
    await asyncio.wait_for(teardown.finished.wait(), 5)
