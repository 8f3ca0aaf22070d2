"""The skeleton every provider stand-in under ``tests/fakes`` is built on.

A stand-in subclasses :class:`StandIn`, which the provider's real SDK then reaches over real
HTTP on 127.0.0.1 (see ``e2b_server.py`` for a complete one):

- ``ROUTES`` names the routes tests may put faults on: ``fail(route, status, times=)``,
  ``stall(route, seconds, times=)``, ``drop_stream(route, after_events=)`` (cut mid-body),
  ``end_stream(route, after_events=)`` (a clean but early end), ``echo(route, status)`` (an
  error quoting the request body), ``clear_faults()``;
- ``async def _serve(self)`` calls ``await self.listen(name, app)`` once per listener (any ASGI
  app, usually Starlette), whose base URL is then ``self.url(name)``; tests may ``refuse(name)``
  and ``restore(name)`` it (closed, then listening again on the same port), or hold it
  ``unanswered(name)`` (connecting times out);
- each handler is wrapped as ``self.endpoint(route, handler)``: the call is counted in
  ``calls``, a planned stall or status fault applied, and a :class:`Refuse` raised by the
  handler answered through ``error_response`` (override it for the provider's error body);
  ``take_fault(route, kind)`` fetches the other kinds (a dropped stream, or the stand-in's own
  added with ``add_fault``), and ``record(route, details)`` keeps what tests check in ``requests``;
- ``async def _teardown(self)`` releases its sandboxes when the stand-in stops; ``spawn`` and
  ``every`` run background work on the stand-in's loop.

Sandboxes run real code: :class:`PythonWorker` is one persistent Python process per sandbox
(globals kept between runs, SIGINT interrupts a cell; ``python_worker.py`` describes its
events), :class:`Command` one real command in its own process group, killed with its children.

Everything runs on the stand-in's own event loop in a background thread; the control methods
are thread-safe and ``call`` runs a coroutine on that loop from any thread. Its timers use a
private reference to ``asyncio.sleep``, so a test that patches the global one cannot disturb a
stand-in shared by the session. ``start()``/``stop()``, or a ``with`` block, bracket its life
(a session fixture); ``with stand_in.fresh():`` brackets one test.
"""

from __future__ import annotations

import array
import asyncio
import collections
import contextlib
import fcntl
import glob
import itertools
import json
import logging
import math
import os
import re
import resource
import secrets
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Self

import uvicorn
from starlette.datastructures import FormData
from starlette.formparsers import MultiPartException, MultiPartParser
from starlette.requests import Request
from starlette.responses import JSONResponse, Response

_sleep = asyncio.sleep  # see the module docstring
logging.getLogger("uvicorn.error").setLevel(logging.CRITICAL)
STARTUP_LIMIT = 30.0
WORKER_SCRIPT = Path(__file__).with_name("python_worker.py")
# Put before the command line of every process a stand-in starts, or a test starts to signal: it
# begins with every signal at its default and unblocked (coreutils' env does both), as a real
# sandbox's processes do, whatever the test run ignores or blocks (a background job's SIGINT and
# SIGQUIT, say, or a mask its parent left), so that a cell or relay that is interrupted, or
# interrupts itself, behaves as it would there.
DEFAULT_SIGNALS = ("env", "--default-signal")


class DropConnection(Exception):
    """Raise inside a streaming body to cut the connection mid-response."""


