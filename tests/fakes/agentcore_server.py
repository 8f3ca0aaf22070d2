"""A local stand-in for the Bedrock AgentCore code-interpreter data plane, on ``standin.StandIn``.

The real aiobotocore client reaches it through ``AWS_ENDPOINT_URL_BEDROCK_AGENTCORE``:
session start and stop, and "tools/invoke" for "executeCode", "writeFiles" and
"readFiles", answered with a real AWS event stream (CRC-checked binary frames,
one "result" event per run or file). Headers go out at once, the result when the
run ends; a client gone mid-run interrupts it. Each session has a directory (its
file tree: ``/files``, ``/home``, ``/tmp``... are bound from it in its sandbox, the host
read-only elsewhere; the worker starts in its ``/home/user``; the file routes refuse other
absolute paths) and one persistent ``PythonWorker``, with a process list of its own (``containers.py``). Fault routes: "start", "stop", "executeCode",
"writeFiles", "readFiles"; ``rewrite`` changes the results of an answer (a
malformed one, extra items); ``hold`` keeps a request waiting until the test
releases it (a session start the service has not yet answered), and drops it
when the client leaves meanwhile (a request that never got through);
``read_as_text`` answers "readFiles" with text resources. Answers close their
connection, so nothing is pooled.

It answers only its own run, as AWS does: each request must carry a SigV4 signature made with
the stand-in's ``credentials`` (``sigv4.py``); an unsigned or forged request is answered 403 and
does nothing, and one whose authorization header is missing or names another key is refused before
its body is read. A body over ``BODY_LIMIT`` is answered 413, and one that is not a JSON object, or whose
tool's arguments lack what the tool needs or are of other kinds, 400 saying what is wrong. A session whose
container's first process has died is answered 404 saying so.
"""

from __future__ import annotations

import asyncio
import errno
import base64
import contextlib
import json
import os
import socket
import struct
import threading
import time
import uuid
import zlib
from collections.abc import AsyncIterator, Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO
from urllib.parse import parse_qs

from starlette.responses import JSONResponse, Response

from tests.fakes.python_worker import SANDBOX_TOPS
from tests.fakes.containers import Container, start_worker
from tests.fakes.sigv4 import BODY_LIMIT, new_credentials, signed_body
from tests.fakes.standin import STARTUP_LIMIT, DropConnection, Fault, PythonWorker, Refuse, StandIn, json_object

INTERPRETER_ID = "aws.codeinterpreter.v1"
SESSION_HEADER = "x-amzn-code-interpreter-session-id"
LANGUAGES = ("python", "javascript", "typescript")
_CLOSE = {"connection": "close"}
_ERROR_TYPES = {400: "ValidationException", 403: "AccessDeniedException", 404: "ResourceNotFoundException",
                429: "ThrottlingException", 500: "InternalServerException"}
_sleep = asyncio.sleep  # kept private: tests may patch the global one


def _header(name: str, value: str) -> bytes:
    raw = value.encode()
    return struct.pack(">B", len(name)) + name.encode() + struct.pack(">BH", 7, len(raw)) + raw


def event_frame(result: dict[str, Any]) -> bytes:
    """One "result" event of the code-interpreter stream, framed as the AWS event stream."""
    headers = b"".join(_header(k, v) for k, v in (
        (":message-type", "event"), (":event-type", "result"), (":content-type", "application/json")))
    payload = json.dumps(result).encode()
    prelude = struct.pack(">II", 16 + len(headers) + len(payload), len(headers))
    message = prelude + struct.pack(">I", zlib.crc32(prelude)) + headers + payload
    return message + struct.pack(">I", zlib.crc32(message))


@dataclass
class _Rewrite(Fault):
    change: Callable[[dict[str, Any]], Any] | None = None


@dataclass
class Hold(Fault):
    """A request kept waiting: ``arrived`` is set once it is received, ``release()`` lets it go on.

    A request whose client leaves while it is held is dropped, never served.
    """

    arrived: threading.Event = field(default_factory=threading.Event)
    released: threading.Event = field(default_factory=threading.Event)
    limit: float = STARTUP_LIMIT

    def release(self) -> None:
        self.released.set()


@dataclass
class Session:
    session_id: str
    root: Path
    worker: PythonWorker
    container: Container
    stopped: bool = False

    async def open(self, path: str, write: bool = False) -> BinaryIO:
        """The session's file ``path`` (relative: in its home), opened inside the session, as its processes see
        it (``Container.open``), never on the host; one outside the session's own directories is refused."""
        return open(await self.container.open(_inside(path), write=write), "wb" if write else "rb")

    async def read(self, path: str) -> bytes:
        """The session's file ``path``, as :meth:`open` finds it, up to its size when opened (``Container.read``)."""
        return await self.container.read(_inside(path))


