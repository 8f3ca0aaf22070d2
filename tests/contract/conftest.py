"""Backends of the sandbox contract suite: one fixture per backend.

To add a backend, write an async fixture named "<name>_backend" that yields a `Backend`
and add "<name>" to `BACKENDS`. The fixture owns whatever stands in for the provider and
must terminate every sandbox it hands out.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field

import pytest

from tests.fakes.agentcore_fixtures import CREDENTIALS, agentcore, agentcore_service  # noqa: F401 - AgentCore
from tests.fakes.agentcore_server import AgentCoreStandIn
from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - the E2B stand-in
from tests.fakes.e2b_server import E2BStandIn
from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - the stand-in
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from tests.fakes.lite_daemon import image_env
from tests.fakes.local_sandbox import LocalSandbox
from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox

BACKENDS = ["local", "e2b", "opensandbox", "bedrock", "opensandbox_lite"]


@dataclass
class Backend:
    """What the contract suite needs of one backend."""

    name: str
    #: Creates and starts a sandbox; the fixture terminates it afterwards.
    create: Callable[[], Awaitable[CodeInterpreterSandbox]]
    #: A constructed sandbox that was never started.
    unstarted: Callable[[], CodeInterpreterSandbox]
    started: list[CodeInterpreterSandbox] = field(default_factory=list)
    #: An operation that needs a started sandbox (a lazily started backend starts one on execute_code).
    needs_start: Callable[[CodeInterpreterSandbox], Awaitable[object]] = lambda s: s.execute_code("print(1)")


async def _backend(
    name: str,
    start: Callable[[], Awaitable[CodeInterpreterSandbox]],
    unstarted: Callable[[], CodeInterpreterSandbox],
) -> AsyncIterator[Backend]:
    """A `Backend` whose started sandboxes are all terminated when the test ends."""
    backend = Backend(name, create=None, unstarted=unstarted)  # type: ignore[arg-type]

    async def create() -> CodeInterpreterSandbox:
        sandbox = await start()
        backend.started.append(sandbox)
        return sandbox

    backend.create = create
    yield backend
    for sandbox in backend.started:
        await sandbox.terminate()


@pytest.fixture
async def local_backend() -> AsyncIterator[Backend]:
    async for backend in _backend("local", LocalSandbox.create, LocalSandbox):
        yield backend


@pytest.fixture
async def e2b_backend(e2b: E2BStandIn) -> AsyncIterator[Backend]:
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox

    async def start() -> CodeInterpreterSandbox:
        return await E2BSandbox.create(**e2b.connection_options(), create_backoff=0.0)

    async for backend in _backend("e2b", start, E2BSandbox):
        yield backend


@pytest.fixture
async def bedrock_backend(agentcore: AgentCoreStandIn) -> AsyncIterator[Backend]:
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox

    async def start() -> CodeInterpreterSandbox:
        sandbox = BedrockAgentCoreSandbox(**CREDENTIALS)
        await sandbox._ensure_started()
        return sandbox

    async for backend in _backend("bedrock", start, lambda: BedrockAgentCoreSandbox(**CREDENTIALS)):
        backend.needs_start = lambda s: s.download_file("x")
        yield backend


@pytest.fixture
async def opensandbox_backend(opensandbox: OpenSandboxStandIn) -> AsyncIterator[Backend]:
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

    async def start() -> CodeInterpreterSandbox:
        return await OpenSandbox.create(**opensandbox.connection_options(), create_backoff=0.0)

    async for backend in _backend("opensandbox", start, OpenSandbox):
        yield backend


@pytest.fixture
async def opensandbox_lite_backend(opensandbox: OpenSandboxStandIn) -> AsyncIterator[Backend]:
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite

    async def start() -> CodeInterpreterSandbox:
        return await OpenSandboxLite.create(**opensandbox.connection_options(), env=image_env(), create_backoff=0.0)

    async for backend in _backend("opensandbox_lite", start, OpenSandboxLite):
        yield backend


@pytest.fixture(params=BACKENDS)
def backend(request: pytest.FixtureRequest) -> Backend:
    return request.getfixturevalue(f"{request.param}_backend")


@pytest.fixture
async def sandbox(backend: Backend) -> CodeInterpreterSandbox:
    return await backend.create()
