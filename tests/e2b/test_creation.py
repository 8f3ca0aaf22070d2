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


async def test_defaults_and_span(make_sandbox, e2b: E2BStandIn, spans) -> None:
    sandbox = await make_sandbox()
    assert (sandbox.language, sandbox.additional_packages) == ("python", [])
    assert sandbox.files is sandbox.sandbox.files and sandbox.commands is sandbox.sandbox.commands
    assert sandbox.sandbox_id in e2b.alive_sandboxes()
    # The SDK's own default template; a 600 s lifetime rather than the SDK's 300.
    assert [(body["templateID"], body["timeout"]) for body in _created(e2b)] == [("code-interpreter-v1", 600)]
    span = _create_span(spans)
    assert span.attributes["zib_sandbox.backend"] == "e2b"
    assert span.attributes["zib_sandbox.sandbox_id"] == sandbox.sandbox_id
    assert "zib_sandbox.template_id" not in span.attributes


@pytest.mark.parametrize(
    ("options", "lifetime"),
    [
        ({"sandbox_timeout": 120, "timeout": 300}, 120),
        ({"timeout": 300}, 300),
        ({"sandbox_timeout": timedelta(minutes=5)}, 300),
        ({"sandbox_timeout": 90.9, "envs": {"A": "1"}, "metadata": {"k": "v"}}, 90),
    ],
)
async def test_lifetime_and_extra_options_reach_the_service(make_sandbox, e2b: E2BStandIn, options, lifetime) -> None:
    await make_sandbox(**options)
    (body,) = _created(e2b)
    assert body["timeout"] == lifetime
    if "envs" in options:
        assert body["envVars"] == {"A": "1"} and body["metadata"] == {"k": "v"}


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


async def test_transient_failures_are_retried_the_configured_number_of_times(
    make_sandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.INFO, logger=RETRY_LOGGER)
    e2b.fail("create", 429, times=2)
    sandbox = await make_sandbox(create_retries=3)
    assert sandbox.sandbox_id in e2b.alive_sandboxes() and e2b.calls["create"] == 3
    records = _retry_records(caplog)
    assert [r.split(" after: ")[0] for r in records] == ["Sandbox operation retry 1/3", "Sandbox operation retry 2/3"]
    assert "Failed to start E2B sandbox: 429: Rate limit exceeded" in records[0]


# The library's attempts are the only ones, unless the SDK's own `retries` is asked for.
@pytest.mark.parametrize(
    ("fault", "cause", "sdk_retries", "requests"),
    [
        ("rate_limit", RateLimitException, None, 2),
        ("rate_limit", RateLimitException, 1, 4),
        ("busy", ServiceBusyException, None, 2),
        ("gateway_timeout", SandboxException, None, 2),
        ("stall", httpx.ReadTimeout, None, 2),
        ("refused", httpx.ConnectError, None, 0),
    ],
)
async def test_transient_failures_exhaust_the_attempts(
    e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, fault: str, cause: type, sdk_retries, requests: int
) -> None:
    caplog.set_level(logging.INFO, logger=RETRY_LOGGER)
    options = {**e2b.connection_options(), "create_retries": 2, "create_backoff": 0}
    if sdk_retries is not None:
        options["retries"] = sdk_retries
    with contextlib.ExitStack() as stack:
        if fault == "refused":
            stack.enter_context(e2b.refusing("api"))
        elif fault == "stall":
            e2b.stall("create", 1.5, times=2)
            options["request_timeout"] = 0.3
        else:
            e2b.fail("create", {"rate_limit": 429, "busy": 503, "gateway_timeout": 504}[fault], times=4)
        with pytest.raises(SandboxStartError) as raised:
            await E2BSandbox.create(**options)
    error = raised.value
    assert error.stage is Stage.CREATE and error.transient is True
    assert type(error.__cause__) is cause and str(error).startswith("Failed to start E2B sandbox: ")
    assert len(_retry_records(caplog)) == 1 and e2b.calls["create"] == requests
    assert e2b.alive_sandboxes() == []


