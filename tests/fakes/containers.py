"""The stand-ins' sandboxes, under bubblewrap (``bwrap``): the host read-only, a file tree and a process list of their own.

A sandbox's processes see the host's files read-only, but for the sandbox's own directories
(``tops``: ``/tmp``, and for E2B and AgentCore ``/files``, ``/home``...), bound from its tree;
what this process runs from (the checkout, its interpreter) is bound back read-only where it
lies under one of them. They have a process list and ``/proc`` of their own and, as root, no
capability. Their Python is their own over the checkout's: what a sandbox installs lands in its tree.

Its processes start inside: bubblewrap runs an agent (``sandbox_agent.py``) that starts them,
signals them and opens the sandbox's files on the stand-in's request, as a provider's envd or
execd runs inside its sandbox. Entering bubblewrap's namespaces from outside (``nsenter``) would,
as root, bring the host's capabilities in with each process, and race the sandbox's end. A
snapshot's copy of a tree (``copy_tree``) is taken in a sandbox of its own, which the sandbox's
processes can neither see nor signal, and whose copy they cannot reach.

A sandbox ends when it is killed, when its agent ends, and with the stand-in's process however
that ends: bubblewrap dies with the thread that started it (the stand-in's loop, whose life is
the stand-in's: ``--die-with-parent``), and the agent with the stand-in's end of its socket.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import functools
import itertools
import json
import marshal
import os
import shutil
import signal
import site
import socket
import stat
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from tests.fakes.python_worker import SANDBOX_TOPS
from tests.fakes.sandbox_agent import REFUSALS
from tests.fakes.standin import kill_group, remove_tree
from tests.fakes.standin import DEFAULT_SIGNALS, STARTUP_LIMIT

BWRAP = "bwrap"
AGENT = Path(__file__).with_name("sandbox_agent.py")
COPIER = Path(__file__).with_name("tree_copy.py")
#: The sandboxes' own directories of E2B and AgentCore (OpenSandbox's is ``/tmp``).
TREE_TOPS = SANDBOX_TOPS | {"tmp"}
#: Inside every sandbox, its own Python environment (in its own ``/tmp``).
SANDBOX_PYTHON = "/tmp/.python"
HOME = "/home/user"
#: The seconds a snapshot's copy of a tree may take (a sandbox can make its tree as large as it likes).
COPY_LIMIT = 120.0
#: Given to every process of a sandbox (under what its caller gives): the user's home is read-only
#: there, so pip, which would keep its cache in it, keeps none (else it warns on every install); bash,
#: a login shell's included (E2B's commands), reads ``BASH_ENV`` after the profile that sets ``PATH`` anew
#: (``sandbox_path.sh``, kept in the checkout, where the sandbox's code cannot remove it).
SANDBOX_ENV = {"PIP_NO_CACHE_DIR": "1", "BASH_ENV": str(Path(__file__).with_name("sandbox_path.sh"))}
#: On a sandbox's ``PATH`` after its own Python's ``bin``: its ``python``, ``python3``, ``pip`` and ``pip3`` (and
#: ``python3.N``, ``pip3.N`` of recent versions) fail saying so where the sandbox's code removed its own, or it
#: has no such name, instead of being the host's.
PYTHON_GONE = Path(__file__).with_name("python_gone")
_ENDED = "the sandbox's container has ended"


def _namespaces(system: bool = True) -> list[str]:
    """``system``: with a ``/dev`` and ``/proc`` of its own, which a snapshot's copier uses neither of."""
    # An IPC namespace of its own: System V objects and POSIX message queues end with the sandbox, unseen by others.
    own = ["--dev", "/dev", "--proc", "/proc"] * system + ["--unshare-pid", "--unshare-ipc", "--as-pid-1",
                                                          "--die-with-parent", "--new-session"]
    return own + ["--cap-drop", "ALL"] if os.geteuid() == 0 else own


def _host(tops: set[str]) -> list[str]:
    """The host's top-level entries, read-only, but for the sandbox's own: those need not exist on the host
    (``/files``), and a read-only ``/`` could hold no place for them."""
    argv = []
    for entry in sorted(os.scandir("/"), key=lambda entry: entry.name):
        if entry.name not in {"proc", "dev", *tops}:
            argv += ["--symlink", os.readlink(entry.path), entry.path] if entry.is_symlink() else \
                ["--ro-bind", entry.path, entry.path]
    return argv


