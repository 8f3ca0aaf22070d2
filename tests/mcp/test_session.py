"""Session factory against the real fake server: transport choice, keys, environment, masking."""

import asyncio
import copy
import json
import logging
import os
import sys
from datetime import timedelta

import pytest
from mcp import McpError, stdio_client
from mcp.types import Implementation
from pydantic import AnyUrl, ValidationError

from tests.fakes.mcp_http import serve_stalling
from vorn_tools.mcp.client import session as session_module
from vorn_tools.mcp.client.session import create_session

SESSION_LOGGER = "vorn_tools.mcp.client.session"
SECRET = "sk-live-0123456789abcdef"
DEAD_URL = "http://127.0.0.1:9/mcp"  # the discard port: nothing listens there


@pytest.mark.parametrize(("transport", "extra", "expected"), [
    ("stdio", {"env": {"API_KEY": SECRET}}, "stdio"),
    # "command" decides before "url", whatever the transport says; an explicit PATH is kept.
    ("stdio", {"url": DEAD_URL, "transport": "sse", "env": {"API_KEY": SECRET, "PATH": "/explicit"}}, "stdio"),
    ("sse", {}, "sse"),
    ("streamable_http", {"transport": None}, "streamable http"),  # None removes the key
    ("streamable_http", {}, "streamable http"),
    ("streamable_http", {"transport": "SSE"}, "streamable http"),
])  # fmt: skip
async def test_configuration_picks_the_transport_and_reaches_the_server_but_not_the_logs(transport, extra, expected, make_config, caplog):
    caplog.set_level(logging.DEBUG)
    headers = {"Authorization": f"Bearer {SECRET}", "X-Vorn-Empty": "", "X-Vorn-Dropped": None}
    session_kwargs = {"client_info": Implementation(name="vorn-test-client", version="9.9")}  # reaches the ClientSession
    config = make_config(transport, headers=dict(headers), session_kwargs=session_kwargs)
    config = {key: value for key, value in {**config, **copy.deepcopy(extra)}.items() if value is not None}
    if transport == "stdio":
        config["args"] += [f"--token={SECRET}"]
    else:
        config["url"] += f"?api_key={SECRET}"
    before = dict(config)  # "transport" and every other key stay in the host's mapping
    async with create_session(config) as session:
        await session.initialize()
        calls = [("client_name", {}), ("echo_env", {"name": "API_KEY"}) if transport == "stdio" else ("show_headers", {})]
        name, seen = [(await session.call_tool(*call)).content[0].text for call in calls]
    if transport == "stdio":
        # The configured variable reaches the server, and a missing PATH is added to the host's own mapping.
        assert (seen, config["env"]["PATH"]) == (SECRET, extra["env"].get("PATH", os.environ["PATH"]))
    else:
        received = json.loads(seen)
        assert (received["authorization"], received["x-vorn-empty"], "x-vorn-dropped" in received) == (f"Bearer {SECRET}", "", False)
    assert (name, config, config["headers"]) == ("vorn-test-client", before, headers)
    messages = [r.getMessage() for r in caplog.records if r.name == SESSION_LOGGER]
    assert [message for message in messages if message.endswith(" session")] == [f"Creating {expected} session"]
    shown = [message for message in messages if "with config" in message]
    assert len(shown) == 2 and all("'Authorization': '***'" in message for message in shown)
    assert all(("--token=***" if transport == "stdio" else "api_key=***") in message for message in shown)
    # The library's own records; httpx logs request URLs itself, as it always does.
    assert not [r for r in caplog.records if r.name.startswith("vorn_tools") and SECRET in r.getMessage()]


