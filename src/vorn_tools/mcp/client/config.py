"""MCP server configuration records.

A configuration is a plain mapping whose keys choose a transport and
parametrise it. The classes below are ``TypedDict`` declarations for type
checkers; nothing checks a configuration when it is written, and a faulty one
is reported only when a session is opened from it.
"""

from typing import Any, Literal, TypedDict

STDIO_TRANSPORT = "stdio"
SSE_TRANSPORT = "sse"
STREAMABLE_HTTP_TRANSPORT = "streamable_http"

EncodingErrorHandler = Literal["strict", "ignore", "replace"]


class MCPConfiguration(TypedDict):
    """Base class of the MCP server configurations; not used directly by hosts.

    Attributes:
        transport: The transport to use: "stdio", "sse" or "streamable_http".
        session_kwargs: Extra keyword arguments for the protocol session
            (the MCP SDK's ``ClientSession``), or None.
    """

    transport: Literal["stdio", "sse", "streamable_http"]
    session_kwargs: dict[str, Any] | None


class StdioConfiguration(MCPConfiguration):
    """Configuration for STDIO-based MCP.

    The server is a child process that speaks the stdio transport of the MCP
    specification (revision 2025-03-26) on its standard streams.

    Attributes:
        transport: "stdio"; optional, since "command" alone selects stdio.
        command: The executable that starts the server.
        args: The server's command-line arguments; required and non-empty.
        env: The server's environment; when given without "PATH", it gains
            the host process's PATH.
        cwd: The server's working directory.
        encoding: The text encoding of the server's standard streams.
        encoding_error_handler: What to do with bytes that do not decode.
    """

    transport: Literal["stdio"]
    command: str
    args: list[str]
    env: dict[str, str]
    cwd: str
    encoding: str
    encoding_error_handler: EncodingErrorHandler


class SseConfiguration(MCPConfiguration):
    """Configuration for SSE-based MCP.

    HTTP with server-sent events, as in revision 2024-11-05 of the MCP
    specification. This transport is deprecated in favour of streamable HTTP.

    Attributes:
        transport: "sse"; required, since a URL alone selects streamable HTTP.
        url: The server's endpoint.
        headers: HTTP headers for the transport's requests; entries whose
            value is None are left out.
        timeout: HTTP timeout in seconds.
        sse_read_timeout: Read timeout of the event stream in seconds.
    """

    transport: Literal["sse"]
    url: str
    headers: dict[str, str | None]
    timeout: float | None
    sse_read_timeout: float | None


class StreamConfiguration(MCPConfiguration):
    """The configuration for connecting to a Streamable HTTP server.

    Streamable HTTP, as in revision 2025-03-26 of the MCP specification; it
    replaces the server-sent events transport.

    Attributes:
        transport: "streamable_http"; optional, a URL alone selects it.
        url: The server's endpoint.
        headers: HTTP headers for the transport's requests; entries whose
            value is None are left out.
        timeout: HTTP timeout in seconds.
        sse_read_timeout: Read timeout of the event stream in seconds.
    """

    transport: Literal["streamable_http"]
    url: str
    headers: dict[str, str | None]
    timeout: float | None
    sse_read_timeout: float | None