class Refuse(Exception):
    """Raise in a handler served through :meth:`StandIn.endpoint`: answered with the provider's error body."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status, self.message = status, message


#: The kind of a field that makes a process's environment.
ENVIRONMENT = "an object of strings, each named without '=' or NUL"


def _environment(value: Any) -> bool:
    return isinstance(value, dict) and all(
        isinstance(text, str) and "\0" not in text and name and "=" not in name and "\0" not in name
        for name, text in value.items())


def _of(*types: type) -> Callable[[Any], bool]:
    return lambda value: isinstance(value, types)


def _number(value: Any) -> bool:
    """An int or a float that a float holds: 10**400 holds none, and would overflow where it is used (a timeout)."""
    try:
        return isinstance(value, int | float) and math.isfinite(value)
    except OverflowError:
        return False


# Each kind a field may be of, and what checks it.
_JSON_KINDS: dict[str, Callable[[Any], bool]] = {
    "a string": _of(str), "an array": _of(list), "an object": _of(dict), "a boolean": _of(bool),
    "a number": _number,
    "an array of strings": lambda value: isinstance(value, list) and all(isinstance(item, str) for item in value),
    ENVIRONMENT: _environment}


def _not_json(value: Any) -> str | None:
    """What in ``value`` (as ``json`` read it) no JSON parser need take: NaN, an infinity (1e999), a lone
    surrogate (which no UTF-8 holds); ``None`` where there is none."""
    found = [value]
    while found:  # however deep: ``json`` read it
        if isinstance(item := found.pop(), dict):
            found += [*item, *item.values()]
        elif isinstance(item, list):
            found += item
        elif isinstance(item, float) and not math.isfinite(item):
            return f"{item} is not a JSON number"
        elif isinstance(item, str):
            try:
                item.encode()
            except UnicodeEncodeError:
                return f"{item!r:.100} holds a lone surrogate"
    return None


#: The deepest nesting of arrays and objects a request body may have: no request needs more, and a decoder that
#: recurses deeper (one in C, the SDK's codec) may overflow the stack of the thread it runs in.
NESTING_LIMIT = 1000
# A string left open runs to the end of the body (no decoder reads past it), so it is taken in one match, not
# tried again from every quote after it.
_STRING = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*(?:"|\\?\Z)', re.DOTALL)
_OTHER_THAN_BRACKETS = bytes(set(range(256)) - set(b"[]{}"))
_STEPS = bytes.maketrans(b"[{]}", b"\x01\x01\xff\xff")  # in, in, out, out: as signed bytes


def shallow(body: bytes, what: str = "the request body") -> None:
    """Refuse (400) ``body`` (JSON text) where it nests deeper than ``NESTING_LIMIT``: before any decoder sees it,
    in one pass over its brackets outside strings (where there are too few brackets to be that deep, none)."""
    if body.count(b"[") + body.count(b"{") > NESTING_LIMIT and max(itertools.accumulate(array.array(
            "b", _STRING.sub(b"", body).translate(_STEPS, _OTHER_THAN_BRACKETS))), default=0) > NESTING_LIMIT:
        raise Refuse(400, f"{what} is nested too deeply (over {NESTING_LIMIT:,} levels)")


def json_object(body: bytes | Any, fields: dict[str, str] | None = None, required: tuple[str, ...] = (), *,
                what: str = "the request body") -> dict[str, Any]:
    """``body`` (a request's, as bytes, or ``what`` of one, already read) as a JSON object that gives each of
    ``required`` and whose ``fields``, where given (not null), are of their JSON kinds (``_JSON_KINDS``): every
    route's check of what it was sent, refused (400) saying what is wrong before anything is done."""
    if isinstance(body, bytes):
        shallow(body, what)
        try:
            body = json.loads(body)
        except ValueError as exc:  # not UTF-8, or not JSON
            raise Refuse(400, f"{what} is not JSON: {exc}") from None
        except RecursionError:
            raise Refuse(400, f"{what} is nested too deeply") from None
        if (wrong := _not_json(body)) is not None:
            raise Refuse(400, f"{what} is not JSON: {wrong}")
    if not isinstance(body, dict):
        raise Refuse(400, f"{what} is not a JSON object: {body!r:.100}")
    for name in required:
        if body.get(name) is None:
            raise Refuse(400, f"{what} gives no {name!r}")
    for name, kind in (fields or {}).items():
        if (value := body.get(name)) is not None and (
                not _JSON_KINDS[kind](value) or isinstance(value, bool) and kind != "a boolean"):
            beyond = " a float holds" if kind == "a number" and type(value) is int else ""
            raise Refuse(400, f"{name!r} of {what} is not {kind}{beyond}: {value!r:.100}")
    return body


def query_number(request: Request, name: str, default: int, least: int) -> int:
    """The whole number ``name`` of ``request``'s query (``default`` where it gives none), refused (400) saying so
    where it is not one, or is below ``least``."""
    if (given := request.query_params.get(name)) is None:
        return default
    with contextlib.suppress(ValueError):
        if (number := int(given)) >= least:
            return number
    raise Refuse(400, f"{name!r} of the query is not a whole number of at least {least}: {given!r:.100}")


class _Form(MultiPartParser):
    """Starlette's, noting whether the body reached its closing boundary (python-multipart's "end")."""

    closed = False

    def on_end(self) -> None:
        self.closed = True


@contextlib.asynccontextmanager
async def multipart_form(request: Request, max_part_size: int) -> AsyncIterator[FormData]:
    """``request``'s multipart form, as ``request.form`` reads it, refused (400) saying why where the body is no
    multipart form or ends before its closing boundary (an upload cut short, whose last part a parser passes
    over): read whole before any of it is written, so nothing is."""
    if not request.headers.get("content-type", "").lower().startswith("multipart/form-data"):
        raise Refuse(400, f"the request body is not multipart/form-data: {request.headers.get('content-type')!r}")
    async with contextlib.aclosing(request.stream()) as stream:
        parser = _Form(request.headers, stream, max_part_size=max_part_size)
        try:
            form = await parser.parse()
        except MultiPartException as exc:
            raise Refuse(400, f"the request body is not a multipart form: {exc.message}") from None
    try:
        if not parser.closed:
            raise Refuse(400, "the request body ends before its closing boundary: the upload was cut short")
        yield form
    finally:
        await form.close()


@dataclass
class Fault:
    route: str
    kind: str  # "status", "stall", "drop", "end", "echo" or a stand-in's own kind
    times: int
    status: int = 500
    message: str = ""
    seconds: float = 0.0
    after: int = 0


class StandIn:
    """Listeners, faults and records shared by the provider stand-ins (see the module docstring)."""

    ROUTES: tuple[str, ...] = ()
    #: The stand-in runs its sandboxes under bubblewrap (``containers.py``); its start fails at
    #: once, saying why, where it can make none.
    CONTAINERS = False

    def __init__(self) -> None:
        self.calls: collections.Counter[str] = collections.Counter()
        self.requests: list[tuple[str, dict[str, Any]]] = []
        self.tmp = Path()
        self._faults: list[Fault] = []
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._servers: dict[str, tuple[uvicorn.Server, asyncio.Task]] = {}
        self._ports: dict[str, int] = {}
        self._apps: dict[str, Any] = {}
        self._background: set[asyncio.Task] = set()
        self._held: list[int] = []  # see own_directory
        self._removals: list[threading.Thread] = []  # see remove
        self._sweeps: list[threading.Thread] = []  # see own_directory
        self._owned: set[Path] = set()

    # ---------------------------------------------------------------- lifecycle

    def url(self, listener: str) -> str:
        return f"http://127.0.0.1:{self._ports[listener]}"

    async def _serve(self) -> None:
        raise NotImplementedError

    async def _teardown(self) -> None:
        """Release what the stand-in owns (sandboxes, processes) when it stops."""

    def own_directory(self, prefix: str, parent: str | None = None) -> Path:
        """A new private directory ``<parent>/<prefix><pid>.<start>.…``, held by this stand-in until it stops.

        Its name records the stand-in's process (its pid and start time), from the moment it is
        made; it is held (locked, see :func:`_hold`) while the stand-in runs. Directories of the
        same prefix that a stand-in whose process is gone left (killed, say) are removed meanwhile
        (:func:`sweep`), on a thread of their own that :meth:`stop` waits for: however big a tree
        such a one left, the start waits for none of it. A stand-in of an older version removes
        those of the prefix it can lock, so one may take this one for a dead one's while it is
        being made: then it is made anew.
        """
        where = Path(parent or tempfile.gettempdir())
        self._sweeps.append(thread := threading.Thread(target=sweep, args=(where, prefix), daemon=True))
        thread.start()
        while True:
            made = where / f"{prefix}{os.getpid()}.{_started(os.getpid())}.{secrets.token_hex(4)}"
            if (fd := _make_held(made)) is not None:
                self._held.append(fd)
                self._owned.add(made)
                return made

    def own(self, directory: Path) -> Path:
        """``directory`` (of :meth:`own_directory`), made anew, private and held, if something removed it.

        Raises ``RuntimeError`` where something else took its place (a link, another's directory).
        """
        assert directory in self._owned, directory
        if not os.path.lexists(directory) and (fd := _make_held(directory)) is not None:
            self._held.append(fd)
        found = directory.lstat()
        if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.getuid():
            raise RuntimeError(f"{directory}, this stand-in's directory, was replaced by something not its own")
        if stat.S_IMODE(found.st_mode) != 0o700:
            os.chmod(directory, 0o700)
        return directory

    def remove(self, entry: Path) -> None:
        """Remove ``entry``, which lies in one of this stand-in's directories, unless something else took
        that directory's place (a link there is never followed).

        It is moved aside at once and removed on a thread of its own (which :meth:`stop` waits for):
        removing a tree just after its sandbox ended takes the file system milliseconds a directory,
        which neither the request nor the stand-in's loop waits for.
        """
        directory = next(owned for owned in self._owned if entry.is_relative_to(owned))
        try:
            self.own(directory)
        except RuntimeError:
            return  # what replaced it is not this stand-in's to remove from
        aside = directory / f".removed-{secrets.token_hex(8)}"
        try:
            os.rename(entry, aside)
        except FileNotFoundError:
            return
        self._removals = [thread for thread in self._removals if thread.is_alive()]
        self._removals.append(thread := threading.Thread(target=remove_tree, args=(aside,), daemon=True))
        thread.start()

    def start(self) -> None:
        # Its connections and sandboxes' pipes share this process's open files: as many as
        # may be had (a regular user's soft limit is often 1,024).
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft != hard:
            with contextlib.suppress(ValueError, OSError):  # a hard limit above the kernel's (unlimited)
                resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        if self.CONTAINERS:
            from tests.fakes import containers  # which builds on this module

            containers.check(type(self).__name__)
        self.tmp = self.own_directory(f"{type(self).__name__}-")
        ready, failure = threading.Event(), []
        loop = self._loop = asyncio.new_event_loop()

        def run() -> None:
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self._serve())
            except BaseException as exc:  # reported to the starting thread
                failure.append(exc)
            ready.set()
            if not failure:
                loop.run_forever()

        self._thread = threading.Thread(target=run, name=type(self).__name__, daemon=True)
        self._thread.start()
        if not ready.wait(STARTUP_LIMIT) or failure:
            if not failure:  # its loop is held: it stops once free, and nothing waits for it here
                self._loop = None
                loop.call_soon_threadsafe(loop.stop)
            why = failure[0] if failure else TimeoutError(f"not serving within {STARTUP_LIMIT:g} s, its loop busy "
                                                          f"at {_at(self._thread)}")
            self._sweeps.clear()  # what others left is no failed start's to wait for
            self.stop()
            raise RuntimeError(f"{type(self).__name__} failed to start") from why

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def stop(self) -> None:
        """Stop the stand-in and remove its directories; once more after an interruption (Ctrl-C) finishes that."""
        loop, self._loop = self._loop, None
        try:
            if loop is not None and loop.is_running():
                asyncio.run_coroutine_threadsafe(self._shutdown(), loop).result(30)
        finally:
            if loop is not None:
                loop.call_soon_threadsafe(loop.stop)
                if self._thread is not None:
                    self._thread.join(10)
            for removal in [*self._sweeps, *self._removals]:  # however long a deep tree takes: nothing is left
                removal.join()
            for directory in list(self._owned):
                remove_tree(directory)
                self._owned.discard(directory)
            while self._held:
                os.close(self._held.pop())

    def call(self, coro: Coroutine, timeout: float = 15.0) -> Any:
        """Run ``coro`` on the stand-in's loop and return its result (thread-safe)."""
        assert self._loop is not None, "stand-in is not running"
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    _call = call

    def spawn(self, coro: Coroutine) -> asyncio.Task:
        """Run ``coro`` in the background on the stand-in's loop (call from that loop)."""
        task = asyncio.get_running_loop().create_task(coro)
        self._background.add(task)
        task.add_done_callback(self._background.discard)
        return task

    async def every(self, seconds: float, tick) -> None:
        """Call ``tick()`` every ``seconds`` until the stand-in stops (use with :meth:`spawn`)."""
        while True:
            await _sleep(seconds)
            await tick()

    async def listen(self, name: str, app: Any, port: int = 0) -> None:
        """Serve ``app`` as listener ``name`` on ``port`` (0: an ephemeral one)."""
        config = uvicorn.Config(app, host="127.0.0.1", port=port, log_config=None, log_level="critical",
                                access_log=False, lifespan="off", timeout_graceful_shutdown=2)
        server = uvicorn.Server(config)
        task = asyncio.get_running_loop().create_task(server.serve())
        deadline = time.monotonic() + STARTUP_LIMIT
        while not server.started:
            if task.done() or time.monotonic() > deadline:
                task.cancel()
                raise RuntimeError(f"listener {name} did not start")
            await _sleep(0.01)
        self._servers[name] = (server, task)
        self._ports[name] = server.servers[0].sockets[0].getsockname()[1]
        self._apps[name] = app

    async def _close_listener(self, name: str) -> None:
        if (entry := self._servers.pop(name, None)) is not None:
            entry[0].should_exit = True
            await asyncio.wait_for(entry[1], 10)

    async def _shutdown(self) -> None:
        for name in list(self._servers):
            await self._close_listener(name)
        await self._teardown()
        for task in list(self._background):
            task.cancel()
        await asyncio.gather(*self._background, return_exceptions=True)

    def refuse(self, listener: str) -> None:
        """Stop listening on ``listener``: connections to its port are refused."""
        self.call(self._close_listener(listener))

    def restore(self, listener: str) -> None:
        """Listen again on the port ``listener`` had."""
        self.call(self.listen(listener, self._apps[listener], self._ports[listener]))

    @contextlib.contextmanager
    def refusing(self, listener: str) -> Iterator[None]:
        self.refuse(listener)
        try:
            yield
        finally:
            self.restore(listener)

    @contextlib.contextmanager
    def unanswered(self, listener: str) -> Iterator[None]:
        """Keep ``listener``'s port but complete no new connection to it: connecting times out.

        The port listens with its accept queue full (Linux), so the kernel drops
        each new connection attempt instead of refusing it.
        """
        self.refuse(listener)
        blocker, filler = socket.socket(), socket.socket()
        try:
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            blocker.bind(("127.0.0.1", self._ports[listener]))
            blocker.listen(0)
            filler.connect(blocker.getsockname())  # takes the queue's one place
            yield
        finally:
            filler.close()
            blocker.close()
            self.restore(listener)

    # ------------------------------------------------------- faults and records

    def fail(self, route: str, status: int, *, times: int = 1, message: str = "") -> None:
        """Answer the next ``times`` requests of ``route`` with ``status``."""
        self.add_fault(Fault(route, "status", times, status=status, message=message))

    def stall(self, route: str, seconds: float, *, times: int = 1) -> None:
        """Hold the next ``times`` requests of ``route`` for ``seconds`` before answering."""
        self.add_fault(Fault(route, "stall", times, seconds=seconds))

    def drop_stream(self, route: str, *, after_events: int, times: int = 1) -> None:
        """Cut the next ``times`` streamed answers of ``route`` after ``after_events`` events."""
        self.add_fault(Fault(route, "drop", times, after=after_events))

    def echo(self, route: str, status: int, *, times: int = 1) -> None:
        """Refuse the next ``times`` requests of ``route`` with ``status``, quoting the request body.

        As a validating service does (a 422 that repeats what it refused), so that
        whatever the request carried, credentials included, reaches the client's error.
        """
        self.add_fault(Fault(route, "echo", times, status=status))

    def end_stream(self, route: str, *, after_events: int | None = None, times: int = 1) -> None:
        """End the next ``times`` streamed answers of ``route`` cleanly, then close the connection.

        The body ends with its proper framing, so a client sees a normal end of the
        answer, only without the rest: after ``after_events`` events, or (``None``)
        just before the event that reports the end of the run. How a stand-in
        knows that event is its own business (see its ``_stream``).
        """
        self.add_fault(Fault(route, "end", times, after=-1 if after_events is None else after_events))

    def add_fault(self, fault: Fault) -> None:
        if fault.route not in self.ROUTES:
            raise ValueError(f"unknown route {fault.route!r}; known: {', '.join(self.ROUTES)}")
        if fault.times >= 1:
            with self._lock:
                self._faults.append(fault)

    def take_fault(self, route: str, *kinds: str) -> Fault | None:
        """Use up one planned fault of ``route`` of one of ``kinds``, if any."""
        with self._lock:
            for fault in self._faults:
                if fault.route == route and fault.kind in kinds:
                    fault.times -= 1
                    if fault.times <= 0:
                        self._faults.remove(fault)
                    return fault
        return None

    def clear_faults(self) -> None:
        with self._lock:
            self._faults.clear()

    def record(self, route: str, details: dict[str, Any]) -> None:
        with self._lock:
            self.requests.append((route, details))

    def reset_records(self) -> None:
        """Forget the call counters and the recorded requests."""
        with self._lock:
            self.calls.clear()
            self.requests.clear()

    @contextlib.contextmanager
    def fresh(self) -> Iterator[Self]:
        """The stand-in without planned faults or records for one test; its faults are cleared after it."""
        self.clear_faults()
        self.reset_records()
        try:
            yield self
        finally:
            self.clear_faults()

    def error_response(self, status: int, message: str) -> Response:
        return JSONResponse({"code": status, "message": message}, status_code=status)

    def endpoint(self, route: str, handler):
        """``handler`` (request -> response) as a Starlette endpoint with the faults of ``route`` applied."""

        async def serve(request):
            if (early := await self.pre_request(route)) is not None:
                return early
            if (echo := self.take_fault(route, "echo")) is not None:
                return self.error_response(echo.status, (await request.body()).decode("utf-8", "replace"))
            try:
                return await handler(request)
            except Refuse as refusal:
                return self.error_response(refusal.status, refusal.message)

        return serve

    async def pre_request(self, route: str) -> Response | None:
        """Count a call of ``route`` and apply a stall or status fault planned for it."""
        with self._lock:
            self.calls[route] += 1
        if (stall := self.take_fault(route, "stall")) is not None:
            await _sleep(stall.seconds)
        if (fault := self.take_fault(route, "status")) is not None:
            return self.error_response(fault.status, fault.message or f"injected failure for {route}")
        return None