def _rebinds(tops: set[str]) -> list[str]:
    """Hides the host's directory of temporary files, which holds every sandbox's tree, where it is none of
    the sandbox's own, and binds back, read-only, what this process runs from where it lies under either.

    One that is such a directory itself (a checkout at ``/workspace``, or at ``/home/user``, the
    sandbox's home) is bound entry by entry, so the sandbox still makes files of its own there.
    """
    return [part for bind in _rebound(tops) for part in bind]


def _rebound(tops: set[str]) -> list[tuple[str, ...]]:
    """:func:`_rebinds`, a bubblewrap option and its arguments at a time (its destination last)."""
    hidden = {Path("/" + top) for top in tops}
    argv: list[tuple[str, ...]] = []
    if not any((temporary := Path(tempfile.gettempdir()).resolve()).is_relative_to(top) for top in hidden):
        hidden.add(temporary)
        argv.append(("--tmpfs", str(temporary)))
    needed = {Path(os.path.abspath(path)) for path in (Path(__file__).parents[2], sys.prefix, sys.base_prefix,
                                                       sys.executable, sys._base_executable)}
    needed = {path for path in needed | {path.resolve() for path in needed}
              if any(path.is_relative_to(top) for top in hidden)}
    for path in sorted(needed):
        if any(path.is_relative_to(other) and path != other for other in needed):
            continue  # bound with the directory that holds it
        whole = str(path) not in {HOME, *("/" + top for top in tops)} or not path.is_dir()
        for entry in [path] if whole else sorted(path.iterdir()):
            argv.append(("--symlink", os.readlink(entry), str(entry)) if entry.is_symlink() else
                        ("--ro-bind", str(entry), str(entry)))
    return argv


def _make_places(root: Path, tops: set[str]) -> None:
    """Make, in the tree ``root``, the places where :func:`_rebinds` binds what runs the sandbox under its own
    directories ``tops``, never through a link.

    Bubblewrap makes a mount point as ``mkdir -p`` does, following each link on its way: one that a cell
    put there (a snapshot keeps it) would have it make directories wherever that link leads, on the host
    too. What is there of another kind (a link, a file where a directory goes) is removed: the bind hides
    it anyway. A directory on the way that a cell made read-only (``chmod 500``) is opened up for the
    moment (see :func:`_open_up`) and given back its mode. Only for a tree no process writes meanwhile
    (see :meth:`Container.start`).
    """
    opened: dict[Path, tuple[int, int]] = {}
    try:
        for kind, source, destination in (bind for bind in _rebound(tops) if bind[0] != "--tmpfs"):
            parts = Path(destination).parts[1:]
            if parts[0] not in tops:
                continue
            place = root
            for at, name in enumerate(parts, 1):
                if place != root:
                    _open_up(place, opened)
                place /= name
                wanted = "directory" if at < len(parts) or kind == "--ro-bind" and os.path.isdir(source) else \
                    "link" if kind == "--symlink" else "file"  # a file's: anything but a directory or a link will do
                mode = place.lstat().st_mode if os.path.lexists(place) else None
                fits = mode is not None and (stat.S_ISDIR(mode) if wanted == "directory" else
                                             stat.S_ISLNK(mode) and os.readlink(place) == source if wanted == "link"
                                             else not (stat.S_ISDIR(mode) or stat.S_ISLNK(mode)))
                if mode is not None and not fits:
                    remove_tree(place) if stat.S_ISDIR(mode) else place.unlink()
                if wanted == "directory" and not fits:
                    place.mkdir()
    finally:
        for handle, mode in reversed(opened.values()):
            os.chmod(f"/proc/self/fd/{handle}", mode)
            os.close(handle)


