"""MCP session factory.

`create_session` opens one protocol session to one configured MCP server over
stdio, HTTP with server-sent events or streamable HTTP. Every entry opens a
fresh transport and session; nothing is pooled or reused.
"""

import asyncio
import inspect
import json
import logging
import math
import os
import re
import signal
import sys
import warnings
from collections.abc import Awaitable, Callable, Mapping
from contextlib import AsyncExitStack, asynccontextmanager
from datetime import timedelta
from typing import Any, AsyncIterator, cast

import anyio
import httpx
from anyio.streams.text import TextReceiveStream
from mcp import ClientSession, McpError, StdioServerParameters, stdio_client
from mcp.client.sse import sse_client
from mcp.client.stdio import get_default_environment
from mcp.client.streamable_http import streamablehttp_client
from mcp.shared._httpx_utils import create_mcp_http_client
from mcp.shared.message import SessionMessage
from mcp.types import CONNECTION_CLOSED, ErrorData, JSONRPCError, JSONRPCMessage, JSONRPCResponse, PaginatedRequestParams
from pydantic import ConfigDict

from vorn_tools.mcp.client.config import (
    SSE_TRANSPORT,
    STDIO_TRANSPORT,
    EncodingErrorHandler,
    MCPConfiguration,
    SseConfiguration,
    StdioConfiguration,
    StreamConfiguration,
)

logger = logging.getLogger(__name__)

_CONFIG_BLACKLIST = {"transport"}

DEFAULT_ENCODING = "utf-8"
DEFAULT_ENCODING_ERROR_HANDLER: EncodingErrorHandler = "strict"
DEFAULT_HTTP_TIMEOUT = 5
DEFAULT_SSE_READ_TIMEOUT = 300
DEFAULT_STREAMABLE_HTTP_TIMEOUT = timedelta(seconds=30)
DEFAULT_STREAMABLE_HTTP_SSE_READ_TIMEOUT = timedelta(seconds=300)

MASK = "***"
"""What a header value or an environment value is shown as in texts that leave the client."""

# Keys whose values are credentials often enough that they are never rendered.
_MASKED_KEYS = ("env", "headers")
# Keys meant for `ClientSession` only; no transport takes them.
_SESSION_KEYS = {"session_kwargs"}
# A query parameter, command-line option or assignment whose name says it holds a credential.
_CREDENTIAL_NAME = re.compile(r"(?i)token|secret|passw|pwd|key|auth|credential|signature|sig$|cookie")
_QUERY_VALUE = re.compile(r"([?&;#]([^=&;#]*)=)([^&;#]*)")
_URL_PASSWORD = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://[^/@:]*:)[^/@]*@")
_ASSIGNMENT = re.compile(r"^(-{0,2}([A-Za-z0-9_.-]+)(?:=|:\s*))(.*)$", re.S)

# How long a stdio server may take to exit once its input is closed, and then once terminated.
STDIO_EXIT_TIMEOUT = 2.0
STDIO_TERMINATE_TIMEOUT = 1.0
# Pages one listing may take before the server is taken to be looping.
MAX_LISTING_PAGES = 100
# Exceptions the SDK's streams raise while they are being torn down, never an outcome in themselves.
_TEARDOWN_NOISE = (anyio.BrokenResourceError, anyio.ClosedResourceError)


class _StdioServerParameters(StdioServerParameters):
    """The SDK's stdio parameters, whose validation errors omit the input.

    A missing "command" would otherwise render the whole input mapping, the
    server's environment included, into the error text.
    """

    model_config = ConfigDict(hide_input_in_errors=True, title="StdioServerParameters")


def masked_url(url: Any) -> Any:
    """``url`` with its password and the values of credential-like query parameters shown as `MASK`."""
    if not isinstance(url, str):
        return url

    def query_value(match: re.Match[str]) -> str:
        return match.group(1) + MASK if _CREDENTIAL_NAME.search(match.group(2)) else match.group(0)

    return _QUERY_VALUE.sub(query_value, _URL_PASSWORD.sub(rf"\1{MASK}@", url))