def _hold(directory: Path, *, wait: bool) -> int | None:
    """An open descriptor of ``directory`` with an exclusive lock on it, which ends with the descriptor
    (or this process); ``None`` when another holds the lock and ``wait`` is false."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        os.close(fd)
        return None
    except BaseException:
        os.close(fd)
        raise
    return fd


def _make_held(directory: Path) -> int | None:
    """Make ``directory`` (0700; never through a link: where anything is already, nothing is made) and
    hold it; ``None`` where something was there, or it was removed before it was held."""
    try:
        os.mkdir(directory, 0o700)
    except FileExistsError:
        return None
    with contextlib.suppress(FileNotFoundError):
        fd = _hold(directory, wait=True)
        with contextlib.suppress(FileNotFoundError):
            if os.path.samestat(os.fstat(fd), directory.lstat()):
                os.fchmod(fd, 0o700)  # whatever the umask
                return fd
        os.close(fd)
    return None


_TESTS = Path(__file__).parents[1]


def _at(thread: threading.Thread) -> str:
    """Where in the tests' own code ``thread`` is now."""
    frame = sys._current_frames().get(thread.ident)
    ours = [line for line in traceback.extract_stack(frame) if Path(line.filename).is_relative_to(_TESTS)
            ] if frame is not None else []
    return f"{ours[-1].name} ({Path(ours[-1].filename).name}, line {ours[-1].lineno})" if ours else "an unknown place"