def _open_up(directory: Path, opened: dict[Path, tuple[int, int]]) -> None:
    """Give ``directory`` its owner's read, write and search, never following a link, unless it has them; record
    in ``opened`` its handle and its mode, to be given back.

    As a regular user, this process may make and remove entries only where the owner (the sandbox's user) may.
    """
    if directory in opened:
        return
    handle = os.open(directory, os.O_PATH | os.O_NOFOLLOW | os.O_DIRECTORY)
    mode = stat.S_IMODE(os.fstat(handle).st_mode)
    if mode & 0o700 == 0o700:
        os.close(handle)
        return
    opened[directory] = handle, mode
    os.chmod(f"/proc/self/fd/{handle}", mode | 0o700)


def _python(root: Path) -> None:
    """Give the sandbox of the tree ``root`` its Python environment, in its own ``/tmp`` (no mount of its own,
    whose point would be one more directory to remove with the tree), where nothing is there yet.

    A virtual environment of its own (writable: what pip installs, scripts included, lands there)
    over the base interpreter, with no copy of pip or of anything else; it sees the checkout's
    packages after its own (a ``.pth`` adds them). Made on the host, so only before any process of
    the sandbox runs (:meth:`Container.start`), never on a tree its code may change meanwhile (a
    snapshot's copy is taken as it runs): that code may put a link to the host anywhere. What a tree
    holds at ``/tmp/.python`` already, a link included, is left as it is (a snapshot's brings its own).
    """
    made, packages = root / SANDBOX_PYTHON.lstrip("/"), f"lib/python{sysconfig.get_python_version()}/site-packages"
    if os.path.lexists(made):
        return
    (made / "bin").mkdir(parents=True)
    (made / packages).mkdir(parents=True)
    for name in ("python", "python3", f"python{sysconfig.get_python_version()}"):
        (made / "bin" / name).symlink_to(sys._base_executable)
    with open(os.open(made / "bin" / "pip", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o755), "w") as pip:
        pip.write(f"#!{SANDBOX_PYTHON}/bin/python\nimport sys\nfrom pip._internal.cli.main import main\n"
                  "sys.exit(main())\n")
    for name in ("pip3", f"pip{sysconfig.get_python_version()}"):  # every name a virtual environment has
        (made / "bin" / name).symlink_to("pip")
    (made / "pyvenv.cfg").write_text(f"home = {os.path.dirname(sys._base_executable)}\n"
                                     f"include-system-site-packages = false\nversion = {sys.version.split()[0]}\n")
    (made / packages / "_checkout.pth").write_text("".join(f"import site; site.addsitedir({path!r})\n"
                                                           for path in site.getsitepackages()))


def _arguments(root: Path | None, tops: set[str], extra: list[str] = (), system: bool = True) -> int:
    """A pipe's read end holding bubblewrap's arguments (``--args``) for the sandbox of the tree ``root``
    whose own directories are ``tops`` (``None``: empty ones, of no tree), with the binds ``extra``
    (``system``: as :func:`_namespaces`): kept out of the host's process list, where any local user would
    read the tree's path."""
    for top in tops if root is not None else ():
        (root / top).mkdir(parents=True, exist_ok=True)
    binds = [part for top in sorted(tops) for part in (("--bind", str(root / top), "/" + top) if root is not None
                                                       else ("--tmpfs", "/" + top))]
    args, given = os.pipe()
    try:
        os.write(given, "".join(f"{arg}\0" for arg in [*_host(tops), *binds, *_rebinds(tops), *extra,
                                                       *_namespaces(system), "--remount-ro", "/", "--chdir", "/"]).encode())
    except BaseException:
        os.close(args)
        raise
    finally:
        os.close(given)
    return args


# The most a file route reads of one file: a sandbox's sparse file costs it nothing (`truncate -s 100G`),
# its download the stand-in's memory; its size, when the file is opened, decides before anything is read.
READ_LIMIT = 256 << 20
# The most it reads of a file the kernel gives no size (most of /proc), read to its end: such a file may
# have none (/proc/N/pagemap spans the whole address space), and a few downloads at once add up.
SIZELESS_LIMIT = 16 << 20


def unread(error: OSError) -> tuple[int, str] | None:
    """Why a file route could not read a sandbox's file (``error``, of :meth:`Container.read`), as a status and a
    message, or ``None`` where nothing is there (which each stand-in words as its service does)."""
    if error.errno in (errno.ENOENT, errno.ENOTDIR):
        return None
    if error.errno == errno.EFBIG:
        return 413, error.strerror
    if error.errno is None:  # its sandbox has ended
        return 500, str(error)
    return 400, error.strerror  # not a regular file, one it may not read, a path too long, ...


