"""Creation of ``E2BSandbox``: lifetime, retries, rollback, default template."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import sys
import threading
import types
from datetime import timedelta

import httpx
import pytest
from e2b.exceptions import AuthenticationException, RateLimitException, SandboxException, ServiceBusyException

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.constants import E2BConfig
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
from vorn_tools.code_interpreter.errors import SandboxExecutionError, SandboxStartError, Stage

RETRY_LOGGER = "vorn_tools.code_interpreter.code_sandbox.utils"


def _created(e2b: E2BStandIn) -> list[dict]:
    return [body for route, body in e2b.requests if route == "create"]


def _retry_records(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.getMessage().startswith("Sandbox operation retry")]


async def _until(condition, limit: float = 30.0) -> None:
    """Poll ``condition`` until it holds; fail after a generous ``limit`` seconds."""
    async with asyncio.timeout(limit):
        while not condition():
            await asyncio.sleep(0.02)


def _create_span(spans):
    return [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.sandbox.create"][-1]


@pytest.mark.parametrize(
    ("options", "lifetime"),
    [({}, 600), ({"sandbox_timeout": 120, "timeout": 300}, 120), ({"timeout": 300}, 300),
     ({"sandbox_timeout": timedelta(minutes=5)}, 300), ({"sandbox_timeout": 90.9, "envs": {"A": "1"}, "metadata": {"k": "v"}}, 90)],
)  # fmt: skip
async def test_lifetime_and_options_reach_the_service(make_sandbox, e2b: E2BStandIn, spans, options, lifetime) -> None:
    sandbox = await make_sandbox(**options)
    (body,) = _created(e2b)
    # The SDK's own default template; a 600 s lifetime rather than the SDK's 300.
    assert (body["templateID"], body["timeout"]) == ("code-interpreter-v1", lifetime)
    assert (body.get("envVars") or None, body.get("metadata") or None) == (options.get("envs"), options.get("metadata"))
    assert sandbox.files is sandbox.sandbox.files and sandbox.commands is sandbox.sandbox.commands
    assert sandbox.sandbox_id in e2b.alive_sandboxes()
    assert dict(_create_span(spans).attributes) == {"zib_sandbox.backend": "e2b", "zib_sandbox.sandbox_id": sandbox.sandbox_id}


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        *[({"sandbox_timeout": bad}, ValueError, "sandbox timeout must be a positive number of seconds, got ") for bad in (0.5, 0, -5, True, "600")],
        ({"create_retries": 0}, ValueError, "`attempts` must be at least 1"),
        ({"create_backoff": -1}, ValueError, "`backoff` must be non-negative"),
        ({"additional_packages": "numpy"}, TypeError, "not the single string 'numpy'"),
        ({"additional_packages": ["numpy", "--index-url=x"]}, ValueError, "'--index-url=x' is a pip option"),
    ],
)
async def test_invalid_settings_are_refused_before_any_request(e2b: E2BStandIn, options, error, message) -> None:
    with pytest.raises(error, match=message):
        await E2BSandbox.create(**e2b.connection_options(), **options)
    assert e2b.calls["create"] == 0


@pytest.mark.parametrize(
    ("fault", "cause", "options", "requests"),
    [
        (429, RateLimitException, {}, 2),
        (429, RateLimitException, {"retries": 1}, 4),  # the SDK's own retries only when asked for
        (503, ServiceBusyException, {}, 2),
        (504, SandboxException, {}, 2),
        ("stall", httpx.ReadTimeout, {"request_timeout": 0.3}, 2),
        ("refused", httpx.ConnectError, {}, 0),
        # Not transient: raised at once.
        (500, SandboxException, {}, 1),
        (None, SandboxException, {"template": "no-such-template"}, 1),
        (None, AuthenticationException, {"api_key": "e2b_" + "0" * 40}, 1),
    ],
)
async def test_creation_failures_retry_only_what_is_transient(e2b: E2BStandIn, caplog, fault, cause, options, requests):
    caplog.set_level(logging.INFO, logger=RETRY_LOGGER)
    transient = requests != 1
    with contextlib.ExitStack() as stack:
        if fault == "refused":
            stack.enter_context(e2b.refusing("api"))
        elif fault == "stall":
            e2b.stall("create", 1.5, times=2)
        elif fault is not None:
            e2b.fail("create", fault, times=4, message=f"failed, key {e2b.api_key}")
        with pytest.raises(SandboxStartError) as raised:
            await E2BSandbox.create(**{**e2b.connection_options(), "create_retries": 2, "create_backoff": 0, **options})
    error = raised.value
    assert (error.stage, error.transient, type(error.__cause__)) == (Stage.CREATE, transient, cause)
    assert str(error).startswith("Failed to start E2B sandbox: ") and e2b.api_key not in str(error)
    assert len(_retry_records(caplog)) == int(transient) and e2b.calls["create"] == requests
    assert e2b.alive_sandboxes() == []


# The rollback's kill is retried like `terminate`: a failure then success, or three failures.
@pytest.mark.parametrize("kill_failures", [1, 3])
async def test_failed_install_rolls_the_sandbox_back(
    e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, kill_failures: int
) -> None:
    e2b.fail("kill", 500, times=kill_failures, message="kill refused")
    with pytest.raises(SandboxExecutionError) as raised:
        await E2BSandbox.create(**e2b.connection_options(), additional_packages=["not a valid==requirement"], create_backoff=0)
    assert raised.value.stage is Stage.PACKAGE_INSTALL
    assert str(raised.value).startswith("Failed to install additional packages ['not a valid==requirement']: ")
    assert e2b.calls["create"] == 1 and e2b.calls["kill"] == min(kill_failures + 1, 3)
    warnings = [r.getMessage() for r in caplog.records if "after a failed create" in r.getMessage()]
    if kill_failures == 3:
        (left,) = e2b.alive_sandboxes()  # left to the service's lifetime reaper
        assert warnings == [f"Failed to kill E2B sandbox {left} after a failed create: 500: kill refused"]
        e2b.sandboxes[left].expires_at = 0
    else:
        assert warnings == [] and e2b.alive_sandboxes() == []


@pytest.mark.parametrize("when", ["during_setup", "during_rollback"])
async def test_cancellation_rolls_back_and_propagates(e2b: E2BStandIn, when: str) -> None:
    if when == "during_setup":
        route, packages, kills = "execute", ["httpx"], 1
        e2b.stall("execute", 5)
    else:  # cancelled in the pause after a failed kill, before the next kill is sent
        route, packages, kills = "kill", ["not a valid==x"], 3
        e2b.fail("kill", 500, times=2)
    task = asyncio.create_task(
        E2BSandbox.create(**e2b.connection_options(), create_retries=3, create_backoff=0, additional_packages=packages)
    )
    await _until(lambda: e2b.calls[route])
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    # The kill ran to its end although the caller was cancelled, and the
    # cancelled task made no further attempt.
    await _until(lambda: not e2b.alive_sandboxes())
    assert e2b.calls["create"] == 1 and e2b.calls["kill"] == kills


@pytest.mark.parametrize(
    ("alias", "template", "sent"),
    [(E2BConfig.DEFAULT_TEMPLATE_ALIAS, None, E2BConfig.DEFAULT_TEMPLATE_ALIAS),
     (None, None, None),  # the ensure failed: the SDK's own default
     (E2BConfig.DEFAULT_TEMPLATE_ALIAS, "base", "base")],  # a given template: nothing to ensure
)  # fmt: skip
async def test_default_template_ensure(make_sandbox, e2b: E2BStandIn, monkeypatch, spans, alias, template, sent) -> None:
    calls: list[tuple] = []

    class E2BTemplateBuilder:  # the builder module, replaced through sys.modules
        def __init__(self, *, api_key=None, domain=None) -> None:
            calls.append(("init", api_key, domain))

        def ensure_default(self):
            calls.append(("ensure", threading.current_thread() is threading.main_thread()))
            return alias

    module = types.ModuleType("vorn_tools.code_interpreter.code_template.e2b_template_builder")
    module.E2BTemplateBuilder = E2BTemplateBuilder
    monkeypatch.setitem(sys.modules, module.__name__, module)
    e2b.templates.add(E2BConfig.DEFAULT_TEMPLATE_ALIAS)
    await make_sandbox(ensure_default_template=True, domain="e2b.example", template=template)
    (body,) = _created(e2b)
    assert body["templateID"] == (sent or "code-interpreter-v1")
    assert _create_span(spans).attributes.get("zib_sandbox.template_id") == sent
    # The builder gets the factory's key and domain and runs off the event loop's thread.
    assert calls == ([] if template else [("init", e2b.api_key, "e2b.example"), ("ensure", False)])
