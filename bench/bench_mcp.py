"""Latency of one LangChain tool call through LangchainMCPClient, against the raw MCP SDK floor.

Both sides open, initialise and close a fresh session per call, the same way:
over stdio (a new server process per call) and over streamable HTTP (a local
uvicorn server on 127.0.0.1). Prints medians of 50 calls and their ratio.

    .venv/bin/python bench/bench_mcp.py [--runs 50]
"""

from __future__ import annotations

import argparse
import asyncio
import importlib.util
import logging
import statistics
import sys
import threading
import time
import warnings
from collections.abc import Awaitable, Callable
from pathlib import Path

import uvicorn
from mcp import ClientSession, StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamablehttp_client

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from bench._quick import brief  # noqa: E402
from vorn_tools.mcp.client.langchain import LangchainMCPClient  # noqa: E402

EXAMPLE_SERVER = ROOT / "examples" / "mcp_server.py"
ARGUMENTS = {"a": 2, "b": 40}


def load_example_app():
    # The SDK's server logs a harmless error each time a client ends its session.
    logging.getLogger("mcp.server.streamable_http").setLevel(logging.CRITICAL)
    spec = importlib.util.spec_from_file_location("vorn_example_mcp_server", EXAMPLE_SERVER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.server.streamable_http_app()


class HttpServer:
    """The example server over streamable HTTP on an ephemeral port, in a background thread."""

    def __enter__(self) -> str:
        config = uvicorn.Config(load_example_app(), host="127.0.0.1", port=0, log_level="warning")
        self.server = uvicorn.Server(config)
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 10
        while not self.server.started:
            if time.monotonic() > deadline:
                raise RuntimeError("example server did not start")
            time.sleep(0.01)
        port = self.server.servers[0].sockets[0].getsockname()[1]
        return f"http://127.0.0.1:{port}/mcp"

    def __exit__(self, *exc_info) -> None:
        self.server.should_exit = True
        self.thread.join(10)


async def raw_stdio_call() -> None:
    parameters = StdioServerParameters(command=sys.executable, args=[str(EXAMPLE_SERVER)])
    async with stdio_client(parameters) as (read_stream, write_stream):
        async with ClientSession(read_stream, write_stream) as session:
            await session.initialize()
            await session.call_tool("add", ARGUMENTS)


def raw_http_call(url: str) -> Callable[[], Awaitable[None]]:
    async def call() -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            transport = streamablehttp_client(url=url)
        async with transport as (read_stream, write_stream, _):
            async with ClientSession(read_stream, write_stream) as session:
                await session.initialize()
                await session.call_tool("add", ARGUMENTS)

    return call


async def langchain_call(config: dict) -> Callable[[], Awaitable[None]]:
    tools = await LangchainMCPClient({"example": config}).get_tools("example")
    add = next(tool for tool in tools if tool.name == "add")

    async def call() -> None:
        await add.ainvoke(ARGUMENTS)

    return call


async def measure(raw: Callable[[], Awaitable[None]], ours: Callable[[], Awaitable[None]], runs: int) -> tuple[float, float]:
    """Median seconds of each, calls interleaved so that drift hits both alike."""
    for _ in range(brief(3, 0)):
        await raw()
        await ours()
    raw_times, our_times = [], []
    for _ in range(runs):
        for call, times in ((raw, raw_times), (ours, our_times)):
            start = time.perf_counter()
            await call()
            times.append(time.perf_counter() - start)
    return statistics.median(raw_times), statistics.median(our_times)


def report(name: str, raw: float, ours: float) -> None:
    print(f"{name:16s} raw SDK floor {raw * 1000:8.2f} ms   LangchainMCPClient {ours * 1000:8.2f} ms   ratio {ours / raw:5.3f}x")


async def main(runs: int) -> None:
    print(f"median of {runs} calls, each opening, initialising and closing its own session")
    stdio_config = {"command": sys.executable, "args": [str(EXAMPLE_SERVER)]}
    report("stdio", *await measure(raw_stdio_call, await langchain_call(stdio_config), runs))
    with HttpServer() as url:
        report("streamable HTTP", *await measure(raw_http_call(url), await langchain_call({"url": url}), runs))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=brief(50, 1))
    asyncio.run(main(parser.parse_args().runs))