def read_opened(fd: int, size: int) -> bytes:
    """The file open at ``fd`` (closed on return), up to ``size`` bytes, or to its end where ``size`` is 0;
    raises ``OSError`` (``EFBIG``) beyond ``READ_LIMIT``, or a sizeless one beyond ``SIZELESS_LIMIT``.
    One read holds a file of known size, no copy."""
    with open(fd, "rb", buffering=0) as file:
        if size > READ_LIMIT:
            raise OSError(errno.EFBIG, f"a file of {size} bytes, over the {READ_LIMIT >> 20} MiB a download serves")
        chunks, held = [], 0
        # A sizeless file in whole MiBs: /proc/N/pagemap reads in steps of 8 bytes, and fails others.
        while (not size or held < size) and (read := file.read(size - held if size else 1 << 20)):
            chunks.append(read)
            held += len(read)
            if not size and held > SIZELESS_LIMIT:
                raise OSError(errno.EFBIG, f"a file that gives no size (as most of /proc), and runs past the "
                                           f"{SIZELESS_LIMIT >> 20} MiB a download reads of one")
        return b"".join(chunks)


async def copy_tree(root: Path, tops: set[str], target: Path) -> None:
    """Copy the file tree ``root`` of a sandbox whose own directories are ``tops`` into the empty directory
    ``target`` as that sandbox's own processes could read it: in a sandbox of its own that sees the host as
    they do, the tree read-only, with no capability, never through a link (``tree_copy.py``). Its own
    directories there are empty, not the tree's: the tree's processes run on, and a link they make where
    what runs the copier is bound back would have bubblewrap make that place through it.

    Raises ``OSError`` saying what it could not copy (``PermissionError`` where the tree's own modes forbid
    reading it), or that the copy took over ``COPY_LIMIT`` seconds.
    Call it on the stand-in's loop (see :meth:`Container.start`).
    """
    source, copy = "/.snapshot/source", "/.snapshot/copy"
    args = _arguments(None, tops, ["--ro-bind", str(root), source, "--bind", str(target), copy], system=False)
    try:
        await _copier([BWRAP, "--args", str(args), "--"], source, copy, (args,))
    finally:
        os.close(args)


async def restore_tree(source: Path, target: Path) -> None:
    """Copy a snapshot's tree ``source`` (a copy by :func:`copy_tree`, the stand-in's own) into the empty
    directory ``target``, as :func:`copy_tree` copies, on the host; raises ``OSError`` as it does."""
    await _copier([], str(source), str(target), ())


async def _copier(within: list[str], source: str, target: str, fds: tuple[int, ...]) -> None:
    process = await asyncio.create_subprocess_exec(
        *DEFAULT_SIGNALS, *within, sys.executable, "-I", "-S", str(COPIER), source, target,
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, pass_fds=fds,
        start_new_session=True)
    try:
        _, error = await asyncio.wait_for(process.communicate(), COPY_LIMIT)
    except TimeoutError:
        raise OSError(f"copying its tree took over {COPY_LIMIT:g} s: given up") from None
    finally:
        # The whole group: killed early, bubblewrap can leave its child orphaned before that child has set up
        # its namespaces (and --die-with-parent), holding the stderr pipe open for ever.
        await kill_group(process)
    if process.returncode:  # 2: the tree's own modes forbid reading an entry
        raise (PermissionError if process.returncode == 2 else OSError)(
            error.decode(errors="replace").strip() or f"exit status {process.returncode}")


# How a sandbox starts with its first process beside its agent (bash: descriptors above 9 by number):
# that process in a session of its own, its stdin and stdout the descriptors "$5" and "$6", without the
# agent's socket "$4", then the agent ("$0" to "$4"), told that it has a first child.
_BESIDE = ('agent=("$0" "$1" "$2" "$3" "$4") own=$4 in=$5 out=$6; shift 6; '
           'setsid -f "$@" <&"$in" >&"$out" {in}<&- {out}>&- {own}<&- 2>/dev/null; '
           'exec "${agent[@]}" first {in}<&- {out}>&-')