def _started(pid: int) -> str | None:
    """The start time of process ``pid`` (clock ticks after boot), ``None`` when there is none or it has ended."""
    with contextlib.suppress(OSError, IndexError):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return None if fields[0] in ("Z", "X") else fields[19]
    return None


def sweep(where: Path, prefix: str) -> None:
    """Remove the directories ``<where>/<prefix><pid>.<start>.…`` of this user whose process is gone.

    Only those whose name records the process that made them (:meth:`StandIn.own_directory`), which
    has ended, and which no one holds; an older stand-in's (no record) and another user's are left
    alone, and so are links. Waits for nothing: a directory held is in use.
    """
    pattern = re.compile(re.escape(prefix) + r"(\d+)\.(\d+)\.[0-9a-f]+")
    for entry in where.glob(glob.escape(prefix) + "*"):
        if (owner := pattern.fullmatch(entry.name)) is None or _started(int(owner[1])) == owner[2]:
            continue
        with contextlib.suppress(OSError):
            found = entry.lstat()
            if stat.S_ISDIR(found.st_mode) and found.st_uid == os.getuid() and \
                    (fd := _hold(entry, wait=False)) is not None:
                try:
                    if os.path.samestat(os.fstat(fd), found):
                        remove_tree(entry)
                finally:
                    os.close(fd)


