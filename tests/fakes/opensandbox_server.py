"""A local stand-in for an OpenSandbox server that the real OpenSandbox SDKs talk to.

Two listeners on 127.0.0.1 (ephemeral ports), built on ``standin.StandIn``:

- "api", the lifecycle API under ``/v1``: create (answered 202; the sandbox becomes
  ready asynchronously, ``ready_delay`` seconds later), endpoints, kill, renew, info,
  snapshots (create, list with paging, get, delete; Creating -> Ready or Failed; a
  snapshot's copy of the tree is taken as the sandbox's own processes could read it, and
  leaves out what is not a file, directory or link: ``containers.copy_tree``) and
  the SDK's metrics side request;
- "execd", every sandbox's execd API under ``/execd/{id}`` (the endpoint handed out):
  ping, directories, multipart upload, download, commands streamed as events from real
  ``bash`` processes, the code route with one persistent Python worker per context,
  and interrupts. Until its container is ready a sandbox's execd answers 503.

A request whose body is not a JSON object, lacks a field it needs or has one of another kind is answered
400 saying what is wrong (``standin.json_object``).

Each sandbox's endpoint is handed out with a header carrying a secret of that sandbox
(``TOKEN_HEADER``), which the SDK sends on every execd request; a request without it is
answered 401 and does nothing, so the stand-in serves only the run that made the sandbox,
not another local user who finds its port. A sandbox whose container's first process has
died says so: its state is "Failed", and each execd request is answered 500 saying why.

Each sandbox owns a file tree ``<root>/<absolute path>``. Its
processes (commands and code workers) run in a sandbox of their own under bubblewrap
(``containers.py``): a process list with its own ``/proc``, the host's files read-only, and
the sandbox's own ``<root>/tmp`` as ``/tmp``, so sandbox paths such as "/tmp/files/x" or Unix
sockets under "/tmp" mean the same thing to the file API (which acts inside the sandbox), to
commands and to code, and nothing leaks into the host's ``/tmp``. Code starts in ``/tmp``. Commands run with
stdin closed, in their own process group, with the sandbox's environment plus the
request's ``envs`` and the sandbox's tag (``OPENSANDBOX_STANDIN_SANDBOX``, its id); they
are killed (with their group) on their ``timeout``, on an interrupt, when the client
goes away and when the sandbox dies; processes that left the group end with the
sandbox's container, when the sandbox dies or the stand-in stops.

The in-sandbox Jupyter server is the route ``/jupyter/{id}/{secret}/api``: a command naming
the sandbox's loopback Jupyter port (44771) reaches it (the command line is rewritten to that
route, with a secret of its own, as it shows in a process list), and ``JUPYTER_PORT`` in the
command environment names a port that accepts while Jupyter is up.

Faults: ``fail``/``stall``/``drop_stream``/``end_stream`` on the routes in ``ROUTES``
(a stream ended early stops before the run's "execution_complete", or before the
"error" that ends a failed command),
``refuse``/``restore`` per listener, and :meth:`OpenSandboxStandIn.next_sandbox`
(never ready, no Jupyter), :meth:`fail_next_snapshot`, :meth:`endless_pages`.

A third listener, "ecr", answers the ECR authorization-token call of boto3 (the
registry login of an AWS credential) when ``AWS_ENDPOINT_URL_ECR`` points there, signed with
``ecr_credentials`` (``sigv4.py``). The lifecycle API, the SDK's metrics request included,
wants the stand-in's ``api_key``; a request without it is answered 401 and does nothing.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import datetime as dt
import hmac
import json
import os
import re
import secrets
import shlex
import socket
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Awaitable
from typing import Any, TypeVar

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from tests.fakes.containers import Container, copy_tree, environ, restore_tree, unread
from tests.fakes.sigv4 import BODY_LIMIT, new_credentials, signed_body
from tests.fakes.standin import (
    ENVIRONMENT,
    Command,
    DropConnection,
    Fault,
    PythonWorker,
    Refuse,
    StandIn,
    json_object,
    multipart_form,
    query_number,
    until_exited,
)

_sleep = asyncio.sleep  # a test that patches the global cannot disturb the stand-in's timers
JUPYTER_PORT = 44771
EXECD_PORT = 44772
_DRAIN_GRACE = 0.5
_TAG = "OPENSANDBOX_STANDIN_SANDBOX"
TOKEN_HEADER = "X-Stand-In-Sandbox-Token"
_ENDED = "the sandbox's container has ended: its first process is gone"
T = TypeVar("T")


async def _entered(sandbox: FakeSandbox, starting: Awaitable[T]) -> T:
    """``starting`` (a process's start in ``sandbox``'s container), refused with the reason where the
    sandbox was killed or its container ended meanwhile (after the request's own check), or where its
    agent refused what it was given (a NUL byte, a command line over the system's limit)."""
    try:
        return await starting
    except (OSError, RuntimeError) as exc:
        if sandbox.killed:
            raise Refuse(404, "sandbox not found") from None
        if not sandbox.container.alive:
            raise Refuse(500, _ENDED) from None
        if isinstance(exc, OSError):
            raise Refuse(400, f"cannot start it in the sandbox: {exc.strerror or exc}") from None
        raise Refuse(500, str(exc)) from None  # a code worker that failed to start, saying why


# The events that report the end of a run (a failed command ends with its error).
_FINAL_EVENTS = ("execution_complete", "error")


def _now_ms() -> int:
    return int(time.time() * 1000)


def _iso(moment: float) -> str:
    return dt.datetime.fromtimestamp(moment, dt.UTC).isoformat()


def _closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@dataclass
class FakeSandbox:
    """One sandbox of the stand-in; read-only for tests."""

    id: str
    source: dict[str, Any]
    root: Path
    env: dict[str, str]
    entrypoint: list[str]
    expires_at: float
    request: dict[str, Any]
    ready: bool = False
    jupyter: bool = True
    killed: bool = False
    container: Container | None = None
    token: str = field(default_factory=lambda: secrets.token_urlsafe(32))  # see TOKEN_HEADER
    jupyter_token: str = field(default_factory=lambda: secrets.token_urlsafe(32))
    contexts: dict[str, PythonWorker] = field(default_factory=dict)
    starting: asyncio.Lock = field(default_factory=asyncio.Lock)  # one worker per context
    running: dict[str, Any] = field(default_factory=dict)  # execution id -> Command | PythonWorker

    def host_path(self, path: str) -> Path:
        return self.root / os.path.normpath("/" + path).lstrip("/")


@dataclass
class FakeSnapshot:
    id: str
    sandbox_id: str
    name: str | None
    created_at: float
    state: str = "Creating"
    tree: Path | None = None
    naive: bool = False  # createdAt without its UTC offset, as some servers write it

    def body(self) -> dict[str, Any]:
        created = _iso(self.created_at)
        return {"id": self.id, "sandboxId": self.sandbox_id, "name": self.name, "status": {"state": self.state},
                "createdAt": created.removesuffix("+00:00") if self.naive else created}


class OpenSandboxStandIn(StandIn):
    """The local OpenSandbox server (see the module docstring)."""

    CONTAINERS = True
    ROUTES = ("create", "endpoint", "kill", "renew", "info", "snapshot.create", "snapshot.list",
              "snapshot.get", "snapshot.delete", "ping", "directories", "upload", "download",
              "command", "command.interrupt", "code", "code.interrupt", "code.context", "jupyter", "ecr")

    def __init__(self) -> None:
        super().__init__()
        self.api_key = "osb-" + secrets.token_hex(16)
        #: The only AWS credentials whose ECR token request it answers.
        self.ecr_credentials = new_credentials()
        self.sandboxes: dict[str, FakeSandbox] = {}
        self.snapshots: dict[str, FakeSnapshot] = {}
        #: Seconds until a new sandbox's container (and its execd) is ready.
        self.ready_delay = 0.0
        #: Seconds until a new snapshot leaves "Creating".
        self.snapshot_delay = 0.05
        self._trees = Path()

    # -------------------------------------------------------------- connection

    @property
    def domain(self) -> str:
        return f"127.0.0.1:{self._ports['api']}"

    def connection_options(self) -> dict[str, Any]:
        """Keyword arguments of ``OpenSandbox.create`` that point it at this stand-in."""
        return {"api_key": self.api_key, "domain": self.domain, "protocol": "http"}

    def connection_config(self, *, sync: bool = False, **overrides: Any) -> Any:
        """An SDK connection config for this stand-in, without retries or metrics."""
        from opensandbox.config import ConnectionConfig
        from opensandbox.config.connection_sync import ConnectionConfigSync
        from opensandbox.transport import RetryPolicy

        config_class = ConnectionConfigSync if sync else ConnectionConfig
        options = {"api_key": self.api_key, "domain": self.domain, "protocol": "http",
                   "retry_policy": RetryPolicy.disabled(), "disable_metrics": True, **overrides}
        return config_class(**options)

    # ------------------------------------------------------------- test switches

    def next_sandbox(self, *, ready: bool = True, jupyter: bool = True, times: int = 1) -> None:
        """Make the next ``times`` sandboxes never become ready, or start without Jupyter."""
        kind = "never_ready" if not ready else "no_jupyter" if not jupyter else None
        if kind:
            self.add_fault(Fault("create", kind, times))

    def fail_next_snapshot(self, *, times: int = 1) -> None:
        """The next ``times`` snapshots end in state "Failed"."""
        self.add_fault(Fault("snapshot.create", "snapshot_failed", times))

    def endless_pages(self, *, times: int = 1) -> None:
        """The next ``times`` snapshot listings claim that another page follows."""
        self.add_fault(Fault("snapshot.list", "endless", times))

    def alive_sandboxes(self) -> list[str]:
        return [sid for sid, sandbox in list(self.sandboxes.items()) if not sandbox.killed]

    def add_snapshot(self, name: str | None, *, state: str = "Ready", created_at: float | None = None,
                     naive: bool = False) -> str:
        """Store a snapshot directly (no source sandbox); returns its id.

        ``naive`` lists its creation time without a UTC offset.
        """
        snapshot = FakeSnapshot("snap-" + uuid.uuid4().hex[:12], "", name,
                                created_at if created_at is not None else time.time(), state, naive=naive)
        self.snapshots[snapshot.id] = snapshot
        return snapshot.id

    async def forget_snapshots(self) -> None:
        for snapshot in self.snapshots.values():
            if snapshot.tree is not None:
                self.remove(snapshot.tree)
        self.snapshots.clear()

    def error_response(self, status: int, message: str) -> Response:
        return JSONResponse({"code": f"STANDIN::{status}", "message": message}, status_code=status)

    # ----------------------------------------------------------------- serving

    async def _serve(self) -> None:
        self._trees = self.own_directory("opensandbox-standin-")
        sandbox = "/v1/sandboxes/{sid}"
        await self.listen("api", Starlette(routes=[
            Route("/v1/sandboxes", self.endpoint("create", self._create), methods=["POST"]),
            Route(sandbox, self.endpoint("kill", self._kill), methods=["DELETE"]),
            Route(sandbox, self.endpoint("info", self._info), methods=["GET"]),
            Route(sandbox + "/endpoints/{port:int}", self.endpoint("endpoint", self._endpoint), methods=["GET"]),
            Route(sandbox + "/renew-expiration", self.endpoint("renew", self._renew), methods=["POST"]),
            Route(sandbox + "/snapshots", self.endpoint("snapshot.create", self._snapshot_create), methods=["POST"]),
            Route("/v1/snapshots", self.endpoint("snapshot.list", self._snapshot_list), methods=["GET"]),
            Route("/v1/snapshots/{snap}", self.endpoint("snapshot.get", self._snapshot_get), methods=["GET"]),
            Route("/v1/snapshots/{snap}", self.endpoint("snapshot.delete", self._snapshot_delete), methods=["DELETE"]),
            Route("/v1/metrics/events", self.endpoint("metrics", self._metrics), methods=["POST"]),
        ]))
        execd = "/execd/{sid}"
        await self.listen("execd", Starlette(routes=[
            Route(execd + "/ping", self.endpoint("ping", self._ping), methods=["GET"]),
            Route(execd + "/directories", self.endpoint("directories", self._directories), methods=["POST"]),
            Route(execd + "/files/upload", self.endpoint("upload", self._upload), methods=["POST"]),
            Route(execd + "/files/download", self.endpoint("download", self._download), methods=["GET"]),
            Route(execd + "/command", self.endpoint("command", self._command), methods=["POST"]),
            Route(execd + "/command", self.endpoint("command.interrupt", self._interrupt), methods=["DELETE"]),
            Route(execd + "/code", self.endpoint("code", self._code), methods=["POST"]),
            Route(execd + "/code", self.endpoint("code.interrupt", self._interrupt), methods=["DELETE"]),
            Route(execd + "/code/context", self.endpoint("code.context", self._code_context), methods=["POST"]),
            Route("/jupyter/{sid}/{token}/api", self.endpoint("jupyter", self._jupyter), methods=["GET"]),
        ]))
        await self.listen("ecr", Starlette(routes=[Route("/", self.endpoint("ecr", self._ecr_token), methods=["POST"])]))
        self.spawn(self.every(0.2, self._reap))

    async def _teardown(self) -> None:
        for sandbox in list(self.sandboxes.values()):
            await self._kill_sandbox(sandbox)

    # ------------------------------------------------------------- lifecycle API

    def _authorized(self, request: Request) -> None:
        if not hmac.compare_digest(request.headers.get("open-sandbox-api-key", "").encode(), self.api_key.encode()):
            raise Refuse(401, "invalid API key")

    def _sandbox(self, request: Request, *, execd: bool = False) -> FakeSandbox:
        """The live sandbox a request names (for execd: which the request proves it was handed, whose
        container is ready and still runs)."""
        if not execd:
            self._authorized(request)
        sandbox = self.sandboxes.get(request.path_params["sid"])
        if sandbox is None or sandbox.killed:
            raise Refuse(404, "sandbox not found")
        if execd:
            given, token = ((request.path_params["token"], sandbox.jupyter_token) if "token" in request.path_params
                            else (request.headers.get(TOKEN_HEADER, ""), sandbox.token))
            if not hmac.compare_digest(given.encode(), token.encode()):
                raise Refuse(401, "this sandbox's token is missing or wrong")
            if not sandbox.ready:
                raise Refuse(503, "sandbox container is starting")
            if not sandbox.container.alive:
                raise Refuse(500, _ENDED)
        return sandbox

    async def _create(self, request: Request) -> Response:
        self._authorized(request)
        body = json_object(await request.body(), {"snapshotId": "a string", "timeout": "a number", "env": ENVIRONMENT,
                                                  "entrypoint": "an array of strings", "metadata": "an object"})
        if "snapshotId" not in body:
            json_object(json_object(body, required=("image",))["image"], {"uri": "a string"}, ("uri",),
                        what="'image' of the request body")
        self.record("create", body)
        sid = "osb" + uuid.uuid4().hex[:12]
        root = self.own(self._trees) / sid
        source = {"snapshotId": body["snapshotId"]} if "snapshotId" in body else {"image": body["image"]["uri"]}
        if "snapshotId" in body:
            snapshot = self.snapshots.get(body["snapshotId"])
            if snapshot is None or snapshot.state != "Ready":
                raise Refuse(404, f"snapshot {body['snapshotId']} is not ready")
            root.mkdir()
            if snapshot.tree is not None:
                try:
                    await restore_tree(snapshot.tree, root)
                except OSError as exc:
                    self.remove(root)
                    raise Refuse(500, f"cannot restore snapshot {snapshot.id}: {exc}") from None
                if self.snapshots.get(snapshot.id) is not snapshot:  # its tree was being removed as it was copied
                    self.remove(root)
                    raise Refuse(404, f"snapshot {snapshot.id} was deleted while it was restored")
        (root / "tmp").mkdir(parents=True, exist_ok=True)
        lifetime = body.get("timeout") or 600
        sandbox = FakeSandbox(sid, source, root, dict(body.get("env") or {}), list(body.get("entrypoint") or []),
                              time.monotonic() + lifetime, body)
        sandbox.jupyter = self.take_fault("create", "no_jupyter") is None
        try:
            # Made before the answer, so that a sandbox with no delay is ready at the SDK's first health check.
            sandbox.container = await Container.start(root, {"tmp"})
        except OSError as exc:
            self.remove(root)
            raise Refuse(500, f"sandbox container failed to start: {exc}") from None
        self.sandboxes[sid] = sandbox
        if self.take_fault("create", "never_ready") is None:
            self.spawn(self._become_ready(sandbox))
        return JSONResponse({"id": sid, "status": {"state": "Pending"}, "createdAt": _iso(time.time()),
                             "entrypoint": sandbox.entrypoint, "metadata": body.get("metadata") or {}},
                            status_code=202)

    async def _become_ready(self, sandbox: FakeSandbox) -> None:
        await _sleep(self.ready_delay)
        sandbox.ready = True

    async def _endpoint(self, request: Request) -> Response:
        sandbox = self._sandbox(request)
        kind = "execd" if request.path_params["port"] == EXECD_PORT else "port"
        return JSONResponse({"endpoint": f"127.0.0.1:{self._ports['execd']}/{kind}/{sandbox.id}",
                             "headers": {TOKEN_HEADER: sandbox.token}})

    async def _kill(self, request: Request) -> Response:
        sandbox = self._sandbox(request)
        await self._kill_sandbox(sandbox)
        return Response(status_code=204)

    async def _info(self, request: Request) -> Response:
        sandbox = self._sandbox(request)
        status = {"state": "Running" if sandbox.ready else "Pending"}
        if not sandbox.container.alive:
            status = {"state": "Failed", "reason": "ContainerEnded", "message": _ENDED}
        return JSONResponse({"id": sandbox.id, "status": status,
                             "entrypoint": sandbox.entrypoint, "createdAt": _iso(time.time())})

    async def _renew(self, request: Request) -> Response:
        sandbox = self._sandbox(request)
        body = json_object(await request.body(), {"expiresAt": "a string"}, ("expiresAt",))
        self.record("renew", {"sandbox": sandbox.id, **body})
        try:
            expires = dt.datetime.fromisoformat(body["expiresAt"])
        except ValueError as exc:
            raise Refuse(400, f"'expiresAt' of the request body is not a time: {exc}") from None
        sandbox.expires_at = time.monotonic() + (expires.timestamp() - time.time())
        return JSONResponse({"expiresAt": expires.isoformat()})

    async def _kill_sandbox(self, sandbox: FakeSandbox) -> None:
        sandbox.killed = True
        # Every process of the sandbox, daemons that left their group included, ends with its
        # container; what is left of the stand-in's handles on them is reaped after.
        if sandbox.container is not None:
            await sandbox.container.kill()
        for process in [*sandbox.running.values(), *sandbox.contexts.values()]:
            await process.kill()
        self.remove(sandbox.root)

    async def _reap(self) -> None:
        now = time.monotonic()
        for sandbox in list(self.sandboxes.values()):
            if not sandbox.killed and sandbox.expires_at <= now:
                await self._kill_sandbox(sandbox)

    # ---------------------------------------------------------------- snapshots

    async def _snapshot_create(self, request: Request) -> Response:
        if not (sandbox := self._sandbox(request)).ready:
            raise Refuse(409, "sandbox is not running")
        body = json_object(await request.body() or b"{}", {"name": "a string"})
        snapshot = FakeSnapshot("snap-" + uuid.uuid4().hex[:12], sandbox.id, body.get("name"), time.time())
        (tree := self.own(self._trees) / snapshot.id).mkdir()
        failure = None
        try:
            await copy_tree(sandbox.root, {"tmp"}, tree)
        except OSError as exc:
            failure = exc
        except BaseException:
            self.remove(tree)
            raise
        if failure is not None or sandbox.killed:
            self.remove(tree)
            if sandbox.killed:  # terminated meanwhile: its tree was being removed as it was copied, or gone
                raise Refuse(409, f"sandbox {sandbox.id} was terminated while its snapshot was taken")
            # The sandbox's own doing: an entry of its tree its own modes forbid reading
            raise Refuse(409 if isinstance(failure, PermissionError) else 500,
                         f"cannot snapshot sandbox {sandbox.id}: {failure}")
        snapshot.tree = tree
        self.snapshots[snapshot.id] = snapshot
        failed = self.take_fault("snapshot.create", "snapshot_failed") is not None
        self.spawn(self._settle_snapshot(snapshot, "Failed" if failed else "Ready"))
        return JSONResponse(snapshot.body(), status_code=202)

    async def _settle_snapshot(self, snapshot: FakeSnapshot, state: str) -> None:
        await _sleep(self.snapshot_delay)
        snapshot.state = state

    async def _snapshot_list(self, request: Request) -> Response:
        self._authorized(request)
        query = request.query_params
        self.record("snapshot.list", {key: query.getlist(key) for key in query})
        states, name = query.getlist("state"), query.get("name")
        items = [s for s in self.snapshots.values()
                 if (not states or s.state in states) and (name is None or s.name == name)
                 and query.get("sandboxId") in (None, s.sandbox_id)]
        page, size = query_number(request, "page", 1, 1), query_number(request, "pageSize", 20, 1)
        pages = max(1, -(-len(items) // size))
        endless = self.take_fault("snapshot.list", "endless") is not None
        return JSONResponse({
            "items": [s.body() for s in items[(page - 1) * size: page * size]],
            "pagination": {"page": page, "pageSize": size, "totalItems": len(items), "totalPages": pages,
                           "hasNextPage": endless or page < pages}})

    async def _snapshot_get(self, request: Request) -> Response:
        self._authorized(request)
        if (snapshot := self.snapshots.get(request.path_params["snap"])) is None:
            raise Refuse(404, "snapshot not found")
        return JSONResponse(snapshot.body())

    async def _metrics(self, request: Request) -> Response:
        self._authorized(request)  # the SDK's side request sends the key too
        return Response(status_code=204)

    async def _snapshot_delete(self, request: Request) -> Response:
        self._authorized(request)
        if (snapshot := self.snapshots.pop(request.path_params["snap"], None)) is None:
            raise Refuse(404, "snapshot not found")
        if snapshot.tree is not None:
            self.remove(snapshot.tree)
        return Response(status_code=204)

    # ------------------------------------------------- ECR login (AWS registries)
    # The registry login an AWS credential becomes: boto3's ECR client, pointed
    # here through AWS_ENDPOINT_URL_ECR, asks for an authorization token, signed
    # with the stand-in's ``ecr_credentials`` (any other signature is answered 403,
    # a body over ``ecr_body_limit`` 413).

    #: The password part of the token handed out (it holds a colon on purpose).
    ecr_password = "ecr-login:opaque-after-colon"
    #: The largest request body the ECR listener reads.
    ecr_body_limit = BODY_LIMIT

    @property
    def ecr_url(self) -> str:
        return self.url("ecr")

    async def _ecr_token(self, request: Request) -> Response:
        # As AgentCore's: another key's request is refused on its headers, its body never read.
        body = await signed_body(self.ecr_credentials, "ecr", request.scope, request.headers, request.receive,
                                 self.ecr_body_limit)
        if isinstance(body, tuple):
            status, message, kind = body
            return JSONResponse({"message": message, **({"__type": kind} if kind else {})}, status_code=status,
                                media_type="application/x-amz-json-1.1", headers={"connection": "close"})
        signed = re.search(r"Credential=([^/]+)/\d+/([^/]+)/ecr/", request.headers["authorization"])
        self.record("ecr", {"target": request.headers.get("x-amz-target"),
                            "access_key_id": signed[1], "region": signed[2]})
        token = base64.b64encode(f"AWS:{self.ecr_password}".encode()).decode()
        return JSONResponse({"authorizationData": [{"authorizationToken": token, "expiresAt": time.time() + 3600,
                                                    "proxyEndpoint": "https://ecr.example"}]},
                            media_type="application/x-amz-json-1.1")

    # ----------------------------------------------------------------- execd API

    async def _ping(self, request: Request) -> Response:
        self._sandbox(request, execd=True)
        return Response(status_code=200)

    async def _jupyter(self, request: Request) -> Response:
        if not self._sandbox(request, execd=True).jupyter:
            return Response("no server", status_code=503)
        return JSONResponse({"version": "stand-in"})

    async def _directories(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        for path, permissions in json_object(await request.body()).items():
            json_object(permissions, {"mode": "a number", "owner": "a string", "group": "a string"},
                        what=f"the permissions of {path!r:.100}")
            if not path:
                raise Refuse(400, "the request body names a directory with an empty path")
            try:
                await sandbox.container.mkdir(path)
            except OSError as exc:
                raise Refuse(400, f"cannot make '{path}': {exc.strerror}") from None
        return Response(status_code=200)

    async def _upload(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        paths, path = [], None
        async with multipart_form(request, 256 * 1024 * 1024) as form:
            for key, part in form.multi_items():
                if key == "metadata":
                    metadata = part if isinstance(part, str) else (await part.read()).decode()
                    path = json_object(metadata.encode(), {"path": "a string"}, ("path",),
                                       what="a file's metadata")["path"]
                elif key == "file" and path is None:
                    raise Refuse(400, "a file part comes with no metadata part before it naming its path")
                elif key == "file":
                    try:
                        with open(await sandbox.container.open(path, write=True), "wb") as target:
                            target.write(part.encode() if isinstance(part, str) else await part.read())
                    except OSError as exc:
                        raise Refuse(400, f"cannot write '{path}': {exc.strerror}") from None
                    paths.append(path)
                    path = None
        self.record("upload", {"paths": paths})
        return Response(status_code=200)

    async def _download(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        try:
            data = await sandbox.container.read(request.query_params.get("path", ""))
        except OSError as error:
            raise Refuse(*unread(error) or (404, "file not found")) from None
        return Response(data, media_type="application/octet-stream")

    async def _interrupt(self, request: Request) -> Response:
        route = "code.interrupt" if request.url.path.endswith("/code") else "command.interrupt"
        sandbox = self._sandbox(request, execd=True)
        execution_id = request.query_params.get("id", "")
        self.record(route, {"id": execution_id})
        running = sandbox.running.get(execution_id)
        if isinstance(running, PythonWorker):
            await running.interrupt()
        elif running is not None:
            await running.kill()
        return Response(status_code=200)

    def _process_env(self, sandbox: FakeSandbox, extra: dict[str, str] | None) -> dict[str, str]:
        jupyter_port = self._ports["execd"] if sandbox.jupyter else _closed_port()
        return {**environ("/tmp"), **sandbox.env, "JUPYTER_PORT": str(jupyter_port), **(extra or {}), _TAG: sandbox.id}

    def _stream(self, events, fault: Fault | None, sse: bool) -> StreamingResponse:
        """Stream ``events``; a "drop" fault cuts the body, an "end" fault ends it early but cleanly."""
        end = fault is not None and fault.kind == "end"

        async def body():
            async with contextlib.aclosing(events):
                sent = 0
                async for event in events:
                    if fault is not None and fault.after >= 0 and sent >= fault.after:
                        if end:
                            return
                        raise DropConnection("stream dropped on purpose")
                    if end and fault.after < 0 and event["type"] in _FINAL_EVENTS:
                        return
                    text = json.dumps({**event, "timestamp": _now_ms()})
                    yield (f"data: {text}\n\n" if sse else text + "\n\n").encode()
                    sent += 1

        return StreamingResponse(body(), media_type="text/event-stream",
                                 headers={"connection": "close"} if end else None)

    async def _command(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        body = json_object(await request.body(), {"command": "a string", "argv": "an array of strings",
                                                  "cwd": "a string", "envs": ENVIRONMENT, "timeout": "a number",
                                                  "background": "a boolean"})
        if body.get("command") is None and body.get("argv") is None:
            raise Refuse(400, "the request body gives no 'command' (nor 'argv')")
        self.record("command", body)
        text = body.get("command") or shlex.join(map(str, body.get("argv") or []))
        # The sandbox's loopback Jupyter port is the stand-in's Jupyter route.
        text = text.replace(f"127.0.0.1:{JUPYTER_PORT}",
                            f"127.0.0.1:{self._ports['execd']}/jupyter/{sandbox.id}/{sandbox.jupyter_token}")
        cwd = body.get("cwd") or "/tmp"
        process = await _entered(sandbox, Command.start("bash", ["-c", text], cwd=cwd, container=sandbox.container,
                                                        env=self._process_env(sandbox, body.get("envs"))))
        execution_id = uuid.uuid4().hex
        sandbox.running[execution_id] = process
        if body.get("background"):
            self.spawn(self._finish_background(sandbox, execution_id, process))
            return self._stream(self._background_events(execution_id), None, sse=True)
        fault = self.take_fault("command", "drop", "end")
        return self._stream(self._command_events(sandbox, execution_id, process, body.get("timeout")), fault, sse=True)

    async def _background_events(self, execution_id: str):
        yield {"type": "init", "text": execution_id}
        yield {"type": "execution_complete", "execution_time": 0}

    async def _finish_background(self, sandbox: FakeSandbox, execution_id: str, process: Command) -> None:
        async for _ in process.output():
            pass
        await process.wait()
        sandbox.running.pop(execution_id, None)

    async def _command_events(self, sandbox: FakeSandbox, execution_id: str, process: Command, timeout_ms):
        started = time.monotonic()
        timer = None
        pending = {"stdout": b"", "stderr": b""}
        exited = asyncio.ensure_future(until_exited(process.process))
        try:  # whatever fails from here on, the command goes with it
            if timeout_ms:
                timer = asyncio.get_running_loop().call_later(timeout_ms / 1000, lambda: self.spawn(process.kill()))
            yield {"type": "init", "text": execution_id}
            async with contextlib.aclosing(process.output()) as output:
                step = None
                try:
                    while True:
                        step = asyncio.ensure_future(anext(output))
                        await asyncio.wait({step, exited}, return_when=asyncio.FIRST_COMPLETED)
                        try:
                            # Once the command has exited, a child it left holding its output
                            # (a daemon that kept stdout) is not waited for.
                            name, chunk = await asyncio.wait_for(step, _DRAIN_GRACE)
                        except (StopAsyncIteration, TimeoutError):
                            break
                        # One event per line, split on "\r" as well as "\n", terminators kept.
                        *lines, pending[name] = re.split(rb"(?<=\n)|(?<=\r)(?!\n|\Z)", pending[name] + chunk)
                        for line in filter(None, lines):
                            yield {"type": name, "text": line.decode(errors="replace")}
                finally:
                    if step is not None and not step.done():
                        step.cancel()
                        with contextlib.suppress(BaseException):
                            await step
            for name, rest in pending.items():
                if rest:
                    yield {"type": name, "text": rest.decode(errors="replace")}
            code = process.process.returncode
            code = await process.wait() if code is None else code
            if code != 0 and not sandbox.container.alive:  # it ended as the command entered it
                yield {"type": "error", "error": {"ename": "CommandExecError", "evalue": _ENDED, "traceback": [_ENDED]}}
            elif code == 0:
                yield {"type": "execution_complete", "execution_time": int((time.monotonic() - started) * 1000)}
            else:
                code = 128 - code if code < 0 else code
                yield {"type": "error", "error": {"ename": "CommandExecError", "evalue": str(code),
                                                  "traceback": [f"exit status {code}"]}}
        finally:
            if timer is not None:
                timer.cancel()
            exited.cancel()
            sandbox.running.pop(execution_id, None)
            await process.kill()

    async def _worker(self, sandbox: FakeSandbox, context: str) -> PythonWorker:
        """The context's code worker, which starts anew where it died (``PythonWorker.start``'s ``restart``),
        its run then ending with an error saying so, as execd's Jupyter server restarts a dead kernel (or
        that it cannot, and why)."""
        async with sandbox.starting:
            worker = sandbox.contexts.get(context)
            if worker is None:
                worker = sandbox.contexts[context] = await _entered(sandbox, PythonWorker.start(
                    "/tmp", self._process_env(sandbox, None), host_paths=True, container=sandbox.container,
                    limit=64 * 1024 * 1024, restart=True))
        return worker

    async def _code_context(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        language = json_object(await request.body(), {"language": "a string"}).get("language") or "python"
        context = uuid.uuid4().hex[:12]
        await self._worker(sandbox, context)
        return JSONResponse({"id": context, "language": language})

    async def _code(self, request: Request) -> Response:
        sandbox = self._sandbox(request, execd=True)
        body = json_object(await request.body(), {"code": "a string", "context": "an object"}, ("code",))
        self.record("code", body)
        context = json_object(body.get("context") or {}, {"id": "a string", "language": "a string"},
                              what="'context' of the request body")
        if context.get("language", "python") != "python":
            raise Refuse(400, f"unsupported language {context.get('language')!r}")
        worker = await self._worker(sandbox, context.get("id") or "default")
        return self._stream(self._code_events(sandbox, worker, body["code"]),
                            self.take_fault("code", "drop", "end"), sse=False)

    async def _code_events(self, sandbox: FakeSandbox, worker: PythonWorker, code: str):
        execution_id = uuid.uuid4().hex
        started = time.monotonic()
        sandbox.running[execution_id] = worker
        try:
            yield {"type": "init", "text": execution_id}
            async with contextlib.aclosing(worker.run(code)) as events:
                async for event in events:
                    kind = event["type"]
                    if kind == "number_of_executions":
                        yield {"type": "execution_count", "execution_count": event["execution_count"]}
                    elif kind in ("stdout", "stderr"):
                        yield {"type": kind, "text": event["text"]}
                    elif kind == "result":
                        yield {"type": "result", "results": {"text/plain": event["text"], "text": event["text"]}}
                    elif kind == "error":
                        yield {"type": "error", "error": {"ename": event["name"], "evalue": event["value"],
                                                          "traceback": [event["traceback"]]}}
                    elif kind == "end_of_execution":
                        yield {"type": "execution_complete",
                               "execution_time": int((time.monotonic() - started) * 1000)}
        finally:
            sandbox.running.pop(execution_id, None)