def _pipes(stdin: bool, stderr: bool = False) -> tuple[list[int | None], list[int]]:
    """Pipes for a process's ``stdin``, stdout and ``stderr``: this process's ends (``None`` where not a
    pipe), and the process's (/dev/null where not a pipe), each in that order."""
    ours, theirs = [], []
    for reading, wanted in ((True, stdin), (False, True), (False, stderr)):
        read, write = os.pipe() if wanted else (None, None)
        ours.append((write if reading else read) if wanted else None)
        theirs.append((read if reading else write) if wanted else os.open(os.devnull, os.O_RDWR))
    return ours, theirs


class SandboxProcess:
    """A process of a sandbox, started by its agent, with the face of ``asyncio.subprocess.Process``
    that the stand-ins use; its ``pid`` is the sandbox's own."""

    def __init__(self, container: Container, pid: int, exited: asyncio.Future) -> None:
        self.pid, self._container, self._exited = pid, container, exited
        self.stdin = self.stdout = self.stderr = None  # streams, where pipes

    @property
    def returncode(self) -> int | None:
        return self._exited.result() if self._exited.done() else None

    async def wait(self) -> int:
        return await asyncio.shield(self._exited)

    async def signal(self, number: int, group: bool = False) -> None:
        """Signal the process (``group``: the session it leads, whatever it started) from inside its sandbox."""
        with contextlib.suppress(OSError):  # the sandbox has ended, and the process with it
            await self._container._ask({"signal": int(number), "pid": self.pid, "group": group})


