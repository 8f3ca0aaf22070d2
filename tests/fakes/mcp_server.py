"""A small real MCP server for the MCP client tests, built on the SDK's FastMCP.

Run it as a stdio server with ``python tests/fakes/mcp_server.py [options]``,
or serve `build_server()`'s ``sse_app()`` / ``streamable_http_app()`` over HTTP
(see `tests.fakes.mcp_http`). It can misbehave on request:

``--fail-list``      the tools and resources listings answer with an error;
``--slow-list S``    the listings take S seconds;
``--pid-file PATH``  the process writes its pid to PATH once it has started;
``--wait-for PATH``  the listings wait until PATH exists (repeatable; at most a minute);
``--page-size N``    the listings come in pages of N (``--endless`` pages forever);
``--linger``         ignore SIGTERM and stay on after the client closed its input.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import json
import os
import signal
import sys
import time
from collections.abc import Iterable
from typing import Any

from mcp.server.fastmcp import Context, FastMCP
from mcp.server.lowlevel.helper_types import ReadResourceContents
from mcp.types import (
    CallToolResult,
    EmbeddedResource,
    ImageContent,
    ListResourcesRequest,
    ListResourcesResult,
    ListToolsRequest,
    ListToolsResult,
    Resource,
    TextContent,
    TextResourceContents,
    Tool,
    ToolAnnotations,
)

# A 1x1 PNG, so the image content is a real image.
PIXEL_PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg=="
)
PIXEL_B64 = base64.b64encode(PIXEL_PNG).decode()
BLOB_BYTES = bytes(range(256))
GREETING = "hello from the fake server"


class FakeMCP(FastMCP):
    """FastMCP with switchable listing failures and a multi-item resource."""

    def __init__(
        self,
        *,
        fail_list: bool = False,
        slow_list: float = 0.0,
        wait_for: Iterable[str] = (),
        page_size: int = 0,
        endless: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(**kwargs)
        self.fail_list = fail_list
        self.slow_list = slow_list
        self.wait_for = list(wait_for)
        self.page_size = page_size
        self.endless = endless
        if page_size:
            self._mcp_server.list_tools()(self._tools_page)
            self._mcp_server.list_resources()(self._resources_page)

    async def _listing_delay(self) -> None:
        if self.slow_list:
            await asyncio.sleep(self.slow_list)
        for _ in range(6000):
            if all(os.path.exists(path) for path in self.wait_for):
                break
            await asyncio.sleep(0.01)
        if self.fail_list:
            raise RuntimeError("listing refused by the fake server")

    def _page(self, items: list[Any], cursor: str | None) -> tuple[list[Any], str | None]:
        start = int(cursor or 0)
        end = start + self.page_size
        if self.endless:
            return items[:1], str(end)
        return items[start:end], str(end) if end < len(items) else None

    async def _tools_page(self, request: ListToolsRequest) -> ListToolsResult:
        items, cursor = self._page(await self.list_tools(), request.params.cursor if request.params else None)
        return ListToolsResult(tools=items, nextCursor=cursor)

    async def _resources_page(self, request: ListResourcesRequest) -> ListResourcesResult:
        items, cursor = self._page(await self.list_resources(), request.params.cursor if request.params else None)
        return ListResourcesResult(resources=items, nextCursor=cursor)

    async def list_tools(self) -> list[Tool]:
        await self._listing_delay()
        return await super().list_tools()

    async def list_resources(self) -> list[Resource]:
        await self._listing_delay()
        # FastMCP states no sizes; the blob states its own.
        listed = await super().list_resources()
        return [item.model_copy(update={"size": len(BLOB_BYTES)}) if item.name == "bytes" else item for item in listed]

    async def read_resource(self, uri: Any) -> Iterable[ReadResourceContents]:
        if str(uri) == "multi://two":
            return [
                ReadResourceContents(content="first", mime_type="text/plain"),
                ReadResourceContents(content="second", mime_type="text/plain"),
            ]
        if str(uri) == "none://contents":
            return []
        if str(uri) == "slow://resource":
            await asyncio.sleep(30)
        return await super().read_resource(uri)


def build_server(**switches: Any) -> FakeMCP:
    """Build the fake server with its tools and resources; ``switches`` as for `FakeMCP`."""
    server = FakeMCP(name="vorn-fake", log_level="WARNING", **switches)

    @server.tool(annotations=ToolAnnotations(title="Adder", readOnlyHint=True))
    def add(a: int, b: int) -> str:
        """Add two integers."""
        return str(a + b)

    @server.tool()
    def echo_env(name: str) -> str:
        """Return the value of an environment variable of the server process."""
        return os.environ.get(name, "<unset>")

    @server.tool()
    def show_headers(ctx: Context) -> str:
        """Return the HTTP request headers the server received, as JSON."""
        request = ctx.request_context.request
        headers = {} if request is None else dict(request.headers)
        return json.dumps(headers)

    @server.tool()
    def client_name(ctx: Context) -> str:
        """Return the client name sent in the initialisation exchange."""
        params = ctx.session.client_params
        return params.clientInfo.name if params else "<unknown>"

    @server.tool()
    def picture() -> CallToolResult:
        """Return a text, an image and an embedded resource."""
        return CallToolResult(
            content=[
                TextContent(type="text", text="a red pixel"),
                ImageContent(type="image", data=PIXEL_B64, mimeType="image/png"),
                EmbeddedResource(
                    type="resource",
                    resource=TextResourceContents(uri="memo://note", mimeType="text/plain", text="a note"),
                ),
            ]
        )

    @server.tool()
    def two_texts() -> CallToolResult:
        """Return two texts and an image."""
        return CallToolResult(
            content=[
                TextContent(type="text", text="one"),
                ImageContent(type="image", data=PIXEL_B64, mimeType="image/png"),
                TextContent(type="text", text="two"),
            ]
        )

    @server.tool()
    def image_only() -> CallToolResult:
        """Return an image and nothing else."""
        return CallToolResult(content=[ImageContent(type="image", data=PIXEL_B64, mimeType="image/png")])

    @server.tool()
    def nothing() -> CallToolResult:
        """Return no content at all."""
        return CallToolResult(content=[])

    @server.tool()
    def refuse(texts: list[str]) -> CallToolResult:
        """Return an error result holding the given texts and an image."""
        content: list[Any] = [TextContent(type="text", text=text) for text in texts]
        content.append(ImageContent(type="image", data=PIXEL_B64, mimeType="image/png"))
        return CallToolResult(content=content, isError=True)

    @server.tool()
    def boom() -> str:
        """Raise inside the tool."""
        raise ValueError("the tool exploded")

    @server.resource("text://greeting", name="greeting", description="A greeting", mime_type="text/plain")
    def greeting() -> str:
        return GREETING

    @server.resource("blob://bytes", name="bytes", mime_type="application/octet-stream")
    def blob() -> bytes:
        return BLOB_BYTES

    @server.resource("text://empty", name="empty", mime_type="text/plain")
    def empty() -> str:
        return ""

    @server.resource("multi://two", name="two-items", mime_type="text/plain")
    def two_items() -> str:
        return "replaced by FakeMCP.read_resource"

    @server.resource("slow://resource", name="slow")
    def slow() -> str:
        return "too late"

    @server.resource("none://contents", name="no-contents")
    def no_contents() -> str:
        return "replaced by FakeMCP.read_resource"

    return server


def stdio_config(*server_args: str, **extra: Any) -> dict[str, Any]:
    """A client configuration that starts this server over stdio with ``server_args``."""
    return {"command": sys.executable, "args": [os.path.abspath(__file__), *server_args], **extra}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fail-list", action="store_true")
    parser.add_argument("--slow-list", type=float, default=0.0)
    parser.add_argument("--pid-file")
    parser.add_argument("--wait-for", action="append", default=[])
    parser.add_argument("--page-size", type=int, default=0)
    parser.add_argument("--endless", action="store_true")
    parser.add_argument("--token", help="ignored: stands for a credential on the command line")
    parser.add_argument("--linger", action="store_true")
    options = parser.parse_args(argv)
    if options.linger:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if options.pid_file:
        with open(options.pid_file, "w") as handle:
            handle.write(str(os.getpid()))
    build_server(
        fail_list=options.fail_list,
        slow_list=options.slow_list,
        wait_for=options.wait_for,
        page_size=options.page_size,
        endless=options.endless,
    ).run("stdio")
    if options.linger:
        time.sleep(600)


if __name__ == "__main__":
    main(sys.argv[1:])