def remove_tree(path: Path | str) -> None:
    """Remove ``path`` and everything under it, whatever modes a sandbox left there and however deep, never
    following a link.

    ``rm -rf`` walks any depth with a few descriptors of its own process, none of this one's (which serve
    the other sandboxes meanwhile), and follows no link under ``path`` nor ``path`` itself. What it leaves
    (a directory this user may not enter or empty, ``chmod 000`` say) is opened up, directories alone (a
    file's mode is shared by its hard links, one of which may lie outside), and ``rm -rf`` runs again;
    ``path`` itself is opened without following a link (``O_PATH | O_NOFOLLOW``) and walked through that
    descriptor. What still cannot be removed (another user's, or on a read-only
    mount) is left. ``path`` is taken without its trailing slashes (with them, a link would be followed); one
    ending in ``.`` or ``..`` is refused.
    """
    path = os.fspath(path).rstrip("/")
    if os.path.basename(path) in ("", ".", ".."):
        raise ValueError(f"{path or '/'!r} names no entry to remove")
    _quietly("rm", "-rf", "--", path)
    with contextlib.suppress(OSError):  # gone, a link, or not a directory: nothing more to do
        handle = os.open(path, os.O_PATH | os.O_NOFOLLOW | os.O_DIRECTORY)
        try:
            with contextlib.suppress(OSError):  # another user's top is left shut
                os.chmod(f"/proc/self/fd/{handle}", os.stat(handle).st_mode | stat.S_IRWXU)
            # -execdir: each opened up in the directory find reached (and checked) holding it, by its name alone.
            _quietly("find", "-H", f"/proc/self/fd/{handle}", "-type", "d", "!", "-perm", "-u=rwx",
                     "-execdir", *_OPEN_UP, "{}", ";", pass_fds=(handle,))
        finally:
            os.close(handle)
        _quietly("rm", "-rf", "--", path)


