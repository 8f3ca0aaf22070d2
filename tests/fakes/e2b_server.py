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
worker (``standin.PythonWorker``) that keeps its globals between runs; commands
run as real ``/bin/bash -l -c`` processes in the sandbox's ``/home/user``.
Sandboxes are reaped when their lifetime ends.

Built on ``standin.StandIn`` (listeners, ``fail``/``stall``/``drop_stream``
faults, ``refuse``/``restore``, records); its own fault is
:meth:`E2BStandIn.short_write` (confirm fewer files than were written). The
fixtures in ``tests/fakes/e2b_fixtures.py`` start and stop it.
"""

from __future__ import annotations

import base64
import contextlib
import datetime as dt
import hashlib
import json
import os
import secrets
import shutil
import time
import uuid
from collections.abc import AsyncIterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

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

from tests.fakes.standin import Command, DropConnection, Fault, PythonWorker, StandIn

ENVD_VERSION = "0.6.4"
DEFAULT_TEMPLATES = frozenset({"code-interpreter-v1", "base"})
TEMPLATE_ROUTES = ("template.exists", "template.tags", "template.request", "template.start", "template.status")


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
    worker: PythonWorker
    killed: bool = False

    @property
    def alive(self) -> bool:
        return not self.killed and self.worker.alive

    def host_path(self, path: str) -> Path:
        """Where a sandbox path lives on the host."""
        relative = os.path.normpath("/" + path).lstrip("/")
        return self.root / relative


class E2BStandIn(StandIn):
    """The local E2B service. Use :meth:`start` and :meth:`stop` (or the fixture)."""

    ROUTES = ("create", "kill", "set_timeout", "info", "health", "execute", "files.read", "files.write",
              "process.start") + TEMPLATE_ROUTES

    def __init__(self, *, templates: frozenset[str] = DEFAULT_TEMPLATES) -> None:
        super().__init__()
        self.api_key = "e2b_" + secrets.token_hex(20)
        self.templates = set(templates)
        self.sandboxes: dict[str, FakeSandbox] = {}
        self.aliases: dict[str, dict[str, Any]] = {}  # name -> {"template_id", "tags"}
        self.builds: dict[str, dict[str, Any]] = {}

    @property
    def api_url(self) -> str:
        return self.url("api")

    @property
    def sandbox_url(self) -> str:
        return self.url("envd")

    def connection_options(self) -> dict[str, Any]:
        """Keyword arguments that point an SDK call at this stand-in."""
        return {"api_key": self.api_key, "api_url": self.api_url, "sandbox_url": self.sandbox_url}

    async def _serve(self) -> None:
        await self.listen("api", self._control_app())
        await self.listen("envd", self._envd_app())
        self.spawn(self.every(0.2, self._reap))

    async def _teardown(self) -> None:
        for sandbox in list(self.sandboxes.values()):
            await self._kill_sandbox(sandbox)

    def short_write(self, *, confirmed: int, times: int = 1) -> None:
        """Confirm only ``confirmed`` files of the next batch writes (all are written)."""
        self.add_fault(Fault("files.write", "short_write", times, after=confirmed))

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
                *self._template_routes(),
            ]
        )

    def _check_api_key(self, request: Request) -> Response | None:
        if request.headers.get("x-api-key") != self.api_key:
            return JSONResponse({"code": 401, "message": "Invalid API key"}, status_code=401)
        return None

    async def _create(self, request: Request) -> Response:
        if (early := await self.pre_request("create")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        body = await request.json()
        self.record("create", body)
        template = body.get("templateID")
        if template not in self.templates:
            return JSONResponse(
                {"code": 404, "message": f"template '{template}' not found"}, status_code=404
            )
        timeout = int(body.get("timeout") or 300)
        sandbox_id = "sbx" + uuid.uuid4().hex[:12]
        root = self.tmp / sandbox_id
        root.mkdir(parents=True)
        envs = dict(body.get("envVars") or {})
        sandbox = FakeSandbox(
            sandbox_id=sandbox_id,
            template=template,
            access_token=secrets.token_hex(16),
            root=root,
            timeout=timeout,
            envs=envs,
            expires_at=time.monotonic() + timeout,
            worker=await PythonWorker.start(root, envs),
        )
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
        if (early := await self.pre_request("kill")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return self.error_response(404, "sandbox not found")
        await self._kill_sandbox(sandbox)
        return Response(status_code=204)

    async def _info(self, request: Request) -> Response:
        if (early := await self.pre_request("info")) is not None:
            return early
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return self.error_response(404, "sandbox not found")
        return JSONResponse({"sandboxID": sandbox.sandbox_id, "templateID": sandbox.template, "state": "running"})

    async def _set_timeout(self, request: Request) -> Response:
        if (early := await self.pre_request("set_timeout")) is not None:
            return early
        if (denied := self._check_api_key(request)) is not None:
            return denied
        sandbox = self._live_sandbox(request)
        if sandbox is None:
            return self.error_response(404, "sandbox not found")
        body = await request.json()
        sandbox.timeout = int(body["timeout"])
        sandbox.expires_at = time.monotonic() + sandbox.timeout
        return Response(status_code=204)

    async def _kill_sandbox(self, sandbox: FakeSandbox) -> None:
        sandbox.killed = True
        await sandbox.worker.kill()
        shutil.rmtree(sandbox.root, ignore_errors=True)

    async def _reap(self) -> None:
        now = time.monotonic()
        for sandbox in list(self.sandboxes.values()):
            if sandbox.alive and sandbox.expires_at <= now:
                await self._kill_sandbox(sandbox)

    # --------------------------------------------------------------- templates
    # The Template API's routes: alias existence, tags, and a build that moves
    # waiting -> building -> ready (the alias gets a tag and sandboxes can be
    # created from it) or error (see fail_next_build), one state per status poll.

    def add_alias(self, name: str, *, tagged: bool = True) -> None:
        """An alias as if built earlier; ``tagged`` False: no successful build yet."""
        self.aliases[name] = {"template_id": "tpl" + uuid.uuid4().hex[:12], "tags": ["default"] if tagged else []}
        if tagged:
            self.templates.add(name)

    def fail_next_build(self, message: str, *, times: int = 1) -> None:
        """The next ``times`` builds end in state "error" with ``message`` as the reason."""
        self.add_fault(Fault("template.start", "build_error", times, message=message))

    def _template_routes(self) -> list[Route]:
        return [
            Route("/templates/aliases/{alias}", self._alias_exists, methods=["GET"]),
            Route("/templates/{name}/tags", self._template_tags, methods=["GET"]),
            Route("/v3/templates", self._template_request, methods=["POST"]),
            Route("/v2/templates/{tid}/builds/{bid}", self._template_start, methods=["POST"]),
            Route("/templates/{tid}/builds/{bid}/status", self._template_status, methods=["GET"]),
        ]

    async def _template_call(self, route: str, request: Request) -> Response | None:
        return await self.pre_request(route) or self._check_api_key(request)

    async def _alias_exists(self, request: Request) -> Response:
        if (early := await self._template_call("template.exists", request)) is not None:
            return early
        alias = self.aliases.get(request.path_params["alias"])
        if alias is None:
            return self.error_response(404, "alias not found")
        return JSONResponse({"templateID": alias["template_id"], "public": False})

    async def _template_tags(self, request: Request) -> Response:
        if (early := await self._template_call("template.tags", request)) is not None:
            return early
        alias = self.aliases.get(request.path_params["name"])
        if alias is None:
            return self.error_response(404, "template not found")
        created = dt.datetime.now(dt.UTC).isoformat()
        return JSONResponse([{"tag": tag, "buildID": str(uuid.uuid4()), "createdAt": created}
                             for tag in alias["tags"]])

    async def _template_request(self, request: Request) -> Response:
        if (early := await self._template_call("template.request", request)) is not None:
            return early
        body = await request.json()
        self.record("template.request", body)
        alias = self.aliases.setdefault(body["name"], {"template_id": "tpl" + uuid.uuid4().hex[:12], "tags": []})
        build_id = str(uuid.uuid4())
        self.builds[build_id] = {"name": body["name"], "status": "waiting", "entries": [], "polls": 0,
                                 "error": None}
        return JSONResponse({"templateID": alias["template_id"], "buildID": build_id, "public": False,
                             "names": [body["name"]], "tags": [], "aliases": [body["name"]]}, status_code=202)

    async def _template_start(self, request: Request) -> Response:
        if (early := await self._template_call("template.start", request)) is not None:
            return early
        build = self.builds.get(request.path_params["bid"])
        if build is None:
            return self.error_response(404, "build not found")
        self.record("template.start", await request.json())
        if (fault := self.take_fault("template.start", "build_error")) is not None:
            build["error"] = fault.message
        return Response(status_code=202)

    async def _template_status(self, request: Request) -> Response:
        if (early := await self._template_call("template.status", request)) is not None:
            return early
        build = self.builds.get(request.path_params["bid"])
        if build is None:
            return self.error_response(404, "build not found")
        build["polls"] += 1
        if build["status"] in ("waiting", "building"):
            build["status"] = "building" if build["polls"] == 1 else "error" if build["error"] else "ready"
            build["entries"].append({"timestamp": dt.datetime.now(dt.UTC).isoformat(), "level": "info",
                                     "message": f"build {build['status']}"})
            if build["status"] == "ready":
                self.aliases[build["name"]]["tags"].append("default")
                self.templates.add(build["name"])
        offset = int(request.query_params.get("logsOffset", 0))
        body = {"templateID": request.path_params["tid"], "buildID": request.path_params["bid"],
                "status": build["status"], "logs": [], "logEntries": build["entries"][offset:offset + 100]}
        if build["status"] == "error":
            body["reason"] = {"message": build["error"]}
        return JSONResponse(body)

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
                    early = await self.pre_request("process.start")
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
        if (early := await self.pre_request("health")) is not None:
            return early
        if request.headers.get("e2b-sandbox-id") is None:
            return Response(status_code=204)
        sandbox, denied = self._sandbox_for_headers(request.headers)
        if sandbox is None and denied is not None and denied.status_code == 502:
            return denied
        return Response(status_code=204)

    async def _execute(self, request: Request) -> Response:
        if (early := await self.pre_request("execute")) is not None:
            return early
        sandbox, denied = self._sandbox_for_headers(request.headers)
        if sandbox is None:
            return denied
        body = await request.json()
        self.record("execute", body)
        drop = self.take_fault("execute", "drop")
        stream = self._execution_stream(sandbox, body.get("code", ""), body.get("env_vars"), drop)
        return StreamingResponse(stream, media_type="application/x-ndjson")

    async def _execution_stream(
        self, sandbox: FakeSandbox, code: str, env_vars: dict | None, drop: Fault | None
    ) -> AsyncIterator[bytes]:
        async with contextlib.aclosing(sandbox.worker.run(code, env_vars)) as events:
            sent = 0
            async for event in events:
                if drop is not None and sent >= drop.after:
                    raise DropConnection("stream dropped on purpose")
                yield (json.dumps(event) + "\n").encode()
                sent += 1

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
        if (early := await self.pre_request("files.read")) is not None:
            return early
        sandbox, denied = self._sandbox_for_file_request(request, "read")
        if sandbox is None:
            return denied
        path = request.query_params.get("path", "")
        expiration = request.query_params.get("signature_expiration")
        self.record("files.read", {"path": path, "signed": "signature" in request.query_params,
                                   "expiration": expiration and int(expiration)})
        target = sandbox.host_path(path)
        if not target.is_file():
            return JSONResponse({"code": 404, "message": f"path '{path}' does not exist"}, status_code=404)
        return Response(target.read_bytes(), media_type="application/octet-stream")

    async def _write_files(self, request: Request) -> Response:
        if (early := await self.pre_request("files.write")) is not None:
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
        self.record("files.write", {"paths": [entry["path"] for entry in written]})
        short = self.take_fault("files.write", "short_write")
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
        # timeout_ms: the client's deadline as sent in Connect-Timeout-Ms.
        self._stand_in.record("process.start", {
            "cmd": config.cmd, "args": list(config.args), "envs": dict(config.envs),
            "timeout_ms": ctx.request_headers.get("connect-timeout-ms")})
        home = sandbox.root / "home" / "user"
        home.mkdir(parents=True, exist_ok=True)
        env = {**os.environ, **sandbox.envs, **dict(config.envs), "HOME": str(home)}
        command = await Command.start(config.cmd, list(config.args), cwd=home, env=env)
        try:
            start = ProcessEvent.StartEvent(pid=command.process.pid)
            yield StartResponse(event=ProcessEvent(event=Oneof("start", start)))
            async for name, chunk in command.output():
                data = ProcessEvent.DataEvent(output=Oneof(name, chunk))
                yield StartResponse(event=ProcessEvent(event=Oneof("data", data)))
            code = await command.wait()
            end = ProcessEvent.EndEvent(
                exit_code=code,
                exited=True,
                status=f"exit status {code}",
                error=None if code == 0 else f"exit status {code}",
            )
            yield StartResponse(event=ProcessEvent(event=Oneof("end", end)))
        finally:
            await command.kill()