@pytest.mark.parametrize(("config", "error", "message"), [
    ({}, ValueError, r"^Invalid configuration: \{\}$"),
    ({"transport": "sse", "headers": {"Authorization": SECRET}}, ValueError, r"^Invalid configuration: .*'Authorization': '\*\*\*'"),
    ({"transport": "streamable_http", "env": {"KEY": SECRET}}, ValueError, r"^Invalid configuration: .*'KEY': '\*\*\*'"),
    ({"command": sys.executable, "args": []}, ValueError, "^args is required for stdio configuration$"),
    ({"transport": "stdio", "args": None}, ValueError, "^args is required for stdio configuration$"),
    # The SDK's own validation of a stdio configuration without a command; values stay hidden.
    ({"transport": "stdio", "args": ["x"], "env": {"PATH": "/bin", "KEY": SECRET}}, ValidationError, "command"),
    (None, TypeError, "^MCP server configuration must be a mapping, got NoneType$"),
    ({"command": "x", "args": ["y"], "env": ["PATH=/bin"]}, TypeError, "^env must be a mapping"),
    ({"command": "x", "args": ["y"], "session_kwargs": ["client_info"]}, TypeError, "^session_kwargs must be a mapping"),
    # Refused before anything starts or connects, on every transport.
    ({"command": "x", "args": ["y"], "session_kwargs": {"nope": 1}}, TypeError, "^Invalid session_kwargs for ClientSession: .*'nope'"),
    ({"url": DEAD_URL, "session_kwargs": {"nope": 1}}, TypeError, "^Invalid session_kwargs for ClientSession: .*'nope'"),
])  # fmt: skip
async def test_invalid_configuration_is_refused_on_entry(config, error, message):
    with pytest.raises(error, match=message) as caught:
        async with create_session(config):
            pytest.fail("the block must not run")
    assert SECRET[-8:] not in str(caught.value)  # not even a truncated rendering of it


class BlockError(Exception):
    pass


@pytest.mark.parametrize("transport", ["stdio", "sdk stdio", "sse", "streamable_http"])
@pytest.mark.parametrize("case", ["block error", "block group", "timeout while starting", "timeout in flight", "cancel in flight", "sdk timeout"])
async def test_session_ends_with_the_outcome_of_its_block(case, transport, make_config, monkeypatch):
    # Neither the exception groups of the SDK's task groups nor the errors its streams raise
    # while they close (BrokenResourceError) may stand in for the outcome; "sdk stdio" is
    # the SDK's own stdio transport, the one used where process groups are missing.
    if transport == "sdk stdio":
        monkeypatch.setattr(session_module, "_stdio_transport", stdio_client)
    config = make_config(transport.removeprefix("sdk "))
    if case == "sdk timeout":
        config["session_kwargs"] = {"read_timeout_seconds": timedelta(seconds=0.5)}
    error = BlockError("raised") if case == "block error" else ExceptionGroup("own", [BlockError("inner")])
    limit = {"timeout while starting": 0.001, "timeout in flight": 0.5}.get(case)
    expected = {"block error": BlockError, "block group": ExceptionGroup, "cancel in flight": asyncio.CancelledError, "sdk timeout": McpError}

    async def run() -> None:
        async with create_session(config) as session:
            await session.initialize()
            if case.startswith("block"):
                raise error
            await session.read_resource(AnyUrl("slow://resource"))

    task = asyncio.create_task(asyncio.wait_for(run(), limit))
    if case == "cancel in flight":
        await asyncio.sleep(0.5)  # wherever the cancellation lands, the task ends cancelled
        task.cancel()
    with pytest.raises(expected.get(case, TimeoutError)) as caught:
        await task
    assert task.cancelled() is (case == "cancel in flight") and (caught.value is error or not case.startswith("block"))


@pytest.mark.parametrize(("transport", "cut", "message"), [
    ("streamable_http", False, r"at http://127\.0\.0\.1:\d+/mcp\?api_key=\*\*\* to initialize broke off \(ReadTimeout\)$"),
    ("sse", False, r"^The event stream of the MCP server at .*/sse\?api_key=\*\*\* broke off .*\(ReadTimeout\)$"),
    ("streamable_http", True, r"to initialize broke off \(RemoteProtocolError: peer closed connection"),
    ("sse", True, r"broke off before the session opened \(RemoteProtocolError: peer closed connection"),
])  # fmt: skip
async def test_broken_http_answer_fails_within_its_bound(transport, cut, message):
    # Headers and then nothing, or a connection cut mid-answer as when the server dies: the
    # SDK waits for good on either, so the outer limit turns a hang into a failure.
    async with asyncio.timeout(60):
        with serve_stalling(cut) as base_url, pytest.raises(McpError, match=message) as caught:
            path = "/sse" if transport == "sse" else "/mcp"
            config = {"transport": transport, "url": f"{base_url}{path}?api_key={SECRET}", "timeout": 2, "sse_read_timeout": 2}
            async with create_session(config) as session:
                await session.initialize()
    assert SECRET not in str(caught.value)
