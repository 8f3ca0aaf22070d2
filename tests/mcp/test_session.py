"""Session factory: transport selection, key handling and masking, against the real fake server."""

from __future__ import annotations

import json
import logging
import os
import sys

import pytest
from mcp.types import Implementation
from pydantic import ValidationError

from tests.fakes.mcp_server import stdio_config
from vorn_tools.mcp.client.session import MASK, _exclude_keys, create_session, masked_config

SESSION_LOGGER = "vorn_tools.mcp.client.session"
SECRET = "sk-live-0123456789abcdef"


async def call_text(config: dict, tool: str, arguments: dict | None = None) -> str:
    async with create_session(config) as session:
        await session.initialize()
        result = await session.call_tool(tool, arguments or {})
    return result.content[0].text


def chosen_transport(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == SESSION_LOGGER and r.getMessage().startswith("Creating") and r.getMessage().endswith("session")
    ]


@pytest.mark.parametrize(
    ("extra", "expected"),
    [
        ({}, "Creating stdio session"),
        # "command" decides before "url", whatever the transport says.
        ({"url": "http://127.0.0.1:9/sse", "transport": "sse"}, "Creating stdio session"),
        ({"transport": "stdio"}, "Creating stdio session"),
    ],
)
async def test_stdio_selected_by_command(extra, expected, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOGGER)
    assert await call_text(stdio_config(**extra), "add", {"a": 2, "b": 40}) == "42"
    assert chosen_transport(caplog) == [expected]


@pytest.mark.parametrize(
    ("transport", "expected"),
    [
        ("sse", "Creating sse session"),
        (None, "Creating streamable http session"),
        ("streamable_http", "Creating streamable http session"),
        ("SSE", "Creating streamable http session"),
    ],
)
async def test_http_transport_selection(transport, expected, sse_url, streamable_http_url, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOGGER)
    config = {"url": sse_url if transport == "sse" else streamable_http_url}
    if transport is not None:
        config["transport"] = transport
    assert await call_text(config, "add", {"a": 1, "b": 1}) == "2"
    assert chosen_transport(caplog) == [expected]
    assert config.get("transport") == transport  # the host's mapping keeps its key


@pytest.mark.parametrize(
    "config",
    [{}, {"transport": "sse"}, {"transport": "streamable_http"}, {"session_kwargs": None}],
)
async def test_configuration_without_transport_is_refused(config):
    with pytest.raises(ValueError) as caught:
        async with create_session(config):
            pass
    assert str(caught.value) == f"Invalid configuration: {config}"


@pytest.mark.parametrize("args", [None, [], "missing"])
async def test_stdio_without_args_is_refused(args):
    config = {"command": sys.executable}
    if args != "missing":
        config["args"] = args
    with pytest.raises(ValueError, match="^args is required for stdio configuration$"):
        async with create_session(config):
            pass


@pytest.mark.parametrize(
    ("config", "message"),
    [
        (None, "MCP server configuration must be a mapping, got NoneType"),
        ({"command": "x", "args": ["y"], "env": ["PATH=/bin"]}, "env must be a mapping"),
        ({"command": "x", "args": ["y"], "session_kwargs": ["client_info"]}, "session_kwargs must be a mapping"),
    ],
)
async def test_malformed_configuration_names_the_fault(config, message):
    with pytest.raises(TypeError, match=message):
        async with create_session(config):
            pass


async def test_stdio_server_gets_configured_env_and_host_path(monkeypatch):
    monkeypatch.setenv("PATH", os.environ["PATH"] + os.pathsep + "/vorn/test/bin")
    env = {"VORN_FAKE": "configured"}
    config = stdio_config(env=env)
    assert await call_text(config, "echo_env", {"name": "VORN_FAKE"}) == "configured"
    assert await call_text(config, "echo_env", {"name": "PATH"}) == os.environ["PATH"]
    # The host's own env mapping gained PATH; an existing PATH is left alone.
    assert env["PATH"] == os.environ["PATH"]

    config = stdio_config(env={"PATH": os.environ["PATH"] + os.pathsep + "/explicit"})
    assert (await call_text(config, "echo_env", {"name": "PATH"})).endswith("/explicit")