# What find reached as a directory may since have become a link (a sandbox's process still running swaps it, say),
# which chmod would follow out of the tree: each name is opened without following a link, and changed through that.
_OPEN_UP = (sys.executable, "-I", "-S", "-c", "import os, sys\n"
            "fd = os.open(sys.argv[1], os.O_PATH | os.O_NOFOLLOW | os.O_DIRECTORY)\n"
            "os.chmod(f'/proc/self/fd/{fd}', os.stat(fd).st_mode | 0o700)")


def _quietly(*argv: str, pass_fds: tuple[int, ...] = ()) -> None:
    # Its own copy of the environment: this runs on a thread, and the C one that a child execs with by default
    # may be grown (reallocated) meanwhile by a test setting a variable, failing the exec with EFAULT. The
    # system's programs, found on its own PATH (find's -execdir refuses one naming the current directory).
    subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   pass_fds=pass_fds, env={**os.environ, "PATH": os.defpath}, check=False)


# ------------------------------------------------------------------ real processes


async def until_exited(process: asyncio.subprocess.Process, every: float = 0.05) -> None:
    """Return once ``process`` has exited; ``Process.wait()`` would also wait for every inheritor of its pipes."""
    while process.returncode is None:
        await _sleep(every)


async def send_signal(process: Any, number: int, group: bool = False) -> None:
    """Send ``number`` to ``process`` (``group``: the session it leads), unless it has exited: a process of
    the host, or one of a sandbox (``containers.SandboxProcess``), whose agent there has sent it on return."""
    if process.returncode is None:
        with contextlib.suppress(ProcessLookupError):
            if isinstance(process, asyncio.subprocess.Process):
                (os.killpg if group else os.kill)(process.pid, number)
            else:
                await process.signal(number, group)


async def kill_group(process: Any) -> None:
    """SIGKILL ``process``'s process group (it leads its own session) and reap it."""
    if process.returncode is None:
        await send_signal(process, signal.SIGKILL, group=True)
        with contextlib.suppress(Exception):
            await asyncio.wait_for(process.wait(), 5)


def _ended(code: int) -> str:
    """How a process whose exit code (``subprocess``'s) is ``code`` ended."""
    if code >= 0:
        return f"ended with exit status {code}"
    with contextlib.suppress(ValueError):
        return f"killed by {signal.Signals(-code).name}"
    return f"killed by signal {-code}"


# Each event a code worker sends (``python_worker.py``), and the fields it carries, of which kinds.
_EVENTS: dict[str, dict[str, type]] = {
    "ready": {}, "number_of_executions": {"execution_count": int}, "stdout": {"text": str}, "stderr": {"text": str},
    "result": {"text": str}, "error": {"name": str, "value": str, "traceback": str}, "end_of_execution": {}}


def _event(line: bytes) -> dict[str, Any]:
    """A line of a code worker's as its event (``python_worker.py``); ``{}`` where it is none (not JSON, or not
    an event it sends: a line a cell wrote into the worker's own pipe, say)."""
    with contextlib.suppress(ValueError, RecursionError):
        event = json.loads(line)
        fields = _EVENTS.get(event["type"]) if isinstance(event, dict) and isinstance(event.get("type"), str) else None
        if fields is not None and all(isinstance(event.get(name), kind) for name, kind in fields.items()):
            return event
    return {}


#: The lines that are no event a starting code worker may send before it says it is ready.
_BEFORE_READY = 100


class _Unstartable(Exception):
    """A code worker that died and cannot be started again: how it ended, and why it cannot start."""