# What each tool's arguments hold, of which JSON kinds, and which of them it needs.
_ARGUMENTS = {"executeCode": ({"code": "a string", "language": "a string"}, ("code",)),
              "writeFiles": ({"content": "an array"}, ("content",)), "readFiles": ({"paths": "an array"}, ("paths",))}


def _check_arguments(request: dict[str, Any]) -> None:
    """Refuse (400) a tool's arguments that are not as the tool needs them, saying what is wrong."""
    if (tool := _ARGUMENTS.get(request.get("name"))) is None:
        return
    arguments = json_object(request.get("arguments") or {}, *tool, what="'arguments' of the request body")
    for number, entry in enumerate(arguments.get("content") or []):
        entry = json_object(entry, {"path": "a string", "text": "a string", "blob": "a string"}, ("path",),
                            what=f"item {number} of 'content'")
        try:
            base64.b64decode(entry.get("blob") or "", validate=True)
        except ValueError as exc:
            raise Refuse(400, f"'blob' of item {number} of 'content' is not base64: {exc}") from None
    for number, path in enumerate(arguments.get("paths") or []):
        if not isinstance(path, str):
            raise Refuse(400, f"item {number} of 'paths' is not a string: {path!r:.100}")


def _inside(path: str) -> str:
    path = os.path.normpath(path if path.startswith("/") else "/home/user/" + path)
    if path.lstrip("/").split("/", 1)[0] not in SANDBOX_TOPS:
        raise PermissionError(path)
    return path


