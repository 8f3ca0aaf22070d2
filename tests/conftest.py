"""Test-wide fixtures: no test may depend on, or leak, a real credential."""

from __future__ import annotations

import asyncio
import functools
import inspect
import os
import tempfile
from collections.abc import Awaitable, Callable
from typing import Any

import pytest

# A run's temporary directories are its own, not pytest's numbered ones shared by every run of this user: at a
# session's end pytest removes what earlier sessions left there (other checkouts', or a run's beside this one), and
# a tree deeper than Python 3.11's recursion limit, made by a test that failed to remove it, fails that session
# after every test passed, and every later one. The directory goes once its run passes; a failed run's is kept.
_OWN_TEMP, _KEPT = pytest.StashKey[str](), pytest.StashKey[bool]()
_PASSED = (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED)


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config: pytest.Config) -> None:
    if config.option.basetemp is None:
        config.stash[_OWN_TEMP] = tempfile.mkdtemp(prefix="vorn-tools-tests-")
        config.option.basetemp = os.path.join(config.stash[_OWN_TEMP], "run")


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    session.config.stash[_KEPT] = exitstatus not in _PASSED


# Said last of all: pytest writes no summary after an internal error (pytest-timeout's signal caught where it breaks).
def pytest_unconfigure(config: pytest.Config) -> None:  # a run with no session (--help, --markers) made one too
    own = config.stash.get(_OWN_TEMP, None)
    if own is not None and config.stash.get(_KEPT, False):
        print(f"temporary directories kept in {own}", flush=True)
    elif own is not None:
        from tests.fakes.standin import remove_tree  # any depth, and modes tests left shut

        remove_tree(own)


_CREDENTIAL_ENV = (
    "E2B_API_KEY", "E2B_ACCESS_TOKEN", "E2B_DOMAIN", "E2B_DEBUG", "OPEN_SANDBOX_API_KEY", "OPEN_SANDBOX_DOMAIN",
    "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE", "OPENAI_API_KEY",
    "ANTHROPIC_API_KEY", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy",
)  # fmt: skip


@pytest.fixture(autouse=True)
def clean_environ(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in _CREDENTIAL_ENV:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")


# pytest-timeout's signal can land inside the event loop's own machinery, where
# it is swallowed or turns into an INTERNALERROR that ends the whole run. An
# async test is therefore bounded inside its own loop first: past the bound it
# is cancelled and fails alone with TimeoutError, well before pytest-timeout's
# last resort (the ini `timeout`) fires.
_ASYNC_TEST_BOUND = 100.0


def _bounded(test: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    @functools.wraps(test)
    async def run(*args: Any, **kwargs: Any) -> Any:
        try:
            async with asyncio.timeout(_ASYNC_TEST_BOUND):
                return await test(*args, **kwargs)
        except TimeoutError as exc:
            raise TimeoutError(f"test still running after {_ASYNC_TEST_BOUND:.0f} s") from exc

    return run


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        test = getattr(item, "obj", None)
        if inspect.iscoroutinefunction(test):
            item.obj = _bounded(test)