class Container:
    """One sandbox's bubblewrap, and the stand-in's end of its agent's socket."""

    python = f"{SANDBOX_PYTHON}/bin/python"

    def __init__(self, process: subprocess.Popen, channel: socket.socket) -> None:
        self.process, self._channel = process, channel
        self._loop = asyncio.get_running_loop()
        self._ready = self._loop.create_future()
        self._asked: dict[int, asyncio.Future] = {}
        self._running: dict[int, asyncio.Future] = {}  # pid -> its exit code
        self._ids = itertools.count()
        self._ended = False
        self._sendable: asyncio.Future | None = None  # see _writable
        self._loop.add_reader(channel, self._receive)

    @classmethod
    async def start(cls, root: Path, tops: set[str] = TREE_TOPS, first: list[str] | None = None,
                    env: dict[str, str] | None = None, limit: int = 2**16) -> Container:
        """A sandbox whose own directories (``tops``) are those of the file tree ``root``.

        ``first``: a command started with the sandbox beside its agent (in ``/``, with ``env``, its
        stdin and stdout pipes to this process: ``container.first``), not after it: a sandbox's code
        worker then starts while the agent does. Call it on the stand-in's loop: bubblewrap ends with
        the thread that started it. No process may write the tree meanwhile (it is a new one, or a
        snapshot's restored): the stand-in prepares it on the host.
        """
        _python(root)
        _make_places(root, tops)
        args = _arguments(root, tops)
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        stdio = _pipes(stdin=True) if first else ([], [])
        agent = [sys.executable, "-I", "-S", str(AGENT), str(theirs.fileno())]
        try:
            process = subprocess.Popen(
                [*DEFAULT_SIGNALS, BWRAP, "--args", str(args), "--",
                 *(["bash", "-c", _BESIDE, *agent, *map(str, stdio[1][:2]), *first] if first else agent)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                env={**SANDBOX_ENV, **(os.environ if env is None else env)},
                pass_fds=(args, theirs.fileno(), *stdio[1][:2]), start_new_session=True)
        except BaseException:
            for fd in filter(None, stdio[0]):
                os.close(fd)
            raise
        finally:
            for fd in (args, *stdio[1]):
                os.close(fd)
            theirs.close()
        ours.setblocking(False)
        container = cls(process, ours)
        try:
            await asyncio.wait_for(asyncio.shield(container._ready), STARTUP_LIMIT)
        except BaseException as exc:
            container._ready.cancel()  # nothing waits for it any more: the failure its end brings would go unseen
            await container.kill()
            if not isinstance(exc, Exception):  # given up (cancelled), not failed
                raise
            failure = process.stderr.read().decode(errors="replace").strip() or f"exit status {process.returncode}"
            raise OSError(f"the sandbox's container failed to start: {failure}") from exc
        finally:
            process.stderr.close()
        if first:
            container.first = await container._attach(container._first, stdio[0], limit)
        return container

    @property
    def alive(self) -> bool:
        return not self._ended and self.process.poll() is None

    def _receive(self) -> None:
        try:
            message, fds, _, _ = socket.recv_fds(self._channel, 65536, 1)
        except BlockingIOError:
            return
        except OSError:
            message, fds = b"", []
        answer = None
        with contextlib.suppress(ValueError):
            answer = json.loads(message)  # numbers only: anything else is not the agent's
        if not isinstance(answer, dict):
            for fd in fds:
                os.close(fd)
            return self._end()
        if "exited" in answer:
            if (exited := self._running.pop(answer["exited"], None)) is not None:
                exited.set_result(answer["code"])
        elif "ready" in answer:
            if "first" in answer:
                self._first = (answer["first"], self._running.setdefault(answer["first"], self._loop.create_future()))
            self._ready.set_result(None)
        elif (asked := self._asked.pop(answer["id"], None)) is not None and not asked.cancelled():
            if "pid" in answer:  # registered before the coroutine resumes: its end may come next
                answer["exited"] = self._running[answer["pid"]] = self._loop.create_future()
            asked.set_result((answer, fds))
            return
        for fd in fds:
            os.close(fd)

    def _end(self) -> None:
        if self._ended:
            return
        self._ended = True
        self._loop.remove_reader(self._channel)
        self._sent_on()  # whatever waits to send sees the end
        self._channel.close()
        for future in [*self._asked.values(), self._ready]:
            if not future.done():
                future.set_exception(OSError(_ENDED))
        for exited in self._running.values():
            exited.done() or exited.set_result(-signal.SIGKILL)  # with every other process of the sandbox

    async def _ask(self, request: dict, fds: list[int] = ()) -> tuple[dict, list[int]]:
        number = next(self._ids)
        while True:
            if self._ended:
                raise OSError(_ENDED)
            try:
                socket.send_fds(self._channel, [marshal.dumps({"id": number, **request})], list(fds))
                break
            except BlockingIOError:  # the agent has not yet read what came before (a burst of requests)
                await self._writable()
            except OSError as exc:
                if exc.errno == errno.EMSGSIZE:  # larger than its socket takes: this request fails alone
                    raise OSError(errno.E2BIG, "the request is too large for the sandbox's agent") from None
                self._end()  # its socket closed, or being closed: the agent has ended
                raise OSError(_ENDED) from None
        self._asked[number] = asked = self._loop.create_future()
        answer, given = await asked
        if "error" in answer:
            code = answer["error"]
            raise OSError(errno.EINVAL, REFUSALS[code]) if code < 0 else OSError(code, os.strerror(code))
        return answer, given

    async def _writable(self) -> None:
        """Return once the agent's socket takes a request again, or the sandbox has ended (then at once)."""
        if self._sendable is None:
            self._sendable = self._loop.create_future()
            self._loop.add_writer(self._channel, self._sent_on)
        await asyncio.shield(self._sendable)

    def _sent_on(self) -> None:
        self._loop.remove_writer(self._channel)
        sendable, self._sendable = self._sendable, None
        if sendable is not None and not sendable.done():
            sendable.set_result(None)

    async def run(self, argv: list[str], cwd: str, env: dict[str, str], *, stdin: bool = False,
                  limit: int = 2**16) -> SandboxProcess:
        """Start ``argv`` in the sandbox, in ``cwd`` there, leading a session of its own; its stdout and
        stderr (and ``stdin``) are pipes to this process."""
        ours, theirs = _pipes(stdin, stderr=True)
        try:
            answer, _ = await self._ask({"run": argv, "cwd": cwd, "env": {**SANDBOX_ENV, **env}}, theirs)
        except BaseException:
            for fd in filter(None, ours):
                os.close(fd)
            raise
        finally:
            for fd in theirs:
                os.close(fd)
        return await self._attach((answer["pid"], answer["exited"]), ours, limit)

    async def _attach(self, started: tuple[int, asyncio.Future], ours: list[int | None], limit: int) -> SandboxProcess:
        """The process ``started`` (its pid and exit), with this process's ends of its pipes (``_pipes``)."""
        process = SandboxProcess(self, *started)
        stdin, *outputs = ours
        if stdin is not None:
            transport, protocol = await self._loop.connect_write_pipe(asyncio.streams.FlowControlMixin,
                                                                      open(stdin, "wb", buffering=0))
            process.stdin = asyncio.StreamWriter(transport, protocol, None, self._loop)
            process._exited.add_done_callback(lambda _: transport.close())
        for name, fd in zip(("stdout", "stderr"), outputs):
            if fd is not None:
                reader = asyncio.StreamReader(limit=limit, loop=self._loop)
                await self._loop.connect_read_pipe(lambda reader=reader: asyncio.StreamReaderProtocol(reader),
                                                   open(fd, "rb", buffering=0))
                setattr(process, name, reader)
        return process

    async def open(self, path: str, *, write: bool = False) -> int:
        """A descriptor of the regular file at the sandbox's ``path`` (relative: from its root), opened
        inside the sandbox (to write: made or truncated, its directories made)."""
        return (await self._open(path, write))[0]

    async def _open(self, path: str, write: bool = False) -> tuple[int, int]:
        answer, (fd,) = await self._ask({"open": os.path.normpath("/" + path), "write": write})
        return fd, answer["size"]

    async def read(self, path: str) -> bytes:
        """The regular file at the sandbox's ``path`` (opened as :meth:`open` does), read off the loop up to
        the size it had when opened: a file the sandbox keeps writing does not keep the read going."""
        return await asyncio.to_thread(read_opened, *await self._open(path))

    async def mkdir(self, path: str) -> None:
        """Make the sandbox's directory ``path`` and those above it, inside the sandbox."""
        await self._ask({"mkdir": os.path.normpath("/" + path)})

    async def kill(self) -> None:
        """End every process of the sandbox, and wait until bubblewrap has ended.

        The agent, the sandbox's PID 1, ends as its socket closes (and the kernel kills the rest), and
        bubblewrap outside reaps it and ends. Killed outside first, bubblewrap would leave the agent to
        whatever reaps the host's orphans, which may be nothing (a container's init that reaps none).
        """
        self._end()
        deadline = self._loop.time() + STARTUP_LIMIT
        while self.process.poll() is None:  # within milliseconds
            if self._loop.time() > deadline:
                self.process.kill()
                self.process.wait()
            await asyncio.sleep(0.001)


class _Beside:
    """What ``PythonWorker.start`` runs its worker in: a sandbox started with the worker beside its agent."""

    python = Container.python

    def __init__(self, root: Path) -> None:
        self.root, self.container = root, None

    async def run(self, argv: list[str], cwd: str, env: dict[str, str], *, stdin: bool, limit: int) -> SandboxProcess:
        if self.container is not None:  # a worker started anew
            return await self.container.run(argv, cwd, env, stdin=stdin, limit=limit)
        self.container = await Container.start(self.root, first=argv, env=env, limit=limit)
        return self.container.first


#: After the sandbox's own Python on its ``PATH``: the system's directories, never the host's ``PATH`` (whose
#: shims, pyenv's say, would reach the host's interpreters).
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def environ(home: str) -> dict[str, str]:
    """The environment a sandbox's processes start from: this process's, with a ``PATH`` of the sandbox's own
    Python (then ``PYTHON_GONE``; bash's ``BASH_ENV`` of ``SANDBOX_ENV`` puts both back) and ``SYSTEM_PATH``, so
    that a command's ``python3`` and ``pip`` are the sandbox's own, and ``home`` (of the sandbox's own
    directories) as ``HOME``, so that no shell reads the host user's dotfiles."""
    return {**os.environ, "HOME": home,
            "PATH": os.pathsep.join([f"{SANDBOX_PYTHON}/bin", str(PYTHON_GONE), SYSTEM_PATH])}


async def start_worker(root: Path, env: dict[str, str]) -> tuple[Container, object]:
    """A sandbox of the file tree ``root`` and a code worker (``standin.PythonWorker``) in it, started
    anew when it dies, as a Jupyter server restarts a kernel."""
    from tests.fakes.standin import PythonWorker

    beside = _Beside(root)
    try:
        worker = await PythonWorker.start("/", {**environ(HOME), **env}, container=beside, restart=True)
        return beside.container, worker
    except BaseException:
        if beside.container is not None:
            await beside.container.kill()
        raise


# ------------------------------------------------------------ what the machine allows


def check(who: str) -> None:
    """Fail at once, saying why and what would help, where ``who`` (a stand-in) can make no sandbox here."""
    if (refusal := _refusal()) is not None:
        raise RuntimeError(cannot_make_containers(who, refusal, os.geteuid(), _capabilities(), _userns_settings()))


@functools.cache
def _refusal() -> str | None:
    """Why bubblewrap makes no sandbox here, ``None`` where it does (tried once per process, whichever stand-in asks)."""
    if shutil.which(BWRAP) is None:
        return f"{BWRAP} is not installed"
    tried = subprocess.run([BWRAP, "--ro-bind", "/", "/", *_namespaces(), "--", "true"], capture_output=True,
                           stdin=subprocess.DEVNULL, text=True, timeout=STARTUP_LIMIT)
    return None if tried.returncode == 0 else tried.stderr.strip() or f"exit status {tried.returncode}"


def _capabilities() -> int:
    with contextlib.suppress(OSError, ValueError, StopIteration), open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("CapEff:")).split()[1], 16)
    return 0