def masked_args(args: Any) -> Any:
    """Command-line ``args`` with credential-like values shown as `MASK`.

    Covers "--token=VALUE", "API_KEY=VALUE", "Authorization: VALUE", an option
    such as "--api-key" followed by its value, and URLs (see `masked_url`).
    """
    if not isinstance(args, (list, tuple)):
        return args
    shown: list[Any] = []
    value_follows = False
    for arg in args:
        if not isinstance(arg, str):
            shown.append(arg)
            value_follows = False
            continue
        if value_follows and not arg.startswith("--"):
            shown.append(MASK)
            value_follows = False
            continue
        assignment = _ASSIGNMENT.match(arg)
        if assignment and _CREDENTIAL_NAME.search(assignment.group(2)):
            shown.append(assignment.group(1) + MASK)
        else:
            shown.append(masked_url(arg) if "://" in arg else arg)
        value_follows = arg.startswith("-") and not assignment and bool(_CREDENTIAL_NAME.search(arg))
    return shown


def describe_server(config: Mapping[str, Any]) -> str:
    """The server of ``config`` for an error text: its URL or its command line, credentials masked."""
    if "command" in config or "url" not in config:
        args = masked_args(config.get("args") or [])
        return " ".join(str(part) for part in [config.get("command"), *args])
    return str(masked_url(config["url"]))


def masked_config(config: Mapping[str, Any]) -> dict[str, Any]:
    """Return a copy of ``config`` safe to put in a log record or an error text.

    The keys of "env" and "headers" are kept; their values are replaced by
    `MASK` (a header whose value is None, and so is not sent, stays None).
    The password and credential-like query values of "url" and credential-like
    "args" are masked too (see `masked_url`, `masked_args`). Every other entry
    is shown as it is.
    """
    shown = dict(config)
    if "url" in shown:
        shown["url"] = masked_url(shown["url"])
    if "args" in shown:
        shown["args"] = masked_args(shown["args"])
    for key in _MASKED_KEYS:
        value = shown.get(key)
        if value is None:
            continue
        if isinstance(value, Mapping):
            shown[key] = {name: None if item is None else MASK for name, item in value.items()}
        else:
            shown[key] = MASK
    return shown


async def list_pages(list_page: Callable[..., Awaitable[Any]], field: str, config: Mapping[str, Any]) -> list[Any]:
    """Every item of a paged listing: ``list_page`` is the session's ``list_tools`` or
    ``list_resources``, ``field`` the result's "tools" or "resources".

    The first request carries no cursor; each later one the cursor of the page
    before, until a page comes without one.

    Raises:
        RuntimeError: The server was still paging after `MAX_LISTING_PAGES` pages.
    """
    items: list[Any] = []
    cursor = None
    for _ in range(MAX_LISTING_PAGES):
        page = await (list_page(params=PaginatedRequestParams(cursor=cursor)) if cursor else list_page())
        items.extend(getattr(page, field))
        cursor = page.nextCursor
        if not cursor:
            return items
    raise RuntimeError(
        f"The MCP server {describe_server(config)} was still paging its {field} after {MAX_LISTING_PAGES} pages"
    )


def first_contents(result: Any, uri: Any) -> Any:
    """The first contents item of a resource read.

    Raises:
        ValueError: The server answered with no contents item.
    """
    if not result.contents:
        raise ValueError(f"The MCP server answered with no contents for URI {masked_url(str(uri))}")
    return result.contents[0]


def _exclude_keys(config: dict, blacklist: set[str] = _CONFIG_BLACKLIST) -> dict:
    """Return a shallow copy of ``config`` without the keys in ``blacklist``."""
    return {key: value for key, value in config.items() if key not in blacklist}


def _transport_kwargs(config: Mapping[str, Any]) -> dict[str, Any]:
    return _exclude_keys(cast(dict, config), _SESSION_KEYS)


