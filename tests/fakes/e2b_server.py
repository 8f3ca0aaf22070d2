"""A local stand-in for the E2B service that the real E2B SDKs talk to.

Two listeners on 127.0.0.1, each on an ephemeral port:

- "api", the control plane (the SDK's ``api_url``): ``POST /v2/sandboxes``,
  ``DELETE /sandboxes/{id}``, ``POST /sandboxes/{id}/timeout``, ``GET /sandboxes/{id}``,
  and the Template API (alias exists, tags, build request, the file link and upload of
  COPY sources, start and status), whose builds move waiting -> building -> ready or
  error, one state per status poll;
- "envd", the sandbox side (the SDK's ``sandbox_url``): ``GET /health``, ``POST /execute``
  (the NDJSON stream of ``e2b_code_interpreter``), ``GET``/``POST /files`` (reads, multipart
  batch writes, signed URLs with their expiry checked) and the envd ``process.Process``
  Connect RPC service, served by connectrpc's own ASGI server with the SDK's JSON codec.

Every sandbox owns a temporary directory (its file tree) and one real Python worker
(``standin.PythonWorker``) that keeps its globals between runs; commands run as real
processes in the sandbox's ``/home/user``, each ended with its process group at the deadline
its client sends (``Connect-Timeout-Ms``, the command's timeout) and when its client goes. A
sandbox's processes see its file tree at the sandbox paths (``/tmp``, ``/files``, ``/home``...)
and the host's files elsewhere, read-only, have a process list of their own, and end with the
sandbox (``containers.py``); the file routes act inside it.
Sandboxes are reaped when their lifetime ends.

As the service, it answers only the run that holds its credentials: every control-plane and
Template API route wants the stand-in's ``api_key`` (an upload link carries a signature of its
own, as a presigned URL does), and every envd route the sandbox's access token or a URL signed
with it; only ``/health`` is open, as envd's is. A refused request is answered 401 and does
nothing. A sandbox whose container's first process has died says so in each envd answer. A body that is
not a JSON object, or lacks a field a route needs or has one of another kind, is answered 400 saying what is
wrong (``standin.json_object``).
Faults, records and ``refuse``/``restore`` come from ``standin.StandIn``; the E2B-only fault
is :meth:`E2BStandIn.short_write`. ``tests/fakes/e2b_fixtures.py`` starts and stops it.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import contextvars
import datetime as dt
import errno
import hashlib
import hmac
import io
import json
import os
import re
import secrets
import tarfile
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
from starlette.datastructures import Headers
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from tests.fakes.containers import HOME, Container, environ, start_worker, unread
from tests.fakes.standin import (ENVIRONMENT, Command, DropConnection, Fault, PythonWorker, Refuse, StandIn,
                                 json_object, multipart_form, query_number, shallow)

# The SDK's form (httpx) escapes a file name's quote and control characters as an HTML5 form does
# ("%22", "%00"...): undone, so that a path holding one is the caller's, and one with a NUL byte is refused.
_FORM_ESCAPE = re.compile("%(22|0[0-9A-F]|1[0-9ACDEF])")

ENVD_VERSION = "0.6.4"
# The disconnect of the client of the process RPC being served (set by the envd app, read by its handler).
_CLIENT_GONE: contextvars.ContextVar[asyncio.Event] = contextvars.ContextVar("client_gone")
TEMPLATE_ROUTES = ("template.exists", "template.tags", "template.request", "template.files", "template.upload",
                   "template.start", "template.status")


@dataclass
class FakeSandbox:
    """One sandbox of the stand-in; read-only for tests."""

    sandbox_id: str
    template: str
    access_token: str
    root: Path
    envs: dict[str, str]
    expires_at: float
    worker: PythonWorker
    container: Container
    killed: bool = False

    @property
    def alive(self) -> bool:
        return not self.killed and self.container.alive  # a worker that died is started anew

    def host_path(self, path: str) -> Path:
        """Where a sandbox path lives on the host."""
        return self.root / os.path.normpath("/" + path).lstrip("/")


class E2BStandIn(StandIn):
    CONTAINERS = True
    """The local E2B service. Use :meth:`start` and :meth:`stop` (or the fixture)."""

    ROUTES = ("create", "kill", "set_timeout", "info", "health", "execute", "files.read", "files.write",
              "process.start") + TEMPLATE_ROUTES

    def __init__(self, *, templates: frozenset[str] = frozenset({"code-interpreter-v1", "base"})) -> None:
        super().__init__()
        self.api_key = "e2b_" + secrets.token_hex(20)
        self.templates = set(templates)
        self.sandboxes: dict[str, FakeSandbox] = {}
        self.aliases: dict[str, dict[str, Any]] = {}  # name -> {"template_id", "tags"}
        self.builds: dict[str, dict[str, Any]] = {}
        self.uploads: dict[str, dict[str, bytes]] = {}  # files hash -> {archive path: content}
        self._upload_key = secrets.token_bytes(32)  # signs the upload links it hands out

    @property
    def api_url(self) -> str:
        return self.url("api")

    @property
    def sandbox_url(self) -> str:
        return self.url("envd")

    def connection_options(self) -> dict[str, Any]:
        """Keyword arguments that point an SDK call at this stand-in."""
        return {"api_key": self.api_key, "api_url": self.api_url, "sandbox_url": self.sandbox_url}

    def short_write(self, *, confirmed: int, times: int = 1) -> None:
        """Confirm only ``confirmed`` files of the next batch writes (all are written)."""
        self.add_fault(Fault("files.write", "short_write", times, after=confirmed))

    def alive_sandboxes(self) -> list[str]:
        return [sid for sid, sandbox in list(self.sandboxes.items()) if sandbox.alive]

    def write_file(self, sandbox_id: str, path: str, data: bytes) -> None:
        target = self.sandboxes[sandbox_id].host_path(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)

    async def _serve(self) -> None:
        e = self.endpoint
        await self.listen("api", Starlette(routes=[
            Route("/v2/sandboxes", e("create", self._create), methods=["POST"]),
            Route("/sandboxes/{sandbox_id}", e("kill", self._kill), methods=["DELETE"]),
            Route("/sandboxes/{sandbox_id}", e("info", self._info), methods=["GET"]),
            Route("/sandboxes/{sandbox_id}/timeout", e("set_timeout", self._set_timeout), methods=["POST"]),
            *self._template_routes()]))
        envd = Starlette(routes=[
            Route("/health", e("health", self._health), methods=["GET"]),
            Route("/execute", e("execute", self._execute), methods=["POST"]),
            Route("/files", e("files.read", self._read_files), methods=["GET"]),
            Route("/files", e("files.write", self._write_files), methods=["POST"])])
        process = ProcessASGIApplication(_ProcessService(self), codecs=[_ShallowCodec()])

        async def app(scope, receive, send):
            if not scope.get("path", "").startswith("/process.Process/"):
                return await envd(scope, receive, send)
            if scope["path"] == "/process.Process/Start" and (early := await self.pre_request("process.start")):
                return await early(scope, receive, send)
            try:  # as envd's own check, ahead of its RPCs: refused with the plain HTTP status
                self._sandbox_for(Headers(scope=scope))
            except Refuse as refusal:
                return await self.error_response(refusal.status, refusal.message)(scope, receive, send)
            _CLIENT_GONE.set(gone := asyncio.Event())

            async def watched():  # connectrpc reads on while it streams, and sees a disconnect only as it writes
                message = await receive()
                if message["type"] == "http.disconnect":
                    gone.set()
                return message

            await process(scope, watched, send)

        await self.listen("envd", app)
        self.spawn(self.every(0.2, self._reap))

    async def _teardown(self) -> None:
        for sandbox in list(self.sandboxes.values()):
            await self._kill_sandbox(sandbox)

    async def _kill_sandbox(self, sandbox: FakeSandbox) -> None:
        sandbox.killed = True
        await sandbox.container.kill()
        await sandbox.worker.kill()
        self.remove(sandbox.root)

    async def _reap(self) -> None:
        for sandbox in list(self.sandboxes.values()):
            if sandbox.alive and sandbox.expires_at <= time.monotonic():
                await self._kill_sandbox(sandbox)

    # ----------------------------------------------------------- control plane

    def _keyed(self, request: Request) -> None:
        if not hmac.compare_digest(request.headers.get("x-api-key", "").encode(), self.api_key.encode()):
            raise Refuse(401, "Invalid API key")

    def _controlled(self, request: Request) -> FakeSandbox:
        self._keyed(request)
        sandbox = self.sandboxes.get(request.path_params["sandbox_id"])
        if sandbox is None or not sandbox.alive:
            raise Refuse(404, "sandbox not found")
        return sandbox

    async def _create(self, request: Request) -> Response:
        self._keyed(request)
        body = json_object(await request.body(), {"templateID": "a string", "envVars": ENVIRONMENT,
                                                  "timeout": "a number"}, ("templateID",))
        self.record("create", body)
        if (template := body.get("templateID")) not in self.templates:
            raise Refuse(404, f"template '{template}' not found")
        sandbox_id, envs = "sbx" + uuid.uuid4().hex[:12], dict(body.get("envVars") or {})
        (root := self.own(self.tmp) / sandbox_id).mkdir()
        try:
            container, worker = await start_worker(root, envs)
        except (OSError, RuntimeError) as exc:  # its environment over what exec takes, say: nothing is left of it
            self.remove(root)
            too_large = isinstance(exc, OSError) and exc.errno == errno.E2BIG
            raise Refuse(400 if too_large else 500, "the sandbox cannot start" + (
                " with this 'envVars': larger than a process's environment may be" if too_large else f": {exc}"))
        sandbox = FakeSandbox(sandbox_id, template, secrets.token_hex(16), root, envs,
                              time.monotonic() + int(body.get("timeout") or 300), worker, container)
        self.sandboxes[sandbox_id] = sandbox
        return JSONResponse({"templateID": template, "sandboxID": sandbox_id, "clientID": "stand-in",
                             "envdVersion": ENVD_VERSION, "envdAccessToken": sandbox.access_token, "domain": None},
                            status_code=201)

    async def _kill(self, request: Request) -> Response:
        await self._kill_sandbox(self._controlled(request))
        return Response(status_code=204)

    async def _info(self, request: Request) -> Response:
        sandbox = self._controlled(request)
        return JSONResponse({"sandboxID": sandbox.sandbox_id, "templateID": sandbox.template, "state": "running"})

    async def _set_timeout(self, request: Request) -> Response:
        sandbox = self._controlled(request)
        timeout = json_object(await request.body(), {"timeout": "a number"}, ("timeout",))["timeout"]
        sandbox.expires_at = time.monotonic() + int(timeout)
        return Response(status_code=204)

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

    def fail_next_pull(self, *, times: int = 1) -> None:
        """The next ``times`` builds fail to pull their image, quoting the registry login they were given."""
        self.add_fault(Fault("template.start", "pull_error", times))

    def _template_routes(self) -> list[Route]:
        e = self.endpoint
        return [
            Route("/templates/aliases/{alias}", e("template.exists", self._alias_exists), methods=["GET"]),
            Route("/templates/{name}/tags", e("template.tags", self._template_tags), methods=["GET"]),
            Route("/v3/templates", e("template.request", self._template_request), methods=["POST"]),
            Route("/templates/{tid}/files/{hash}", e("template.files", self._template_files), methods=["GET"]),
            Route("/uploads/{hash}", e("template.upload", self._template_upload), methods=["PUT"]),
            Route("/v2/templates/{tid}/builds/{bid}", e("template.start", self._template_start), methods=["POST"]),
            Route("/templates/{tid}/builds/{bid}/status", e("template.status", self._template_status),
                  methods=["GET"]),
        ]

    def _template(self, request: Request, param: str, table: dict[str, dict[str, Any]]) -> dict[str, Any]:
        self._keyed(request)
        if (entry := table.get(request.path_params[param])) is None:
            raise Refuse(404, f"{request.path_params[param]} not found")
        return entry

    async def _alias_exists(self, request: Request) -> Response:
        alias = self._template(request, "alias", self.aliases)
        return JSONResponse({"templateID": alias["template_id"], "public": False})

    async def _template_tags(self, request: Request) -> Response:
        alias, created = self._template(request, "name", self.aliases), dt.datetime.now(dt.UTC).isoformat()
        return JSONResponse([{"tag": tag, "buildID": str(uuid.uuid4()), "createdAt": created}
                             for tag in alias["tags"]])

    async def _template_request(self, request: Request) -> Response:
        self._keyed(request)
        body = json_object(await request.body(), {"name": "a string"}, ("name",))
        self.record("template.request", body)
        alias = self.aliases.setdefault(body["name"], {"template_id": "tpl" + uuid.uuid4().hex[:12], "tags": []})
        build_id = str(uuid.uuid4())
        self.builds[build_id] = {"name": body["name"], "status": "waiting", "entries": [], "polls": 0, "error": None}
        return JSONResponse({"templateID": alias["template_id"], "buildID": build_id, "public": False,
                             "names": [body["name"]], "tags": [], "aliases": [body["name"]]}, status_code=202)

    async def _template_files(self, request: Request) -> Response:
        # The link the SDK uploads a COPY step's sources to, unless that hash is cached.
        self._template(request, "tid", {alias["template_id"]: alias for alias in self.aliases.values()})
        files_hash = request.path_params["hash"]
        self.record("template.files", {"hash": files_hash})
        url = f"{self.api_url}/uploads/{files_hash}?signature={self._upload_signature(files_hash)}"
        return JSONResponse({"present": files_hash in self.uploads, "url": url}, status_code=201)

    def _upload_signature(self, files_hash: str) -> str:
        return hmac.new(self._upload_key, files_hash.encode(), hashlib.sha256).hexdigest()

    async def _template_upload(self, request: Request) -> Response:
        if not hmac.compare_digest(request.query_params.get("signature", "").encode(),
                                   self._upload_signature(request.path_params["hash"]).encode()):
            raise Refuse(403, "invalid upload signature")
        files: dict[str, bytes] = {}
        with tarfile.open(fileobj=io.BytesIO(await request.body()), mode="r:*") as archive:
            for member in archive.getmembers():
                if member.isfile():
                    files[member.name] = archive.extractfile(member).read()
        self.uploads[request.path_params["hash"]] = files
        self.record("template.upload", {"hash": request.path_params["hash"], "files": sorted(files)})
        return Response(status_code=200)

    async def _template_start(self, request: Request) -> Response:
        build = self._template(request, "bid", self.builds)
        body = json_object(await request.body(), {"fromImage": "a string", "fromImageRegistry": "an object",
                                                  "steps": "an array"})
        for number, step in enumerate(body.get("steps") or []):
            json_object(step, {"type": "a string", "args": "an array", "filesHash": "a string"}, ("type",),
                        what=f"step {number} of the request body")
            if step["type"] == "COPY" and not step.get("args"):
                raise Refuse(400, f"step {number} of the request body, a COPY, gives no 'args' (what it copies)")
        self.record("template.start", body)
        if (fault := self.take_fault("template.start", "build_error")) is not None:
            build["error"] = fault.message
        if self.take_fault("template.start", "pull_error") is not None:
            build["error"] = f"pulling {body.get('fromImage')}: {_registry_login(body)} refused: unauthorized"
        # As the service: a COPY step whose sources never arrived fails the build.
        for step in body.get("steps") or []:
            if step["type"] == "COPY" and step.get("filesHash") not in self.uploads:
                build["error"] = f"COPY {step['args'][0]}: files {step.get('filesHash')} were not uploaded"
        return Response(status_code=202)

    async def _template_status(self, request: Request) -> Response:
        build = self._template(request, "bid", self.builds)
        build["polls"] += 1
        if build["status"] in ("waiting", "building"):
            build["status"] = "building" if build["polls"] == 1 else "error" if build["error"] else "ready"
            failed = build["status"] == "error"  # the service logs why a build failed
            build["entries"].append({"timestamp": dt.datetime.now(dt.UTC).isoformat(),
                                     "level": "error" if failed else "info",
                                     "message": build["error"] if failed else f"build {build['status']}"})
            if build["status"] == "ready":
                self.aliases[build["name"]]["tags"].append("default")
                self.templates.add(build["name"])
        offset = query_number(request, "logsOffset", 0, 0)
        body = {"templateID": request.path_params["tid"], "buildID": request.path_params["bid"],
                "status": build["status"], "logs": [], "logEntries": build["entries"][offset:offset + 100]}
        if build["status"] == "error":
            body["reason"] = {"message": build["error"]}
        return JSONResponse(body)

    # --------------------------------------------------------------- envd side

    def _sandbox_for(self, headers) -> FakeSandbox:
        sandbox = self.sandboxes.get(sandbox_id := headers.get("e2b-sandbox-id") or "")
        if sandbox is None or not sandbox.alive:
            raise Refuse(502, f"The sandbox {sandbox_id} was not found" + _ended(sandbox))
        if not hmac.compare_digest(headers.get("x-access-token", "").encode(), sandbox.access_token.encode()):
            raise Refuse(401, "invalid access token")
        return sandbox

    async def _health(self, request: Request) -> Response:
        sandbox = self.sandboxes.get(sandbox_id := request.headers.get("e2b-sandbox-id") or "")
        if sandbox_id and (sandbox is None or not sandbox.alive):  # only a missing sandbox is unhealthy
            raise Refuse(502, f"The sandbox {sandbox_id} was not found" + _ended(sandbox))
        return Response(status_code=204)

    async def _execute(self, request: Request) -> Response:
        sandbox = self._sandbox_for(request.headers)
        body = json_object(await request.body(), {"code": "a string", "env_vars": ENVIRONMENT}, ("code",))
        self.record("execute", body)
        drop = self.take_fault("execute", "drop")

        async def stream() -> AsyncIterator[bytes]:
            async with contextlib.aclosing(sandbox.worker.run(body.get("code", ""), body.get("env_vars"))) as events:
                sent = 0
                event = {}
                async for event in events:
                    if drop is not None and sent >= drop.after:
                        raise DropConnection("stream dropped on purpose")
                    yield (json.dumps(event) + "\n").encode()
                    sent += 1
            if event.get("type") != "end_of_execution":  # the sandbox ended mid-run: its connection goes with it
                raise DropConnection("the sandbox ended while the code ran")

        return StreamingResponse(stream(), media_type="application/x-ndjson")

    def _file_sandbox(self, request: Request, operation: str) -> FakeSandbox:
        if (signature := request.query_params.get("signature")) is None:
            return self._sandbox_for(request.headers)
        query = request.query_params
        expiration = query.get("signature_expiration")
        for sandbox in list(self.sandboxes.values()):
            raw = f"{query.get('path', '')}:{operation}:{query.get('username', '')}:{sandbox.access_token}"
            digest = hashlib.sha256((raw + (f":{expiration}" if expiration else "")).encode()).digest()
            if sandbox.alive and hmac.compare_digest("v1_" + base64.b64encode(digest).rstrip(b"=").decode(), signature):
                if expiration and query_number(request, "signature_expiration", 0, 0) < time.time():
                    raise Refuse(401, "signature expired")
                return sandbox
        raise Refuse(401, "invalid signature")

    async def _read_files(self, request: Request) -> Response:
        sandbox = self._file_sandbox(request, "read")
        path, expiration = request.query_params.get("path", ""), request.query_params.get("signature_expiration")
        self.record("files.read", {"path": path, "signed": "signature" in request.query_params,
                                   "expiration": expiration and int(expiration)})
        try:
            data = await sandbox.container.read(path)
        except OSError as error:
            raise Refuse(*unread(error) or (404, f"path '{path}' does not exist")) from None
        return Response(data, media_type="application/octet-stream")

    async def _write_files(self, request: Request) -> Response:
        sandbox = self._file_sandbox(request, "write")
        written = []
        async with multipart_form(request, 64 * 1024 * 1024) as form:
            parts = [part for _, part in form.multi_items() if not isinstance(part, str)]
            for part in parts:
                # One file's path comes as it was given, in the query, as envd takes it; a part's name
                # is only as exact as its form's escapes can be undone.
                path = request.query_params["path"] if len(parts) == 1 and "path" in request.query_params else \
                    _FORM_ESCAPE.sub(lambda escape: chr(int(escape[1], 16)), part.filename)
                try:
                    with open(await sandbox.container.open(path, write=True), "wb") as target:
                        target.write(await part.read())
                except OSError as exc:
                    raise Refuse(400, f"cannot write '{path}': {exc.strerror}") from None
                written.append({"path": path, "name": Path(path).name, "type": "file"})
        self.record("files.write", {"paths": [entry["path"] for entry in written]})
        if (short := self.take_fault("files.write", "short_write")) is not None:
            written = written[: short.after]
        return JSONResponse(written)


def _ended(sandbox: FakeSandbox | None) -> str:
    """Why a sandbox that was not killed is gone: its container ended."""
    gone = sandbox is not None and not sandbox.killed and not sandbox.container.alive
    return ": it has ended, its container's first process is gone" if gone else ""


def _registry_login(body: dict[str, Any]) -> str:
    """The login a build's start request carries, as a registry pull quotes it: "login user:password@host"."""
    registry, image = body.get("fromImageRegistry") or {}, body.get("fromImage") or ""
    user, password = {
        "registry": (registry.get("username"), registry.get("password")),
        "aws": (registry.get("awsAccessKeyId"), registry.get("awsSecretAccessKey")),
        "gcp": ("_json_key", registry.get("serviceAccountJson")),
    }.get(registry.get("type"), ("", ""))
    host = image.split("/")[0] if "/" in image else "docker.io"
    return f"login {user}:{password}@{host}"