@pytest.mark.parametrize(("setup", "cause"), [("unknown_template", SandboxException), ("bad_key", AuthenticationException), ("server_error", SandboxException)])
async def test_non_transient_failures_are_raised_at_once_with_their_stage(
    e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, setup: str, cause: type
) -> None:
    caplog.set_level(logging.INFO, logger=RETRY_LOGGER)
    options = {**e2b.connection_options(), "create_retries": 3, "create_backoff": 0}
    if setup == "unknown_template":
        options["template"] = "no-such-template"
    elif setup == "bad_key":
        options["api_key"] = "e2b_" + "0" * 40
    else:
        e2b.fail("create", 500, times=3, message=f"database down, key {e2b.api_key}")
    with pytest.raises(SandboxStartError) as raised:
        await E2BSandbox.create(**options)
    assert raised.value.stage is Stage.CREATE and raised.value.transient is False
    assert type(raised.value.__cause__) is cause
    assert e2b.calls["create"] == 1 and _retry_records(caplog) == []
    assert e2b.api_key not in str(raised.value)


def test_only_explicit_causes_make_a_failure_transient() -> None:
    classify = E2BSandbox._is_transient_create_error
    explicit = SandboxException("wrapped")
    explicit.__cause__ = httpx.ConnectError("refused")
    implicit = SandboxException("wrapped")
    implicit.__context__ = httpx.ConnectError("refused")
    for cause, expected in ((explicit, True), (implicit, False)):
        error = SandboxStartError("x", stage=Stage.CREATE, classifier=classify)
        error.__cause__ = cause
        assert error.transient is expected


@pytest.mark.parametrize("language", ["python", "r"])
async def test_packages_are_installed_once_for_python_only(
    make_sandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, language: str
) -> None:
    sandbox = await make_sandbox(language=language, additional_packages=["httpx"])
    installs = [body["code"] for route, body in e2b.requests if route == "execute"]
    if language == "python":
        assert len(installs) == 1 and "'httpx'" in installs[0]
    else:
        assert installs == [] and sandbox.language == "r"
        assert any("Skipping automatic Python setup for language 'r'" in r.getMessage() for r in caplog.records)


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


@pytest.fixture
def template_builder(monkeypatch: pytest.MonkeyPatch):
    """A stand-in template builder module, injected through ``sys.modules``."""
    calls: list[tuple] = []
    outcome: dict = {"alias": E2BConfig.DEFAULT_TEMPLATE_ALIAS}

    class E2BTemplateBuilder:
        def __init__(self, *, api_key=None, domain=None) -> None:
            calls.append(("init", api_key, domain))

        def ensure_default(self):
            calls.append(("ensure", threading.current_thread() is threading.main_thread()))
            return outcome["alias"]

    module = types.ModuleType("vorn_tools.code_interpreter.code_template.e2b_template_builder")
    module.E2BTemplateBuilder = E2BTemplateBuilder
    monkeypatch.setitem(sys.modules, module.__name__, module)
    return calls, outcome


@pytest.mark.parametrize(
    ("case", "sent", "span_template"),
    [
        ("ensured", E2BConfig.DEFAULT_TEMPLATE_ALIAS, E2BConfig.DEFAULT_TEMPLATE_ALIAS),
        ("ensure_failed", "code-interpreter-v1", None),
        ("template_given", "base", "base"),
    ],
)
async def test_default_template_ensure(make_sandbox, e2b: E2BStandIn, template_builder, spans, case, sent, span_template) -> None:
    calls, outcome = template_builder
    e2b.templates.add(E2BConfig.DEFAULT_TEMPLATE_ALIAS)
    options: dict = {"ensure_default_template": True, "domain": "e2b.example"}
    if case == "ensure_failed":
        outcome["alias"] = None
    if case == "template_given":
        options["template"] = "base"
    await make_sandbox(**options)
    (body,) = _created(e2b)
    assert body["templateID"] == sent
    assert _create_span(spans).attributes.get("zib_sandbox.template_id") == span_template
    # The builder gets the factory's key and domain and runs off the event loop's thread.
    assert calls == ([] if case == "template_given" else [("init", e2b.api_key, "e2b.example"), ("ensure", False)])