class AgentCoreStandIn(StandIn):
    CONTAINERS = True
    """The local AgentCore service. Use :meth:`start` and :meth:`stop` (or the fixture)."""

    ROUTES = ("start", "stop", "executeCode", "writeFiles", "readFiles")
    #: The largest request body it reads (``sigv4.BODY_LIMIT``, as the ECR listener's).
    BODY_LIMIT = BODY_LIMIT

    def __init__(self, credentials: dict[str, str] | None = None) -> None:
        super().__init__()
        self.sessions: dict[str, Session] = {}
        #: The only credentials whose signature it accepts (``new_credentials()`` unless given).
        self.credentials = credentials or new_credentials()

    @property
    def endpoint(self) -> str:
        return self.url("api")

    async def _serve(self) -> None:
        async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
            await self._app(scope, receive, send)

        await self.listen("api", app)  # a plain function: uvicorn takes bound methods for ASGI2

    async def _teardown(self) -> None:
        for session in list(self.sessions.values()):
            await self._stop_session(session)

    def hang(self, route: str, seconds: float, *, after_events: int = 0, times: int = 1) -> None:
        """Go quiet for ``seconds`` once the headers and ``after_events`` events of ``route`` are sent."""
        self.add_fault(Fault(route, "hang", times, seconds=seconds, after=after_events))

    def truncate(self, route: str, *, after_events: int, times: int = 1) -> None:
        """After ``after_events`` events send half a frame, then end the body cleanly."""
        self.add_fault(Fault(route, "truncate", times, after=after_events))

    def reset(self, route: str, *, times: int = 1) -> None:
        """Read the request, then reset the connection (TCP RST) without answering."""
        self.add_fault(Fault(route, "reset", times))

    def rewrite(self, route: str, change: Callable[[dict[str, Any]], Any]) -> None:
        """Send ``change(result)`` instead of each result of the next answer of ``route`` ("start": its answer)."""
        self.add_fault(_Rewrite(route, "rewrite", 1, change=change))

    def hold(self, route: str, *, limit: float = STARTUP_LIMIT) -> Hold:
        """Keep the next request of ``route`` waiting, once received, until the test releases it.

        A held request goes on by itself after ``limit`` seconds, so a test
        that fails before releasing it leaves nothing hanging.
        """
        hold = Hold(route, "hold", 1, limit=limit)
        self.add_fault(hold)
        return hold

    def read_as_text(self, *, times: int = 1) -> None:
        """Answer the next ``times`` "readFiles" requests with each file as a text resource, not a blob."""
        self.add_fault(Fault("readFiles", "text", times))

    def live_sessions(self) -> list[str]:  # a copy first: the stand-in's thread adds sessions
        return [sid for sid, session in list(self.sessions.items()) if not session.stopped]

    def stop_sessions(self) -> None:
        """Stop every live session, as their lifetime running out would."""
        for sid in self.live_sessions():
            self.call(self._stop_session(self.sessions[sid]))

    def error_response(self, status: int, message: str, error_type: str | None = None) -> Response:
        error_type = error_type or _ERROR_TYPES.get(status)
        headers = {**_CLOSE, **({"x-amzn-ErrorType": error_type} if error_type else {})}
        return JSONResponse({"message": message}, status_code=status, headers=headers)

    # ------------------------------------------------------------------ dispatch

    async def _app(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        headers = {k.decode().lower(): v.decode() for k, v in scope["headers"]}
        body = await signed_body(self.credentials, "bedrock-agentcore", scope, headers, receive, self.BODY_LIMIT)
        if isinstance(body, tuple):
            return await self.error_response(*body)(scope, receive, send)
        parts = scope["path"].strip("/").split("/")
        query = parse_qs(scope["query_string"].decode())
        try:
            request = json_object(body or b"{}", {"name": "a string", "arguments": "an object"})
            _check_arguments(request)
        except Refuse as refusal:
            return await self.error_response(refusal.status, refusal.message)(scope, receive, send)
        if len(parts) != 4 or parts[0] != "code-interpreters":
            return await JSONResponse({"message": "no such route"}, 404, headers=_CLOSE)(scope, receive, send)
        route = request.get("name", "") if parts[2:] == ["tools", "invoke"] else parts[3]
        if route not in self.ROUTES:
            return await self.error_response(400, f"unsupported operation {route!r}")(scope, receive, send)
        if (early := await self.pre_request(route)) is not None:
            return await early(scope, receive, send)
        if (hold := self.take_fault(route, "hold")) is not None and await self._client_left(hold, receive):
            return
        if self.take_fault(route, "reset") is not None:
            # The ASGI receive callable is bound to uvicorn's request cycle, which holds the transport.
            transport = receive.__self__.transport
            transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                          struct.pack("ii", 1, 0))
            transport.abort()
            return
        if parts[1] != INTERPRETER_ID:
            return await self.error_response(404, f"code interpreter {parts[1]} not found")(scope, receive, send)
        if route == "start":
            reply = await self._start(request)
        else:
            sid = query.get("sessionId", [""])[0] if route == "stop" else headers.get(SESSION_HEADER, "")
            session = self.sessions.get(sid)
            self.record(route, {"sessionId": sid, **request})
            if session is None or session.stopped:
                reply = self.error_response(404, f"session {sid} not found")
            elif route != "stop" and not session.container.alive:
                reply = self.error_response(404, f"session {sid} has ended: its container's first process is gone")
            elif route == "stop":
                await self._stop_session(session)
                reply = JSONResponse({"codeInterpreterIdentifier": INTERPRETER_ID, "sessionId": sid,
                                      "lastUpdatedAt": time.time()}, headers=_CLOSE)
            else:
                return await self._invoke(route, session, request.get("arguments") or {}, receive, send)
        await reply(scope, receive, send)

    async def _start(self, request: dict[str, Any]) -> Response:
        self.record("start", request)
        change = getattr(self.take_fault("start", "rewrite"), "change", None)
        sid = uuid.uuid4().hex
        root = self.own(self.tmp) / sid
        (root / "files").mkdir(parents=True)
        container, worker = await start_worker(root, {})
        self.sessions[sid] = Session(sid, root, worker, container)
        answer = {"codeInterpreterIdentifier": INTERPRETER_ID, "sessionId": sid, "createdAt": time.time()}
        return JSONResponse(change(answer) if change is not None else answer, headers=_CLOSE)

    async def _stop_session(self, session: Session) -> None:
        session.stopped = True
        await session.container.kill()
        await session.worker.kill()
        self.remove(session.root)

    # ------------------------------------------------------------------- invoke

    async def _invoke(self, tool: str, session: Session, arguments: dict[str, Any], receive: Any, send: Any) -> None:
        if tool == "executeCode" and arguments.get("language") not in LANGUAGES:
            reply = self.error_response(400, f"language must be one of {LANGUAGES}")
            return await reply({"type": "http"}, receive, send)
        results = {"executeCode": self._execute, "writeFiles": self._write, "readFiles": self._read}[tool]
        await send({"type": "http.response.start", "status": 200, "headers": [
            (b"content-type", b"application/vnd.amazon.eventstream"), (b"connection", b"close"),
            (SESSION_HEADER.encode(), session.session_id.encode())]})
        body = asyncio.ensure_future(self._send_events(tool, results(session, arguments), send))
        gone = asyncio.ensure_future(self._until_disconnect(receive))
        done, pending = await asyncio.wait({body, gone}, return_when=asyncio.FIRST_COMPLETED)
        for task in pending:  # a client gone mid-run cancels the run, which interrupts the cell
            task.cancel()
        await asyncio.gather(*pending, return_exceptions=True)
        if body in done:
            body.result()

    async def _client_left(self, hold: Hold, receive: Any) -> bool:
        """Hold the request until it is released (False) or its client leaves (True)."""
        hold.arrived.set()
        released = asyncio.ensure_future(asyncio.to_thread(hold.released.wait, hold.limit))
        gone = asyncio.ensure_future(self._until_disconnect(receive))
        await asyncio.wait({released, gone}, return_when=asyncio.FIRST_COMPLETED)
        gone.cancel()
        await asyncio.gather(gone, return_exceptions=True)
        return gone.done() and not gone.cancelled()

    @staticmethod
    async def _until_disconnect(receive: Any) -> None:
        while (await receive())["type"] != "http.disconnect":
            pass

    async def _send_events(self, tool: str, results: AsyncIterator[dict[str, Any]], send: Any) -> None:
        fault = self.take_fault(tool, "hang", "drop", "truncate")
        change = getattr(self.take_fault(tool, "rewrite"), "change", None)
        sent, frame = 0, b""
        async with contextlib.aclosing(results):
            async for result in results:
                frame = event_frame(change(result) if change is not None else result)
                if fault is not None and sent == fault.after:
                    if fault.kind != "hang":
                        break
                    await _sleep(fault.seconds)
                await send({"type": "http.response.body", "body": frame, "more_body": True})
                sent, frame = sent + 1, b""
        if fault is not None and sent == fault.after:
            if fault.kind == "hang":
                await _sleep(fault.seconds)
            elif fault.kind == "drop":
                raise DropConnection("stream dropped on purpose")
            else:  # half a frame (or of a prelude), then a clean end of the body
                frame = frame[: len(frame) // 2] or b"\0\0\0"
        await send({"type": "http.response.body", "body": frame, "more_body": False})

    async def _execute(self, session: Session, arguments: dict[str, Any]) -> AsyncIterator[dict[str, Any]]:
        out: dict[str, list[str]] = {"stdout": [], "stderr": []}
        failed, ended, began = False, False, time.monotonic()
        async for event in session.worker.run(arguments.get("code", "")):
            if event["type"] in out:
                out[event["type"]].append(event["text"])
            elif event["type"] == "error":  # a traceback ends with its error's line
                out["stderr"].append(event["traceback"] or f"{event['name']}: {event['value']}\n")
                failed = True
            ended = ended or event["type"] == "end_of_execution"
        failed = failed or not ended  # a worker that died mid-run
        stdout, stderr = "".join(out["stdout"]), "".join(out["stderr"])
        yield {"content": [{"type": "text", "text": stdout}],
               "structuredContent": {"stdout": stdout, "stderr": stderr, "exitCode": int(failed),
                                     "executionTime": (time.monotonic() - began) * 1000},
               "isError": failed}

    async def _write(self, session: Session, arguments: dict[str, Any]) -> AsyncIterator[dict[str, Any]]:
        for entry in arguments.get("content", []):
            path = entry["path"]
            blob = entry.get("blob")
            data = base64.b64decode(blob) if blob is not None else (entry.get("text") or "").encode()
            try:
                with await session.open(path, write=True) as written:
                    written.write(data)
            except OSError:  # a directory, or outside the session
                yield {"content": [{"type": "text", "text": f"Cannot write {path}"}], "isError": True}
                continue
            yield {"content": [{"type": "text", "text": f"Wrote {len(data)} bytes to {path}"}], "isError": False}

    async def _read(self, session: Session, arguments: dict[str, Any]) -> AsyncIterator[dict[str, Any]]:
        as_text = self.take_fault("readFiles", "text") is not None
        for path in arguments.get("paths", []):
            try:
                data = await session.read(path)
            except OSError as error:
                said = f"{path}: {error.strerror}" if error.errno == errno.EFBIG else f"File not found: {path}"
                yield {"content": [{"type": "text", "text": said}], "isError": True}
                continue
            if as_text:
                yield {"content": [{"type": "resource", "resource": {
                    "type": "text", "uri": f"file://{path}", "mimeType": "text/plain",
                    "text": data.decode("utf-8", "replace")}}], "isError": False}
                continue
            blob = base64.b64encode(data).decode()
            if path.endswith(".png"):
                yield {"content": [{"type": "image", "data": blob, "mimeType": "image/png"}], "isError": False}
                continue
            yield {"content": [{"type": "resource", "resource": {
                "type": "blob", "uri": f"file://{path}", "mimeType": "application/octet-stream", "blob": blob}}],
                "isError": False}