async def test_stdio_without_env_passes_host_path_and_leaves_config_alone(monkeypatch):
    monkeypatch.setenv("PATH", os.environ["PATH"] + os.pathsep + "/vorn/no-env")
    config = stdio_config()
    assert await call_text(config, "echo_env", {"name": "PATH"}) == os.environ["PATH"]
    assert "env" not in config


@pytest.mark.parametrize("transport", ["sse", "streamable_http"])
async def test_headers_reach_http_server_without_none_values(transport, make_config):
    headers = {"X-Vorn-Token": "abc", "X-Vorn-Empty": "", "X-Vorn-Dropped": None}
    config = make_config(transport, headers=headers)
    received = json.loads(await call_text(config, "show_headers"))
    assert received["x-vorn-token"] == "abc"
    assert received["x-vorn-empty"] == ""
    assert "x-vorn-dropped" not in received
    assert headers == {"X-Vorn-Token": "abc", "X-Vorn-Empty": "", "X-Vorn-Dropped": None}


async def test_session_kwargs_reach_client_session_on_every_transport(transport, make_config):
    session_kwargs = {"client_info": Implementation(name="vorn-test-client", version="9.9")}
    config = make_config(transport, session_kwargs=session_kwargs)
    assert await call_text(config, "client_name") == "vorn-test-client"


async def test_unknown_session_kwarg_fails_clearly(transport, make_config):
    config = make_config(transport, session_kwargs={"no_such_option": 1})
    with pytest.raises(TypeError, match="^Invalid session_kwargs for ClientSession: .*'no_such_option'"):
        async with create_session(config):
            pass


class BlockError(Exception):
    pass


@pytest.mark.parametrize(
    "error",
    [BlockError("raised by the caller"), ExceptionGroup("the caller's own group", [BlockError("inner")])],
    ids=["plain", "group"],
)
async def test_error_in_block_leaves_unwrapped_after_close(error, transport, make_config):
    with pytest.raises(type(error)) as caught:
        async with create_session(make_config(transport)) as session:
            await session.initialize()
            raise error
    assert caught.value is error


async def test_exclude_keys_copies_shallowly():
    headers = {"a": "b"}
    config = {"transport": "sse", "url": "u", "headers": headers}
    copy = _exclude_keys(config)
    assert copy == {"url": "u", "headers": headers} and copy["headers"] is headers
    assert config["transport"] == "sse"
    assert _exclude_keys(config, set()) == config and _exclude_keys(config, set()) is not config


def test_masked_config_keeps_keys_and_hides_values():
    config = {
        "url": "http://127.0.0.1/mcp",
        "headers": {"Authorization": f"Bearer {SECRET}", "X-Dropped": None},
        "env": {"API_KEY": SECRET},
        "args": ["server.py"],
    }
    shown = masked_config(config)
    assert shown == {
        "url": "http://127.0.0.1/mcp",
        "headers": {"Authorization": MASK, "X-Dropped": None},
        "env": {"API_KEY": MASK},
        "args": ["server.py"],
    }
    assert config["env"] == {"API_KEY": SECRET}
    assert masked_config({"env": "API_KEY=" + SECRET})["env"] == MASK


async def test_secrets_never_reach_logs_or_errors(transport, make_config, caplog):
    caplog.set_level(logging.DEBUG)
    config = make_config(transport, headers={"Authorization": f"Bearer {SECRET}"}, env={"API_KEY": SECRET})
    if transport != "stdio":
        del config["env"]  # the HTTP transports take no environment
    async with create_session(config) as session:
        await session.initialize()
    config_records = [r.getMessage() for r in caplog.records if "with config" in r.getMessage()]
    assert len(config_records) == 2 and all(MASK in message for message in config_records)

    invalid = {"transport": "sse", "headers": {"Authorization": SECRET}, "env": {"API_KEY": SECRET}}
    with pytest.raises(ValueError) as caught:
        async with create_session(invalid):
            pass
    assert "'Authorization': '***'" in str(caught.value) and "'API_KEY': '***'" in str(caught.value)

    # The SDK's own validation error for a stdio configuration without a command.
    with pytest.raises(ValidationError) as caught:
        async with create_session({"transport": "stdio", "args": ["x"], "env": {"API_KEY": SECRET}}):
            pass
    assert "command" in str(caught.value)

    texts = [str(caught.value)] + [r.getMessage() for r in caplog.records]
    assert not [text for text in texts if SECRET in text]
