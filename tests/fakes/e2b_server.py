"""A local stand-in for the E2B service that the real E2B SDKs talk to.

Two HTTP listeners on 127.0.0.1, each on an ephemeral port:

- the control plane (the SDK's ``api_url``): ``POST /v2/sandboxes``,
  ``DELETE /sandboxes/{id}``, ``POST /sandboxes/{id}/timeout`` and
  ``GET /sandboxes/{id}``;
- the sandbox side (the SDK's ``sandbox_url``, used for envd and the code
  interpreter alike): ``GET /health``, ``POST /execute`` (the NDJSON stream of
  ``e2b_code_interpreter``), ``GET``/``POST /files`` (reads, multipart batch
  writes and signed download URLs) and the envd ``process.Process`` Connect
  RPC service, served by connectrpc's own ASGI server with the SDK's JSON
  codec, so ``commands.run`` works unchanged.

Every sandbox owns a temporary directory (its file tree) and one real Python
worker process (``tests/fakes/e2b_worker.py``) that keeps its globals between
runs; commands run as real ``/bin/bash -l -c`` processes in the sandbox's
``/home/user``. Sandboxes are reaped when their lifetime ends.

Faults on request: :meth:`E2BStandIn.fail` (any status, answered with the
JSON error body the SDK expects), :meth:`E2BStandIn.stall` (hold a request
before answering), :meth:`E2BStandIn.drop_stream` (cut the ``/execute``
stream after some events), :meth:`E2BStandIn.short_write` (confirm fewer
files than were written) and :meth:`E2BStandIn.refuse` /
:meth:`E2BStandIn.restore` (close a listener so that connections are refused,
then listen on the same port again).

The stand-in runs its own event loop in a background thread; the fixtures in
``tests/fakes/e2b_fixtures.py`` start and stop it. All control methods are
thread-safe and may be called from tests running on any event loop.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import contextlib
import hashlib
import json
import logging
import os
import secrets
import shutil
import signal
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import AsyncIterator, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import uvicorn
from connectrpc.code import Code
from connectrpc.errors import ConnectError
from e2b.envd.client_shared import ENVD_JSON_CODEC
from e2b.envd.process.process_connect import Process, ProcessASGIApplication
from e2b.envd.process.process_pb import ProcessEvent, StartResponse
from protobuf import Oneof
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

WORKER_SCRIPT = Path(__file__).with_name("e2b_worker.py")
ENVD_VERSION = "0.6.4"
DEFAULT_TEMPLATES = frozenset({"code-interpreter-v1", "base"})
_STARTUP_LIMIT = 15.0

# Route names used by the fault plan and the call counters.
ROUTES = (
    "create",
    "kill",
    "set_timeout",
    "info",
    "health",
    "execute",
    "files.read",
    "files.write",
    "process.start",
)


def _not_found() -> Response:
    return JSONResponse({"code": 404, "message": "sandbox not found"}, status_code=404)


class _DropConnection(Exception):
    """Raised inside a streaming body to cut the connection mid-response."""


@dataclass
class _Fault:
    route: str
    kind: str  # "status", "stall", "drop", "short_write"
    times: int
    status: int = 500
    message: str = ""
    seconds: float = 0.0
    after: int = 0


@dataclass
class FakeSandbox:
    """One sandbox of the stand-in; read-only for tests."""

    sandbox_id: str
    template: str
    access_token: str
    root: Path
    timeout: int
    envs: dict[str, str]
    expires_at: float
    alive: bool = True
    worker: asyncio.subprocess.Process | None = None
    lock: asyncio.Lock = field(default_factory=asyncio.Lock)
    executions: int = 0

    def host_path(self, path: str) -> Path:
        """Where a sandbox path lives on the host."""
        relative = os.path.normpath("/" + path).lstrip("/")
        return self.root / relative


class E2BStandIn:
    """The local E2B service. Use :meth:`start` and :meth:`stop` (or the fixture)."""

    def __init__(self, *, templates: frozenset[str] = DEFAULT_TEMPLATES) -> None:
        self.api_key = "e2b_" + secrets.token_hex(20)
        self.templates = set(templates)
        self.calls: collections.Counter[str] = collections.Counter()
        self.requests: list[tuple[str, dict[str, Any]]] = []
        self.sandboxes: dict[str, FakeSandbox] = {}
        self._faults: list[_Fault] = []
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._servers: dict[str, uvicorn.Server] = {}
        self._serve_tasks: dict[str, asyncio.Task] = {}
        self._ports: dict[str, int] = {}
        self._background: set[asyncio.Task] = set()
        self._apps: dict[str, Any] = {}
        self._tmp = Path()

    # ----------------------------------------------------------------- lifecycle

    @property
    def api_url(self) -> str:
        return f"http://127.0.0.1:{self._ports['api']}"

    @property
    def sandbox_url(self) -> str:
        return f"http://127.0.0.1:{self._ports['envd']}"

    def connection_options(self) -> dict[str, Any]:
        """Keyword arguments that point an SDK call at this stand-in."""
        return {"api_key": self.api_key, "api_url": self.api_url, "sandbox_url": self.sandbox_url}

    def start(self) -> None:
        self._tmp = Path(tempfile.mkdtemp(prefix="e2b-stand-in-"))
        ready = threading.Event()
        failure: list[BaseException] = []

        def run() -> None:
            loop = asyncio.new_event_loop()
            self._loop = loop
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self._start_listeners())
                self._background.add(loop.create_task(self._reaper()))
            except BaseException as exc:  # reported to the starting thread
                failure.append(exc)
                ready.set()
                return
            ready.set()
            loop.run_forever()

        self._thread = threading.Thread(target=run, name="e2b-stand-in", daemon=True)
        self._thread.start()
        if not ready.wait(_STARTUP_LIMIT):
            raise RuntimeError("E2B stand-in did not start in time")
        if failure:
            raise RuntimeError("E2B stand-in failed to start") from failure[0]

    def stop(self) -> None:
        if self._loop is None:
            return
        try:
            self._call(self._shutdown(), timeout=20)
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            if self._thread is not None:
                self._thread.join(10)
            self._loop = None
            shutil.rmtree(self._tmp, ignore_errors=True)

    def _call(self, coro, timeout: float = 15.0):
        assert self._loop is not None, "stand-in is not running"
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    async def _start_listeners(self) -> None:
        await self._listen("api", self._control_app(), 0)
        await self._listen("envd", self._envd_app(), 0)

    async def _listen(self, name: str, app, port: int) -> None:
        config = uvicorn.Config(
            app,
            host="127.0.0.1",
            port=port,
            log_config=None,
            log_level="critical",
            access_log=False,
            lifespan="off",
            timeout_graceful_shutdown=2,
            timeout_keep_alive=30,
        )
        server = uvicorn.Server(config)
        task = asyncio.get_running_loop().create_task(server.serve())
        deadline = time.monotonic() + _STARTUP_LIMIT
        while not server.started:
            if task.done():
                task.result()
                raise RuntimeError(f"listener {name} exited during start-up")
            if time.monotonic() > deadline:
                raise RuntimeError(f"listener {name} did not start")
            await asyncio.sleep(0.01)
        self._servers[name] = server
        self._serve_tasks[name] = task
        self._ports[name] = server.servers[0].sockets[0].getsockname()[1]
        self._apps[name] = app

    async def _close_listener(self, name: str) -> None:
        server = self._servers.pop(name, None)
        task = self._serve_tasks.pop(name, None)
        if server is None or task is None:
            return
        server.should_exit = True
        await asyncio.wait_for(task, 10)

    async def _shutdown(self) -> None:
        for name in list(self._servers):
            await self._close_listener(name)
        for sandbox in list(self.sandboxes.values()):
            await self._kill_sandbox(sandbox)
        for task in list(self._background):
            task.cancel()
        await asyncio.gather(*self._background, return_exceptions=True)

    # ------------------------------------------------------------------ faults

    def fail(self, route: str, status: int, *, times: int = 1, message: str = "") -> None:
        """Answer the next ``times`` requests of ``route`` with ``status``."""
        self._add_fault(_Fault(route, "status", times, status=status, message=message))

    def stall(self, route: str, seconds: float, *, times: int = 1) -> None:
        """Hold the next ``times`` requests of ``route`` for ``seconds`` before answering."""
        self._add_fault(_Fault(route, "stall", times, seconds=seconds))

    def drop_stream(self, *, after_events: int, times: int = 1) -> None:
        """Cut the next ``/execute`` streams after ``after_events`` events were sent."""
        self._add_fault(_Fault("execute", "drop", times, after=after_events))

    def short_write(self, *, confirmed: int, times: int = 1) -> None:
        """Confirm only ``confirmed`` files of the next batch writes (all are written)."""
        self._add_fault(_Fault("files.write", "short_write", times, after=confirmed))

    def clear_faults(self) -> None:
        with self._lock:
            self._faults.clear()

    def reset_records(self) -> None:
        """Forget the call counters and the recorded requests."""
        with self._lock:
            self.calls.clear()
            self.requests.clear()

    def refuse(self, listener: str) -> None:
        """Stop listening on ``listener`` ("api" or "envd"): connections are refused."""
        self._call(self._close_listener(listener))

    def restore(self, listener: str) -> None:
        """Listen again on the port ``listener`` had."""
        self._call(self._listen(listener, self._apps[listener], self._ports[listener]))

    @contextlib.contextmanager
    def refusing(self, listener: str) -> Iterator[None]:
        self.refuse(listener)
        try:
            yield
        finally:
            self.restore(listener)

    def _record(self, entry: tuple[str, dict[str, Any]]) -> None:
        with self._lock:
            self.requests.append(entry)

    def _add_fault(self, fault: _Fault) -> None:
        if fault.route not in ROUTES:
            raise ValueError(f"unknown route {fault.route!r}; known: {', '.join(ROUTES)}")
        if fault.times < 1:  # "the next 0 requests": nothing to plan
            return
        with self._lock:
            self._faults.append(fault)

    def _take_fault(self, route: str, kinds: tuple[str, ...]) -> _Fault | None:
        with self._lock:
            for fault in self._faults:
                if fault.route == route and fault.kind in kinds:
                    fault.times -= 1
                    if fault.times <= 0:
                        self._faults.remove(fault)
                    return fault
        return None

    async def _pre_request(self, route: str) -> Response | None:
        """Count the call and apply a stall or a status fault planned for it."""
        with self._lock:
            self.calls[route] += 1
        stall = self._take_fault(route, ("stall",))
        if stall is not None:
            await asyncio.sleep(stall.seconds)
        fault = self._take_fault(route, ("status",))
        if fault is not None:
            message = fault.message or f"injected failure for {route}"
            return JSONResponse({"code": fault.status, "message": message}, status_code=fault.status)
        return None

    # ------------------------------------------------------------ public views

    def alive_sandboxes(self) -> list[str]:
        # A copy first: the stand-in's thread may add sandboxes meanwhile.
        return [sid for sid, sandbox in list(self.sandboxes.items()) if sandbox.alive]

    def write_file(self, sandbox_id: str, path: str, data: bytes) -> None:
        target = self.sandboxes[sandbox_id].host_path(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)

    # ----------------------------------------------------------- control plane

    def _control_app(self) -> Starlette:
        return Starlette(
            routes=[
                Route("/v2/sandboxes", self._create, methods=["POST"]),
                Route("/sandboxes", self._create, methods=["POST"]),
                Route("/sandboxes/{sandbox_id}", self._kill, methods=["DELETE"]),
                Route("/sandboxes/{sandbox_id}", self._info, methods=["GET"]),
                Route("/sandboxes/{sandbox_id}/timeout", self._set_timeout, methods=["POST"]),
            ]
        )

    def _check_api_key(self, request: Request) -> Response | None:
        if request.headers.get("x-api-key") != self.api_key:
            return JSONResponse({"code": 401, "message": "Invalid API key"}, status_code=401)
        return None

    async def _create(self, request: Request) -> Response:
        if (early := await self._pre_request("create")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        body = await request.json()
        self._record(("create", body))
        template = body.get("templateID")
        if template not in self.templates:
            return JSONResponse(
                {"code": 404, "message": f"template '{template}' not found"}, status_code=404
            )
        timeout = int(body.get("timeout") or 300)
        sandbox_id = "sbx" + uuid.uuid4().hex[:12]
        root = self._tmp / sandbox_id
        root.mkdir(parents=True)
        sandbox = FakeSandbox(
            sandbox_id=sandbox_id,
            template=template,
            access_token=secrets.token_hex(16),
            root=root,
            timeout=timeout,
            envs=dict(body.get("envVars") or {}),
            expires_at=time.monotonic() + timeout,
        )
        sandbox.worker = await self._spawn_worker(sandbox)
        self.sandboxes[sandbox_id] = sandbox
        return JSONResponse(
            {
                "templateID": template,
                "sandboxID": sandbox_id,
                "clientID": "stand-in",
                "envdVersion": ENVD_VERSION,
                "envdAccessToken": sandbox.access_token,
                "domain": None,
            },
            status_code=201,
        )

    def _live_sandbox(self, request: Request) -> FakeSandbox | None:
        sandbox = self.sandboxes.get(request.path_params["sandbox_id"])
        return sandbox if sandbox is not None and sandbox.alive else None

    async def _kill(self, request: Request) -> Response:
        if (early := await self._pre_request("kill")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return _not_found()
        await self._kill_sandbox(sandbox)
        return Response(status_code=204)

    async def _info(self, request: Request) -> Response:
        if (early := await self._pre_request("info")) is not None:
            return early
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return _not_found()
        return JSONResponse({"sandboxID": sandbox.sandbox_id, "templateID": sandbox.template, "state": "running"})

    async def _set_timeout(self, request: Request) -> Response:
        if (early := await self._pre_request("set_timeout")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return _not_found()
        body = await request.json()
        sandbox.timeout = int(body["timeout"])
        sandbox.expires_at = time.monotonic() + sandbox.timeout
        return Response(status_code=204)

    async def _spawn_worker(self, sandbox: FakeSandbox) -> asyncio.subprocess.Process:
        # No package index: an install in a sandbox must never reach the network
        # or change the interpreter the worker shares with the tests.
        env = {
            **os.environ,
            **sandbox.envs,
            "PYTHONUNBUFFERED": "1",
            "PIP_NO_INDEX": "1",
            "PIP_DISABLE_PIP_VERSION_CHECK": "1",
        }
        worker = await asyncio.create_subprocess_exec(
            sys.executable,
            str(WORKER_SCRIPT),
            str(sandbox.root),
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL,
            env=env,
            start_new_session=True,
            limit=16 * 1024 * 1024,
        )
        assert worker.stdout is not None
        line = await asyncio.wait_for(worker.stdout.readline(), _STARTUP_LIMIT)
        if json.loads(line or b"{}").get("type") != "ready":
            worker.kill()
            raise RuntimeError("sandbox worker failed to start")
        return worker

    async def _kill_sandbox(self, sandbox: FakeSandbox) -> None:
        sandbox.alive = False
        worker = sandbox.worker
        if worker is not None and worker.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(worker.pid, signal.SIGKILL)
            with contextlib.suppress(Exception):
                await asyncio.wait_for(worker.wait(), 5)
        shutil.rmtree(sandbox.root, ignore_errors=True)

    async def _reaper(self) -> None:
        while True:
            await asyncio.sleep(0.2)
            now = time.monotonic()
            for sandbox in list(self.sandboxes.values()):
                if sandbox.alive and sandbox.expires_at <= now:
                    await self._kill_sandbox(sandbox)

    # --------------------------------------------------------------- envd side

    def _envd_app(self):
        starlette = Starlette(
            routes=[
                Route("/health", self._health, methods=["GET"]),
                Route("/execute", self._execute, methods=["POST"]),
                Route("/files", self._read_files, methods=["GET"]),
                Route("/files", self._write_files, methods=["POST"]),
            ]
        )
        process_app = ProcessASGIApplication(_ProcessService(self), codecs=[ENVD_JSON_CODEC])

        async def app(scope, receive, send):
            path = scope.get("path", "")
            if scope["type"] == "http" and path.startswith("/process.Process/"):
                if path == "/process.Process/Start":
                    early = await self._pre_request("process.start")
                    if early is not None:
                        await early(scope, receive, send)
                        return
                await process_app(scope, receive, send)
                return
            await starlette(scope, receive, send)

        return app

    def _sandbox_for_headers(self, headers) -> tuple[FakeSandbox | None, Response | None]:
        sandbox_id = headers.get("e2b-sandbox-id")
        sandbox = self.sandboxes.get(sandbox_id or "")
        if sandbox is None or not sandbox.alive:
            message = f"The sandbox {sandbox_id} was not found"
            return None, JSONResponse({"code": 502, "message": message}, status_code=502)
        if headers.get("x-access-token") != sandbox.access_token:
            return None, JSONResponse({"code": 401, "message": "invalid access token"}, status_code=401)
        return sandbox, None

    async def _health(self, request: Request) -> Response:
        if (early := await self._pre_request("health")) is not None:
            return early
        if request.headers.get("e2b-sandbox-id") is None:
            return Response(status_code=204)
        sandbox, denied = self._sandbox_for_headers(request.headers)
        if sandbox is None and denied is not None and denied.status_code == 502:
            return denied
        return Response(status_code=204)

    async def _execute(self, request: Request) -> Response:
        if (early := await self._pre_request("execute")) is not None:
            return early
        sandbox, denied = self._sandbox_for_headers(request.headers)
        if sandbox is None:
            return denied
        body = await request.json()
        self._record(("execute", body))
        drop = self._take_fault("execute", ("drop",))
        line = json.dumps({"code": body.get("code", ""), "env_vars": body.get("env_vars")}) + "\n"
        return StreamingResponse(
            self._execution_stream(sandbox, line, drop), media_type="application/x-ndjson"
        )

    async def _execution_stream(
        self, sandbox: FakeSandbox, line: str, drop: _Fault | None
    ) -> AsyncIterator[bytes]:
        worker = sandbox.worker
        assert worker is not None and worker.stdin is not None and worker.stdout is not None
        await sandbox.lock.acquire()
        finished = False
        try:
            sandbox.executions += 1
            worker.stdin.write(line.encode())
            await worker.stdin.drain()
            sent = 0
            while True:
                raw = await worker.stdout.readline()
                if not raw:  # the worker died (the sandbox was killed)
                    finished = True
                    return
                if drop is not None and sent >= drop.after:
                    raise _DropConnection("stream dropped on purpose")
                yield raw
                sent += 1
                if json.loads(raw).get("type") == "end_of_execution":
                    finished = True
                    return
        finally:
            if finished:
                sandbox.lock.release()
            else:
                # The client went away (or the stream was cut) while the cell
                # runs: interrupt it like a kernel and drain it before the next run.
                task = asyncio.get_running_loop().create_task(self._interrupt(sandbox))
                self._background.add(task)
                task.add_done_callback(self._background.discard)

    async def _interrupt(self, sandbox: FakeSandbox) -> None:
        worker = sandbox.worker
        try:
            assert worker is not None and worker.stdout is not None
            deadline = time.monotonic() + 10
            while worker.returncode is None and time.monotonic() < deadline:
                with contextlib.suppress(ProcessLookupError):
                    worker.send_signal(signal.SIGINT)
                try:
                    raw = await asyncio.wait_for(worker.stdout.readline(), 0.5)
                except TimeoutError:
                    continue
                if not raw or json.loads(raw).get("type") == "end_of_execution":
                    return
            if worker.returncode is None:
                await self._kill_sandbox(sandbox)
        finally:
            sandbox.lock.release()

    def _sandbox_for_file_request(self, request: Request, operation: str) -> tuple[FakeSandbox | None, Response | None]:
        signature = request.query_params.get("signature")
        if signature is None:
            return self._sandbox_for_headers(request.headers)
        path = request.query_params.get("path", "")
        user = request.query_params.get("username", "")
        expiration = request.query_params.get("signature_expiration")
        for sandbox in list(self.sandboxes.values()):
            raw = f"{path}:{operation}:{user}:{sandbox.access_token}"
            if expiration:
                raw += f":{expiration}"
            digest = hashlib.sha256(raw.encode()).digest()
            expected = "v1_" + base64.b64encode(digest).rstrip(b"=").decode()
            if secrets.compare_digest(expected, signature):
                if not sandbox.alive:
                    break
                if expiration and int(expiration) < time.time():
                    return None, JSONResponse({"code": 401, "message": "signature expired"}, status_code=401)
                return sandbox, None
        return None, JSONResponse({"code": 401, "message": "invalid signature"}, status_code=401)

    async def _read_files(self, request: Request) -> Response:
        if (early := await self._pre_request("files.read")) is not None:
            return early
        sandbox, denied = self._sandbox_for_file_request(request, "read")
        if sandbox is None:
            return denied
        path = request.query_params.get("path", "")
        self._record(("files.read", {"path": path, "signed": "signature" in request.query_params}))
        target = sandbox.host_path(path)
        if not target.is_file():
            return JSONResponse({"code": 404, "message": f"path '{path}' does not exist"}, status_code=404)
        return Response(target.read_bytes(), media_type="application/octet-stream")

    async def _write_files(self, request: Request) -> Response:
        if (early := await self._pre_request("files.write")) is not None:
            return early
        sandbox, denied = self._sandbox_for_file_request(request, "write")
        if sandbox is None:
            return denied
        written = []
        async with request.form(max_part_size=64 * 1024 * 1024) as form:
            for _, part in form.multi_items():
                if isinstance(part, str):
                    continue
                path = part.filename or request.query_params.get("path", "")
                target = sandbox.host_path(path)
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(await part.read())
                written.append({"path": path, "name": target.name, "type": "file"})
        self._record(("files.write", {"paths": [entry["path"] for entry in written]}))
        short = self._take_fault("files.write", ("short_write",))
        if short is not None:
            written = written[: short.after]
        return JSONResponse(written)


class _ProcessService(Process):
    """The envd ``process.Process`` service: only ``Start`` is served."""

    def __init__(self, stand_in: E2BStandIn) -> None:
        self._stand_in = stand_in

    async def start(self, request, ctx) -> AsyncIterator[StartResponse]:
        sandbox, denied = self._stand_in._sandbox_for_headers(ctx.request_headers)
        if sandbox is None:
            assert denied is not None
            if denied.status_code == 401:
                raise ConnectError(Code.UNAUTHENTICATED, "invalid access token")
            raise ConnectError(Code.UNAVAILABLE, "The sandbox was not found")
        config = request.process
        self._stand_in._record(
            (
                "process.start",
                {
                    "cmd": config.cmd,
                    "args": list(config.args),
                    "envs": dict(config.envs),
                    # The client's deadline as sent in Connect-Timeout-Ms.
                    "timeout_ms": ctx.request_headers.get("connect-timeout-ms"),
                },
            )
        )
        home = sandbox.root / "home" / "user"
        home.mkdir(parents=True, exist_ok=True)
        env = {**os.environ, **sandbox.envs, **dict(config.envs), "HOME": str(home)}
        process = await asyncio.create_subprocess_exec(
            config.cmd,
            *config.args,
            cwd=str(home),
            env=env,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
            start_new_session=True,
        )
        queue: asyncio.Queue[tuple[str, bytes] | None] = asyncio.Queue()

        async def pump(name: str, stream: asyncio.StreamReader) -> None:
            while chunk := await stream.read(65536):
                await queue.put((name, chunk))
            await queue.put(None)

        pumps = [
            asyncio.create_task(pump("stdout", process.stdout)),
            asyncio.create_task(pump("stderr", process.stderr)),
        ]
        try:
            yield StartResponse(event=ProcessEvent(event=Oneof("start", ProcessEvent.StartEvent(pid=process.pid))))
            open_streams = 2
            while open_streams:
                item = await queue.get()
                if item is None:
                    open_streams -= 1
                    continue
                name, chunk = item
                data = ProcessEvent.DataEvent(output=Oneof(name, chunk))
                yield StartResponse(event=ProcessEvent(event=Oneof("data", data)))
            code = await process.wait()
            end = ProcessEvent.EndEvent(
                exit_code=code,
                exited=True,
                status=f"exit status {code}",
                error=None if code == 0 else f"exit status {code}",
            )
            yield StartResponse(event=ProcessEvent(event=Oneof("end", end)))
        finally:
            for task in pumps:
                task.cancel()
            if process.returncode is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
                with contextlib.suppress(Exception):
                    await asyncio.wait_for(process.wait(), 5)


logging.getLogger("uvicorn.error").setLevel(logging.CRITICAL)
