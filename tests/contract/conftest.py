"""Backends of the sandbox contract suite: one fixture per backend.

To add a backend, write a fixture named "<name>_backend" that returns a `Backend` and add
"<name>" to `BACKENDS`. The fixture owns whatever stands in for the provider; the `sandbox`
fixture terminates the sandbox it starts.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass

import pytest

from tests.fakes.agentcore_fixtures import CREDENTIALS, agentcore, agentcore_service  # noqa: F401 - AgentCore
from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - the E2B stand-in
from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - the stand-in
from tests.fakes.lite_daemon import image_env
from tests.fakes.local_sandbox import LocalSandbox
from tests.fakes.standin import StandIn
from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox

BACKENDS = ["local", "e2b", "opensandbox", "bedrock", "opensandbox_lite"]


@dataclass
class Backend:
    """What the contract suite needs of one backend."""

    #: Creates and starts a sandbox.
    create: Callable[[], Awaitable[CodeInterpreterSandbox]]
    #: A constructed sandbox that was never started.
    unstarted: Callable[[], CodeInterpreterSandbox]
    #: An operation that needs a started sandbox (a lazily started backend starts one on execute_code).
    needs_start: Callable[[CodeInterpreterSandbox], Awaitable[object]] = lambda s: s.execute_code("print(1)")
    #: What stands in for the provider (None: the sandbox is local) and its route that ends a sandbox.
    service: StandIn | None = None
    end_route: str = "kill"
    #: Whether ``terminate`` checks its cap without a sandbox to end, too.
    checks_idle_cap: bool = False


@pytest.fixture
def local_backend() -> Backend:
    return Backend(LocalSandbox.create, LocalSandbox, checks_idle_cap=True)


@pytest.fixture
def e2b_backend(e2b) -> Backend:
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox

    return Backend(lambda: E2BSandbox.create(**e2b.connection_options(), create_backoff=0.0), E2BSandbox, service=e2b)


@pytest.fixture
def bedrock_backend(agentcore) -> Backend:
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox

    async def start() -> CodeInterpreterSandbox:
        sandbox = BedrockAgentCoreSandbox(**CREDENTIALS)
        await sandbox._ensure_started()
        return sandbox

    return Backend(start, lambda: BedrockAgentCoreSandbox(**CREDENTIALS), lambda s: s.download_file("x"),
                   service=agentcore, end_route="stop", checks_idle_cap=True)


@pytest.fixture
def opensandbox_backend(opensandbox) -> Backend:
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

    options = {**opensandbox.connection_options(), "create_backoff": 0.0}
    return Backend(lambda: OpenSandbox.create(**options), OpenSandbox, service=opensandbox)


@pytest.fixture
def opensandbox_lite_backend(opensandbox) -> Backend:
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite

    options = {**opensandbox.connection_options(), "env": image_env(), "create_backoff": 0.0}
    return Backend(lambda: OpenSandboxLite.create(**options), OpenSandboxLite, service=opensandbox)


@pytest.fixture(params=BACKENDS)
def backend(request: pytest.FixtureRequest) -> Backend:
    return request.getfixturevalue(f"{request.param}_backend")


@pytest.fixture
async def sandbox(backend: Backend) -> AsyncIterator[CodeInterpreterSandbox]:
    sandbox = await backend.create()
    yield sandbox
    await sandbox.terminate()