def _session_kwargs(config: Mapping[str, Any]) -> Mapping[str, Any]:
    value = config.get("session_kwargs")
    if not value:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"session_kwargs must be a mapping of ClientSession keyword arguments, got {type(value).__name__}")
    # Checked before the transport opens: a bad keyword found later would
    # surface wrapped in the SDK's task-group exception group, after a server start.
    try:
        inspect.signature(ClientSession).bind(None, None, **value)
    except TypeError as exc:
        raise TypeError(f"Invalid session_kwargs for ClientSession: {exc}") from None
    return value


def _leaves(error: BaseException, whole: BaseException | None) -> list[BaseException]:
    """The exceptions inside nested groups; ``whole`` counts as one, even when it is a group."""
    if isinstance(error, BaseExceptionGroup) and error is not whole:
        return [leaf for inner in error.exceptions for leaf in _leaves(inner, whole)]
    return [error]


def _real_outcome(group: BaseExceptionGroup, block_error: BaseException | None, ran: bool) -> BaseException | None:
    """What a session's exception group stands for, once teardown noise is set aside.

    The SDK's transports and sessions run on anyio task groups, which wrap an
    exception raised in the caller's block in exception groups on its way out,
    and which let a stream error raised while they close replace a cancellation.
    The caller's own exception, or its cancellation, is the outcome then (None
    when the block ran to its end); a group holding any other failure of the
    SDK, or noise that was itself the failure, is returned as it is.
    """
    leaves = [leaf for leaf in _leaves(group, block_error) if leaf is not block_error]
    if any(not isinstance(leaf, _TEARDOWN_NOISE) for leaf in leaves):
        return group
    task = asyncio.current_task()
    if task is not None and task.cancelling():
        return block_error if isinstance(block_error, asyncio.CancelledError) else asyncio.CancelledError()
    if block_error is not None and not isinstance(block_error, asyncio.CancelledError):
        return block_error
    # The block ran to its end: the noise came after the work was done. Otherwise
    # the noise is all there is to say (the SDK cancelled the block over it).
    return None if ran else group


def _filter_headers(config: dict[str, Any]) -> None:
    # Replaces the entry with a new mapping, so the host's headers keep their None values.
    headers = config.get("headers", {})
    if headers:
        config["headers"] = {name: value for name, value in headers.items() if value is not None}


@asynccontextmanager
async def _client_session(
    read_stream: Any, write_stream: Any, config: Mapping[str, Any], session_kwargs: Mapping[str, Any], label: str
) -> AsyncIterator[ClientSession]:
    """Open the protocol session over a transport's two streams."""
    logger.debug("Creating new %s session with config: %s", label, masked_config(config))
    async with ClientSession(read_stream, write_stream, **session_kwargs) as session:
        yield session


async def _end_process(process: Any, graceful: bool) -> None:
    try:
        await process.stdin.aclose()
    except Exception:  # already closed or broken: the server is going anyway
        pass
    if graceful:
        with anyio.move_on_after(STDIO_EXIT_TIMEOUT):
            await process.wait()
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if process.returncode is not None:
            break
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        with anyio.move_on_after(STDIO_TERMINATE_TIMEOUT):
            await process.wait()
    await process.aclose()


async def _stop_process(process: Any, graceful: bool) -> None:
    """End a stdio server and its process group, bounded, whatever cancellations arrive meanwhile.

    After a normal exit the server gets `STDIO_EXIT_TIMEOUT` to leave once its
    input is closed; after a failure or a cancellation it is terminated at once,
    so that the caller's own bound holds. SIGKILL follows when SIGTERM has not
    ended it within `STDIO_TERMINATE_TIMEOUT`.
    The work runs in a task of its own: a shield of anyio's does not hold against
    a second `Task.cancel()`, which would leave the server running.
    """
    ending = asyncio.ensure_future(_end_process(process, graceful))
    cancelled = False
    while not ending.done():
        try:
            await asyncio.shield(ending)
        except asyncio.CancelledError:
            cancelled = True
    if cancelled:
        raise asyncio.CancelledError
    ending.result()


