"""A small MCP server to try the vorn_tools MCP client with.

Run it over stdio (the client starts it for you):

    {"command": sys.executable, "args": ["examples/mcp_server.py"]}

or over streamable HTTP on 127.0.0.1:8000/mcp with ``--http``.
"""

from __future__ import annotations

import sys

from mcp.server.fastmcp import FastMCP
from mcp.types import ToolAnnotations

server = FastMCP(name="vorn-example", log_level="WARNING")


@server.tool(annotations=ToolAnnotations(readOnlyHint=True))
def add(a: float, b: float) -> str:
    """Add two numbers and return the sum."""
    return f"{a + b:g}"


@server.tool(annotations=ToolAnnotations(readOnlyHint=True))
def word_count(text: str) -> str:
    """Count the words of a text."""
    return str(len(text.split()))


@server.resource("example://about", name="about", description="What this server is", mime_type="text/plain")
def about() -> str:
    return "vorn-example: a demonstration MCP server with two tools (add, word_count)."


if __name__ == "__main__":
    server.run("streamable-http" if "--http" in sys.argv[1:] else "stdio")
