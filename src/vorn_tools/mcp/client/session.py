"""MCP session factory.

`create_session` opens one protocol session to one configured MCP server over
stdio, HTTP with server-sent events or streamable HTTP. Every entry opens a
fresh transport and session; nothing is pooled or reused.
"""

import inspect
import logging
import os
import warnings
from collections.abc import Mapping
from contextlib import asynccontextmanager
from datetime import timedelta
from typing import Any, AsyncIterator, cast

from mcp import ClientSession, StdioServerParameters, stdio_client
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamablehttp_client
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


class _StdioServerParameters(StdioServerParameters):
    """The SDK's stdio parameters, whose validation errors omit the input.

    A missing "command" would otherwise render the whole input mapping, the
    server's environment included, into the error text.
    """

    model_config = ConfigDict(hide_input_in_errors=True, title="StdioServerParameters")


def masked_config(config: Mapping[str, Any]) -> dict[str, Any]:
    """Return a copy of ``config`` safe to put in a log record or an error text.

    The keys of "env" and "headers" are kept; their values are replaced by
    `MASK` (a header whose value is None, and so is not sent, stays None).
    Every other entry is shown as it is.
    """
    shown = dict(config)
    for key in _MASKED_KEYS:
        value = shown.get(key)
        if value is None:
            continue
        if isinstance(value, Mapping):
            shown[key] = {name: None if item is None else MASK for name, item in value.items()}
        else:
            shown[key] = MASK
    return shown


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


def _is_wrapped(group: BaseExceptionGroup, block_error: BaseException) -> bool:
    """Whether ``group`` is nothing but ``block_error`` inside (nested) single-member groups.

    The SDK's transports and sessions run on anyio task groups, which wrap an
    exception raised in the caller's block in exception groups on its way out.
    """
    error: BaseException = group
    while isinstance(error, BaseExceptionGroup) and error is not block_error:
        if len(error.exceptions) != 1:
            return False
        error = error.exceptions[0]
    return error is block_error


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
    async with stdio_client(server_parameters) as (read_stream, write_stream):
        async with _client_session(read_stream, write_stream, config, session_kwargs, "stdio") as session:
            yield session


@asynccontextmanager
async def _create_sse_session(config: SseConfiguration) -> AsyncIterator[ClientSession]:
    """Create a new session to an MCP server using SSE.

    Args:
        config: SSE configuration
    """
    _filter_headers(config)
    session_kwargs = _session_kwargs(config)
    async with sse_client(**_transport_kwargs(config)) as (read_stream, write_stream):
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
    # The SDK marks this transport deprecated in favour of its 2.x successor;
    # the warning fires synchronously on the call, so the filter covers exactly it.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        transport = streamablehttp_client(**_transport_kwargs(config))
    async with transport as (read_stream, write_stream, _):
        async with _client_session(read_stream, write_stream, config, session_kwargs, "streamable http") as session:
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
    was raised, not wrapped in the exception groups of the SDK's task groups;
    failures of the SDK itself pass through as the SDK raises them.

    Args:
        config: The server's configuration.

    Raises:
        ValueError: No transport fits the configuration ("Invalid
            configuration: ..." with header and environment values masked), or a
            stdio configuration has no "args".
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
    unwrapped: BaseException | None = None
    try:
        async with factory(server_config) as session:
            try:
                yield session
            except BaseException as exc:
                block_error = exc
                raise
    except BaseExceptionGroup as group:
        # Only the caller's own exception is unwrapped; a failure of the SDK
        # itself (a refused connection, say) leaves as the SDK raised it.
        if block_error is None or not _is_wrapped(group, block_error):
            raise
        unwrapped = block_error
    if unwrapped is not None:
        # Raised outside the handler so that the error keeps its own context.
        raise unwrapped