@asynccontextmanager
async def _stdio_transport(server: StdioServerParameters) -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's stdio transport, made to end the way the caller's block ended.

    The SDK's own transport lets a message that arrives while it closes fail
    with `BrokenResourceError`, which then replaces the caller's cancellation
    or error, and it waits for the server to exit even when cancelled. Here
    messages the closed session no longer reads are dropped, and a server is
    stopped at once when the block failed or was cancelled.
    """
    read_writer, read_stream = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    write_stream, write_reader = anyio.create_memory_object_stream[SessionMessage](0)
    env = get_default_environment()
    if server.env is not None:
        env.update(server.env)
    try:
        process = await anyio.open_process(
            [server.command, *server.args], env=env, stderr=sys.stderr, cwd=server.cwd, start_new_session=True
        )
    except BaseException:
        for stream in (read_writer, read_stream, write_stream, write_reader):
            stream.close()
        raise

    async def read_server() -> None:
        buffer = ""
        async with read_writer:
            try:
                async for chunk in TextReceiveStream(
                    process.stdout, encoding=server.encoding, errors=server.encoding_error_handler
                ):
                    *lines, buffer = (buffer + chunk).split("\n")
                    for line in lines:
                        message: SessionMessage | Exception
                        try:
                            message = SessionMessage(JSONRPCMessage.model_validate_json(line))
                        except Exception as exc:
                            message = exc  # the session reports what it cannot parse
                        await read_writer.send(message)
            except _TEARDOWN_NOISE:
                pass

    async def write_server() -> None:
        async with write_reader:
            async for message in write_reader:
                data = message.message.model_dump_json(by_alias=True, exclude_none=True) + "\n"
                try:
                    await process.stdin.send(data.encode(server.encoding, server.encoding_error_handler))
                except _TEARDOWN_NOISE:
                    # The server has gone: its closed output ends the session's
                    # pending requests; what is still sent is dropped meanwhile.
                    pass

    graceful = False
    try:
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(read_server)
            tasks.start_soon(write_server)
            try:
                yield read_stream, write_stream
                graceful = True
            finally:
                tasks.cancel_scope.cancel()
    finally:
        # Also reached when a cancellation lands right after the start.
        await _stop_process(process, graceful)
        for stream in (read_writer, read_stream, write_stream, write_reader):
            stream.close()


@asynccontextmanager
async def _create_stdio_session(config: StdioConfiguration) -> AsyncIterator[ClientSession]:
    """Create a new session to an MCP server started as a local process.

    Args:
        config: STDIO configuration
    """
    env = config["env"] if "env" in config else {}
    if not isinstance(env, Mapping):
        raise TypeError(f"env must be a mapping of str to str for stdio configuration, got {type(env).__name__}")
    if "PATH" not in env:
        env["PATH"] = os.environ.get("PATH", "")
    config["env"] = env
    if not config.get("args"):
        raise ValueError("args is required for stdio configuration")
    server_parameters = _StdioServerParameters(**_transport_kwargs(config))
    session_kwargs = _session_kwargs(config)
    # Process groups and their signals are POSIX; elsewhere the SDK's transport serves.
    transport = stdio_client(server_parameters) if sys.platform == "win32" else _stdio_transport(server_parameters)
    async with transport as (read_stream, write_stream):
        async with _client_session(read_stream, write_stream, config, session_kwargs, "stdio") as session:
            yield session


class _WatchedStream(httpx.AsyncByteStream):
    """A response body that reports the error it breaks off with before raising it."""

    def __init__(self, stream: Any, report: Callable[[Exception], None]) -> None:
        self._stream = stream
        self._report = report

    async def __aiter__(self) -> AsyncIterator[bytes]:
        try:
            async for chunk in self._stream:
                yield chunk
        except Exception as exc:
            self._report(exc)
            raise

    async def aclose(self) -> None:
        await self._stream.aclose()


def _hooked_factory(config: Mapping[str, Any], hook: Callable[[httpx.Response], Any]) -> Callable[..., httpx.AsyncClient]:
    """The configured httpx client factory (or the SDK's), its clients calling ``hook`` on each response."""
    base = config.get("httpx_client_factory") or create_mcp_http_client

    def make(**kwargs: Any) -> httpx.AsyncClient:
        client = base(**kwargs)
        client.event_hooks = {**client.event_hooks, "response": [*client.event_hooks["response"], hook]}
        return client

    return make


def _detail(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


class _AnswerWatch:
    """Fails a request whose streamable-HTTP answer breaks off.

    The SDK's transport logs and drops an error while it reads a response (the
    server died, or sent headers and then nothing until the read timeout), and
    the request then waits forever. The watch sees each request's response body
    through an httpx response hook and, when it breaks off before the answer
    came, hands the session an error answer for that request in its place.
    """

    def __init__(self, server: str) -> None:
        self._server = server
        self._broken_send, self._broken = anyio.create_memory_object_stream[tuple[Any, str, Exception]](math.inf)
        self._answered: set[Any] = set()

    async def watch(self, response: httpx.Response) -> None:
        """The httpx response hook."""
        try:
            request = json.loads(response.request.content)
            request_id, method = request["id"], request["method"]
        except Exception:  # not a JSON-RPC request: nothing waits for an answer
            return

        def report(exc: Exception) -> None:
            try:
                self._broken_send.send_nowait((request_id, method, exc))
            except _TEARDOWN_NOISE:  # the session is over; nobody waits for the answer
                pass

        response.stream = _WatchedStream(response.stream, report)

    @asynccontextmanager
    async def relay(self, source: Any) -> AsyncIterator[Any]:
        """The transport's read stream, with error answers added for broken responses."""
        sink, session_read = anyio.create_memory_object_stream[SessionMessage | Exception](0)

        async def forward(sink: Any) -> None:
            with sink, self._broken_send:
                async for message in source:
                    root = getattr(getattr(message, "message", None), "root", None)
                    if isinstance(root, (JSONRPCResponse, JSONRPCError)):
                        self._answered.add(root.id)
                    await sink.send(message)

        async def fail_broken(sink: Any) -> None:
            with sink:
                # Woken after `forward`, so an answer that did arrive is already counted.
                async for request_id, method, exc in self._broken:
                    if request_id in self._answered:
                        continue
                    error = ErrorData(
                        code=CONNECTION_CLOSED,
                        message=f"The answer of the MCP server at {self._server} to {method} broke off ({_detail(exc)})",
                    )
                    await sink.send(SessionMessage(JSONRPCMessage(JSONRPCError(jsonrpc="2.0", id=request_id, error=error))))

        async def guarded(job: Callable[[Any], Any], sink: Any) -> None:
            try:
                await job(sink)
            except _TEARDOWN_NOISE:  # the session has closed its end
                pass

        try:
            async with anyio.create_task_group() as tasks:
                tasks.start_soon(guarded, forward, sink.clone())
                tasks.start_soon(guarded, fail_broken, sink.clone())
                sink.close()
                try:
                    yield session_read
                finally:
                    tasks.cancel_scope.cancel()
        finally:
            session_read.close()
            self._broken_send.close()
            self._broken.close()


@asynccontextmanager
async def _create_sse_session(config: SseConfiguration) -> AsyncIterator[ClientSession]:
    """Create a new session to an MCP server using SSE.

    Args:
        config: SSE configuration
    """
    _filter_headers(config)
    session_kwargs = _session_kwargs(config)
    # The SDK's transport hangs for good when its event stream breaks off before
    # the server named its message endpoint: the break ends the opening here.
    opening: list[asyncio.Timeout] = []
    broken: list[Exception] = []

    def report(exc: Exception) -> None:
        broken.append(exc)
        if opening:
            opening[0].reschedule(asyncio.get_running_loop().time())

    async def watch(response: httpx.Response) -> None:
        if response.request.method == "GET":
            response.stream = _WatchedStream(response.stream, report)

    transport_kwargs = _transport_kwargs(config)
    transport_kwargs["httpx_client_factory"] = _hooked_factory(config, watch)
    async with AsyncExitStack() as stack:
        try:
            async with asyncio.timeout(None) as bound:
                opening.append(bound)
                read_stream, write_stream = await stack.enter_async_context(sse_client(**transport_kwargs))
                opening.clear()
        except TimeoutError:
            if not broken:
                raise
            message = (
                f"The event stream of the MCP server at {describe_server(config)} broke off "
                f"before the session opened ({_detail(broken[0])})"
            )
            raise McpError(ErrorData(code=CONNECTION_CLOSED, message=message)) from broken[0]
        async with _client_session(read_stream, write_stream, config, session_kwargs, "sse") as session:
            yield session


@asynccontextmanager
async def _create_streamable_http_session(config: StreamConfiguration) -> AsyncIterator[ClientSession]:
    """Create a new session to an MCP server using Streamable HTTP.

    Args:
        config: Streamable HTTP configuration
    """
    _filter_headers(config)
    session_kwargs = _session_kwargs(config)
    watch = _AnswerWatch(describe_server(config))
    transport_kwargs = _transport_kwargs(config)
    transport_kwargs["httpx_client_factory"] = _hooked_factory(config, watch.watch)
    # The SDK marks this transport deprecated in favour of its 2.x successor;
    # the warning fires synchronously on the call, so the filter covers exactly it.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        transport = streamablehttp_client(**transport_kwargs)
    async with transport as (read_stream, write_stream, _):
        async with watch.relay(read_stream) as session_read:
            async with _client_session(session_read, write_stream, config, session_kwargs, "streamable http") as session:
                yield session


@asynccontextmanager
async def create_session(config: MCPConfiguration) -> AsyncIterator[ClientSession]:
    """Open a protocol session to the MCP server that ``config`` describes.

    The transport is chosen from the configuration: a "command" key or the
    transport "stdio" selects stdio; a "url" with the transport "sse" selects
    HTTP with server-sent events; any other "url" selects streamable HTTP.
    The yielded `ClientSession` is not initialised: await its ``initialize``
    before the first request. Leaving the block closes the session and then
    the transport. An exception raised in the block reaches the caller as it
    was raised, not wrapped in the exception groups of the SDK's task groups,
    and a cancellation stays a cancellation: errors of the SDK's streams while
    they close never take the place of either. Failures of the SDK itself pass
    through as the SDK raises them. A streamable-HTTP answer, or an SSE event
    stream still opening, that breaks off (the server died, or stopped sending
    until the read timeout) fails with an `McpError` naming the server.

    Args:
        config: The server's configuration.

    Raises:
        ValueError: No transport fits the configuration ("Invalid
            configuration: ..." with credentials masked), or a stdio
            configuration has no "args".
        TypeError: The configuration is not a mapping.
    """
    if not isinstance(config, Mapping):
        raise TypeError(f"MCP server configuration must be a mapping, got {type(config).__name__}")
    logger.debug("Creating session with config: %s", masked_config(config))
    factory: Any
    if "command" in config or config.get("transport") == STDIO_TRANSPORT:
        logger.debug("Creating stdio session")
        factory = _create_stdio_session
    elif "url" in config and config.get("transport") == SSE_TRANSPORT:
        logger.debug("Creating sse session")
        factory = _create_sse_session
    elif "url" in config:
        logger.debug("Creating streamable http session")
        factory = _create_streamable_http_session
    else:
        raise ValueError(f"Invalid configuration: {masked_config(config)}")
    server_config = _exclude_keys(cast(dict, config))
    block_error: BaseException | None = None
    outcome: BaseException | None = None
    ran = False
    try:
        async with factory(server_config) as session:
            try:
                yield session
                ran = True
            except BaseException as exc:
                block_error = exc
                raise
    except BaseExceptionGroup as group:
        outcome = _real_outcome(group, block_error, ran)
        if outcome is group:
            raise
    if outcome is not None:
        # Raised outside the handler so that the error keeps its own context.
        raise outcome
