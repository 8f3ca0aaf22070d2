"""Serve a fake MCP server over HTTP (SSE or streamable HTTP) on 127.0.0.1.

`serve_http` runs uvicorn on an ephemeral port in a background thread, waits
(bounded) until it accepts connections, yields the base URL and shuts the
server down when the block ends.
"""

from __future__ import annotations

import socket
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager

import uvicorn
from starlette.types import ASGIApp

STARTUP_TIMEOUT = 10.0
SHUTDOWN_TIMEOUT = 10.0


@contextmanager
def serve_http(app: ASGIApp) -> Iterator[str]:
    """Serve ``app`` on 127.0.0.1 and yield its base URL ("http://127.0.0.1:PORT")."""
    config = uvicorn.Config(
        app,
        host="127.0.0.1",
        port=0,
        log_level="warning",
        lifespan="on",
        timeout_graceful_shutdown=2,
    )
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, name="fake-mcp-http", daemon=True)
    thread.start()
    deadline = time.monotonic() + STARTUP_TIMEOUT
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            server.should_exit = True
            thread.join(SHUTDOWN_TIMEOUT)
            raise RuntimeError("fake MCP HTTP server did not start")
        time.sleep(0.01)
    port = server.servers[0].sockets[0].getsockname()[1]
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(SHUTDOWN_TIMEOUT)
        if thread.is_alive():
            server.force_exit = True
            thread.join(SHUTDOWN_TIMEOUT)


@contextmanager
def serve_stalling(cut: bool = False) -> Iterator[str]:
    """A server that answers every request with event-stream headers and then nothing.

    Yields its base URL. Connections are held open until the block ends; with
    ``cut`` the answer ends right after the headers, as when a server dies mid-answer.
    """
    listener = socket.create_server(("127.0.0.1", 0))
    held: list[socket.socket] = []
    stop = threading.Event()

    def accept() -> None:
        listener.settimeout(0.1)
        while not stop.is_set():
            try:
                connection, _ = listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            held.append(connection)
            connection.sendall(b"HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ntransfer-encoding: chunked\r\n\r\n")
            if cut:
                connection.shutdown(socket.SHUT_WR)  # closed for writing, so no reset races the headers

    thread = threading.Thread(target=accept, name="fake-mcp-stall", daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}"
    finally:
        stop.set()
        thread.join(SHUTDOWN_TIMEOUT)
        listener.close()
        for connection in held:
            connection.close()