class PythonWorker:
    """One persistent Python process whose globals outlive each run, as in a kernel."""

    def __init__(self, process: Any, interrupt_grace: float,
                 relaunch: Callable[[], Awaitable[Any]] | None = None) -> None:
        self.process = process  # asyncio's, or a sandbox's (``containers.SandboxProcess``)
        self.lock = asyncio.Lock()
        self._grace = interrupt_grace
        self._interrupts: set[asyncio.Task] = set()
        self._relaunch = relaunch  # see ``start``'s ``restart``
        self._interrupted = False  # this run's cell had its SIGINT (its client's interrupt, say)

    @classmethod
    async def start(cls, root: Path | str, env: dict[str, str], *, host_paths: bool = False,
                    interrupt_grace: float = 10.0, container: Any = None, cwd: str | None = None,
                    limit: int = 16 * 1024 * 1024, restart: bool = False) -> PythonWorker:
        """Start a worker whose sandbox file tree is ``root`` (see ``python_worker.py``).

        A cell that has not ended ``interrupt_grace`` seconds after its interrupt costs the worker its life.
        In a ``container`` (``containers.Container``), it runs there on the sandbox's Python, in ``cwd``.
        ``restart``: a worker that died is started anew, as a Jupyter server restarts a kernel that
        died: the run it died in ends with an error saying so, and a later run gets the new worker.
        """
        # No package index: an install in a sandbox must never reach the network.
        env = {**os.environ, **env, "PYTHONUNBUFFERED": "1", "PIP_NO_INDEX": "1",
               "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
        argv = [str(WORKER_SCRIPT), str(root), *(["--host-paths"] if host_paths else [])]

        async def launch() -> Any:
            if container is None:
                process = await asyncio.create_subprocess_exec(
                    *DEFAULT_SIGNALS, sys.executable, *argv, stdin=asyncio.subprocess.PIPE,
                    stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.DEVNULL, env=env,
                    start_new_session=True, limit=limit)
            else:
                process = await container.run([container.python, *argv], cwd or "/", env, stdin=True, limit=limit)
            first, stopped = b"", ""  # stopped: why the stand-in ended it, which its end (SIGKILL) would not say
            try:
                async with asyncio.timeout(STARTUP_LIMIT):
                    # What the sandbox's Python runs first (a .pth of its own) may print a few lines before it.
                    for _ in range(_BEFORE_READY):
                        line = await process.stdout.readline()
                        if (event := _event(line)).get("type") == "ready":
                            return process
                        first = first or line
                        if event or not line:
                            break
            except TimeoutError:
                stopped = f"not ready within {STARTUP_LIMIT:g} s"
            except ValueError:
                stopped = f"it printed a line longer than the stand-in reads ({limit >> 20} MiB) before it was ready"
            except asyncio.CancelledError:  # its run's client left: no worker is left behind it
                await kill_group(process)
                raise
            await kill_group(process)
            said = b""
            if process.stderr is not None:  # its group has ended: what it said is all there
                with contextlib.suppress(TimeoutError):
                    said = await asyncio.wait_for(process.stderr.read(4096), STARTUP_LIMIT)
            code = process.returncode
            # Something the sandbox's Python runs first (a .pth of its own) may print, or say it is ready, and die.
            said = said.decode(errors="replace").strip()
            if stopped:
                why = stopped + (f"; it wrote: {said}" if said else "")
            elif said:
                why = said
            elif first.strip():
                why = f"its first line was {first.decode(errors='replace').strip()[:200]!r}, not that it was ready"
            else:
                why = "it did not end when killed" if code is None else _ended(code)
            raise RuntimeError(f"the code worker failed to start: {why}")

        return cls(await launch(), interrupt_grace, launch if restart else None)

    @property
    def alive(self) -> bool:
        return self.process.returncode is None

    async def run(self, code: str, env_vars: dict[str, str] | None = None) -> AsyncIterator[dict[str, Any]]:
        """Run ``code``, yielding its events up to ``end_of_execution`` (nothing if the worker died,
        unless it is started anew: see ``start``).

        Runs are serialized. A caller that stops iterating early (a client gone, a stream
        cut) leaves the cell to be interrupted and drained in the background.
        """
        await self.lock.acquire()
        self._interrupted = False
        finished = ran = fresh = False
        try:
            raw, broken = b"", ""
            try:
                for _ in range(1 if self._relaunch is None else 2):
                    if not self.alive and self._relaunch is not None:  # it died since the last run
                        fresh = await self._restarted() is not None  # None: its sandbox has ended
                    with contextlib.suppress(ConnectionError):  # it died, and its end is not seen yet
                        self.process.stdin.write((json.dumps({"code": code, "env_vars": env_vars}) + "\n").encode())
                        await self.process.stdin.drain()
                        raw = await self._line()
                    if raw:
                        break
                    await self.kill()  # it died before it took the run, which a new worker takes
                ran = bool(raw)  # the worker took it
                if not ran and fresh:  # the worker started anew ended before it took the code: it never ran
                    code = self.process.returncode
                    raise _Unstartable("lost" if code is None else _ended(code), "it ends as soon as it has started")
                while raw:
                    if not (event := _event(raw)):  # a line the cell wrote into the worker's own pipe, say
                        broken = f"sent a line that is not an event: {raw.decode(errors='replace').strip()[:100]!r}"
                        break
                    if event["type"] == "end_of_execution":
                        finished = True
                    yield event
                    if finished:
                        return
                    raw = await self._line()
            except ValueError:  # a line over the stream's limit, of which it read part: what follows is no event
                ran, broken = True, "sent a line longer than the stand-in reads"
            await self.kill()  # the protocol ended, or cannot be followed: the worker is gone, reap it
            finished = True
            if broken:  # its stream cannot be followed further: a new worker takes the next run
                restarted = self._relaunch is not None and await self._restarted() is not None
                yield {"type": "error", "name": "DeadKernelError", "traceback": "",
                       "value": f"The sandbox's code worker {broken}, so it was " + (
                           "restarted: variables and imports from earlier runs are gone." if restarted else "ended.")}
                yield {"type": "end_of_execution"}
            elif self._relaunch is not None and (died := await self._restarted()) is not None:
                yield {"type": "error", "name": "DeadKernelError", "traceback": "",
                       "value": f"The sandbox's code worker was {died} while running this code. It was restarted, "
                                "so variables and imports from earlier runs are gone."}
                yield {"type": "end_of_execution"}
        except _Unstartable as lost:  # a run that did not run, or did not end, says so, and why
            finished = True
            died, why = lost.args
            yield {"type": "error", "name": "DeadKernelError", "traceback": "",
                   "value": f"The sandbox's code worker was {died} " + (
                       "while running this code, and cannot be started again" if ran else
                       "and cannot be started again, so this code did not run") + f": {why}"}
            yield {"type": "end_of_execution"}
        finally:
            if finished:
                self.lock.release()
            else:
                task = asyncio.get_running_loop().create_task(self._interrupt())
                self._interrupts.add(task)
                task.add_done_callback(self._interrupts.discard)

    async def _line(self) -> bytes:
        """The worker's next line, or ``b""`` once it has ended and sent no more: what it forked may hold its pipe
        open long after it (``ValueError``: a line over the stream's limit)."""
        stdout = self.process.stdout
        # A line already read from the pipe is had without waiting: the watch on the worker's end (two tasks) is
        # for a wait only, and would cost each line of a cell's output several times its reading.
        if b"\n" in stdout._buffer or stdout.at_eof():
            return await stdout.readline()
        reading = asyncio.ensure_future(stdout.readline())
        exited = asyncio.ensure_future(until_exited(self.process))
        try:
            await asyncio.wait({reading, exited}, return_when=asyncio.FIRST_COMPLETED)
            if not reading.done():  # what it wrote before it ended is in the pipe already
                await asyncio.wait({reading}, timeout=1.0)
            return reading.result() if reading.done() else b""
        finally:
            for task in (reading, exited):
                task.cancel()
            await asyncio.gather(reading, exited, return_exceptions=True)

    async def _restarted(self) -> str | None:
        """Start the worker, which has died, anew: how it ended (killed by which signal, or its exit
        status), or ``None`` where it cannot be because its sandbox has ended (which says so itself).

        Raises ``_Unstartable`` (how it ended, and why) where the new one fails to start: the sandbox's
        code removed its Python environment, say.
        """
        code = self.process.returncode
        try:
            self.process = await self._relaunch()
        except RuntimeError as exc:
            raise _Unstartable(_ended(code), str(exc)) from None
        except OSError:
            return None
        return _ended(code)

    async def _interrupt(self) -> None:
        # One SIGINT, as a Jupyter server sends: a second would cut the cell's own handling of the first (the
        # formatting of its error, say), and the run would end looking clean, its state kept. A cell not ended
        # within the grace costs the worker its life.
        try:
            if not self._interrupted:  # its client's own interrupt may have come before it left
                await self.interrupt()
            # ValueError: a line over the stream's limit, after which what follows cannot be read as events.
            with contextlib.suppress(TimeoutError, ValueError):
                async with asyncio.timeout(self._grace):
                    while raw := await self._line():
                        if _event(raw).get("type") == "end_of_execution":
                            return
            await self.kill()
        finally:
            self.lock.release()

    async def interrupt(self) -> None:
        """SIGINT to the worker's process group, as a Jupyter server interrupts a kernel: the cell it runs raises
        KeyboardInterrupt, and what the cell started there (a command it waits for) gets it too."""
        self._interrupted = True
        await send_signal(self.process, signal.SIGINT, group=True)

    async def kill(self) -> None:
        await kill_group(self.process)


class Command:
    """One real command in its own process group; :meth:`kill` ends it with its children."""

    def __init__(self, process: Any) -> None:
        self.process = process  # asyncio's, or a sandbox's (``containers.SandboxProcess``)

    @classmethod
    async def start(cls, cmd: str, args: list[str], *, cwd: Path | str, env: dict[str, str],
                    container: Any = None) -> Command:
        """Run ``cmd`` with ``args`` in ``cwd``: on the host, or in a ``container`` (``containers.Container``)."""
        if container is not None:
            return cls(await container.run([cmd, *args], str(cwd), env))
        return cls(await asyncio.create_subprocess_exec(
            *DEFAULT_SIGNALS, cmd, *args, cwd=str(cwd), env=env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, start_new_session=True))

    async def output(self) -> AsyncIterator[tuple[str, bytes]]:
        """``("stdout" | "stderr", chunk)`` pairs as they are written, until both streams close."""
        queue: asyncio.Queue[tuple[str, bytes] | None] = asyncio.Queue()

        async def pump(name: str, stream: asyncio.StreamReader) -> None:
            while chunk := await stream.read(65536):
                await queue.put((name, chunk))
            await queue.put(None)

        pumps = [asyncio.create_task(pump("stdout", self.process.stdout)),
                 asyncio.create_task(pump("stderr", self.process.stderr))]
        try:
            open_streams = 2
            while open_streams:
                if (item := await queue.get()) is None:
                    open_streams -= 1
                else:
                    yield item
        finally:
            for task in pumps:
                task.cancel()

    async def wait(self) -> int:
        return await self.process.wait()

    async def kill(self) -> None:
        await kill_group(self.process)