# The settings that decide whether a regular user may make a user namespace (not every kernel has
# each of them): the values that allow it, and a test of a value.
_USERNS_SETTINGS = {"user.max_user_namespaces": ("above 0", lambda value: value.isdigit() and int(value) > 0),
                    "kernel.unprivileged_userns_clone": ("1", lambda value: value == "1"),
                    "kernel.apparmor_restrict_unprivileged_userns": ("0", lambda value: value == "0")}


def _userns_settings() -> dict[str, str]:
    """The values of those of ``_USERNS_SETTINGS`` this kernel has."""
    found = {}
    for name in _USERNS_SETTINGS:
        with contextlib.suppress(OSError):
            found[name] = Path("/proc/sys", *name.split(".")).read_text().strip()
    return found


CAP_SYS_ADMIN = 21
def cannot_make_containers(who: str, refusal: str, euid: int, capabilities: int, settings: dict[str, str]) -> str:
    """Why ``who`` can make no sandbox here, and what would help, for this caller on this machine."""
    text = f"{who} runs each sandbox under bubblewrap, which cannot make one here ({refusal})."
    if refusal == f"{BWRAP} is not installed":
        return text + " Install Debian's bubblewrap package (scripts/setup.sh does), or put a bwrap on PATH."
    if euid == 0 and not capabilities >> CAP_SYS_ADMIN & 1:
        return text + (" Root needs CAP_SYS_ADMIN for its namespaces, which this process lacks: in a container "
                       "(Docker's default drops it), start that container with --cap-add SYS_ADMIN, or --privileged.")
    if euid == 0:
        return text + (" Root has CAP_SYS_ADMIN here, so a policy forbids its namespaces (a container's seccomp "
                       "profile, say): start that container with --privileged, or a profile that allows them.")
    forbidding = {name: value for name, value in settings.items() if not _USERNS_SETTINGS[name][1](value)}
    if forbidding:
        shown = "; ".join(f"{name} is {value}, needed {_USERNS_SETTINGS[name][0]}" for name, value in forbidding.items())
        return text + (" For a regular user it makes a user namespace, which this machine does not allow this user "
                       f"({shown}). Root can run the stand-in as it is.")
    shown = "; ".join(f"{name} is {value}" for name, value in settings.items())
    return text + (" For a regular user it makes a user namespace, and this kernel's settings allow that "
                   f"({shown or 'it has none of the settings that govern it'}), so something else refuses it: a "
                   "seccomp or AppArmor profile, or the policy of a container this runs in. Root can run the "
                   "stand-in as it is.")