class _ShallowCodec(type(ENVD_JSON_CODEC)):
    """The SDK's JSON codec, refusing a body nested too deeply before its decoder (in C) overflows its stack."""

    def decode(self, data, message_class):
        try:
            shallow(bytes(data))
        except Refuse as refusal:
            raise ConnectError(Code.INVALID_ARGUMENT, refusal.message) from None
        return super().decode(data, message_class)


class _ProcessService(Process):
    """The envd ``process.Process`` service: only ``Start`` is served."""

    def __init__(self, stand_in: E2BStandIn) -> None:
        self._stand_in = stand_in

    async def start(self, request, ctx) -> AsyncIterator[StartResponse]:
        try:
            sandbox = self._stand_in._sandbox_for(ctx.request_headers)
        except Refuse as refusal:
            raise ConnectError(Code.UNAUTHENTICATED if refusal.status == 401 else Code.UNAVAILABLE, refusal.message)
        config = request.process
        # timeout_ms: the client's deadline as sent in Connect-Timeout-Ms.
        self._stand_in.record("process.start", {"cmd": config.cmd, "args": list(config.args), "envs": dict(config.envs),
                                                "timeout_ms": ctx.request_headers.get("connect-timeout-ms"),
                                                "client": ctx.client_address})  # its connection
        env = {**environ(HOME), **sandbox.envs, **dict(config.envs), "HOME": HOME}
        try:
            await sandbox.container.mkdir("/home/user")
            command = await Command.start(config.cmd, list(config.args), cwd="/home/user", env=env,
                                          container=sandbox.container)
        except OSError as exc:  # a command its agent refuses (too large, say), or its sandbox ended meanwhile
            # As a ConnectError, answered in the stream: any other exception connectrpc raises again once it
            # has answered, and uvicorn then drops the connection, which the client may be reusing already.
            raise ConnectError(Code.UNKNOWN, str(exc)) from None
        ender = asyncio.ensure_future(_end_when(command, ctx.timeout_ms, _CLIENT_GONE.get()))
        try:
            yield StartResponse(event=ProcessEvent(event=Oneof("start", ProcessEvent.StartEvent(pid=command.process.pid))))
            async for name, chunk in command.output():
                data = ProcessEvent.DataEvent(output=Oneof(name, chunk))
                yield StartResponse(event=ProcessEvent(event=Oneof("data", data)))
            code = await command.wait()
            if ctx.timeout_ms is not None and ctx.timeout_ms <= 0:  # ended at its deadline: as envd, that says so
                raise ConnectError(Code.DEADLINE_EXCEEDED, "context deadline exceeded")
            end = ProcessEvent.EndEvent(exit_code=code, exited=True, status=f"exit status {code}",
                                        error=None if code == 0 else f"exit status {code}")
            yield StartResponse(event=ProcessEvent(event=Oneof("end", end)))
        finally:
            ender.cancel()
            await command.kill()


async def _end_when(command: Command, remaining_ms: float | None, gone: asyncio.Event) -> None:
    """End ``command`` with its process group at the deadline its client sent (``Connect-Timeout-Ms``: the
    command's timeout), as envd does, or once its client has gone, even while it prints nothing: envd keeps it
    for a later ``Connect``, which this stand-in does not serve, so nothing could reach it again."""
    with contextlib.suppress(TimeoutError):
        await asyncio.wait_for(gone.wait(), None if remaining_ms is None else max(remaining_ms, 0) / 1000)
    await command.kill()
