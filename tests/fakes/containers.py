"""Containers for the stand-ins' sandboxes: a process list, and for OpenSandbox a ``/tmp``, of their own.

A sandbox's processes (its commands and code workers, and whatever they start) run in a PID
namespace with its own ``/proc`` and in a mount namespace (in which, for OpenSandbox, the
sandbox's own directory is ``/tmp``). As in a real sandbox, they see and signal each other and nothing of another
sandbox or of the host, whatever else runs on the machine (another test run, another user's).

A container's first process (PID 1, ``INIT``) reaps whatever ends in it, and it ends when the
stand-in's end of its standard input closes (the container is killed, or the stand-in stops), and
when the process running the stand-in ends, however it ends: it watches a pidfd of that process,
which nothing in the container can hold open as it could the pipe (through ``/proc/1/fd/0``). The
kernel then kills every other process of the container, so nothing of a sandbox outlives its stand-in.

A container is entered through descriptors of its namespaces, opened once its PID 1 is up, never
through a pid number that another process may take once PID 1 has died: a PID namespace whose
first process is gone takes no new process, so a command meant for a dead container fails there.

Root makes the namespaces directly; a regular user makes them inside one user namespace in which
it is root (see :func:`_user_namespace`). Processes enter a container through ``nsenter``, which
stays outside as their parent: the stand-in's handle on a process (its pid and exit status) is
that ``nsenter``, whose one child is the process in the container (:meth:`Container.member`).
That process leads a session of its own, as a sandbox's command or code worker does: its group
is what it starts, without ``nsenter``. Killing it, the stand-in kills that group first and lets
``nsenter`` reap it and end as it did (``standin.kill_group``): an ``nsenter`` that died first
would leave it to the host's reaper, and the container could not end until that reaped it.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import os
import select
import shlex
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from tests.fakes.python_worker import SANDBOX_TOPS
from tests.fakes.standin import DEFAULT_SIGNALS, STARTUP_LIMIT, PythonWorker

# PID 1 of a container. The kernel keeps every signal from it that it has no handler for,
# unless it comes from outside the container; Python's own SIGINT handler is dropped for that.
INIT = """import os, select, signal
stand_in = {pidfd}  # readable once the stand-in's process has ended
signal.signal(signal.SIGINT, signal.SIG_DFL)
wake, woken = os.pipe()
os.set_blocking(woken, False)
signal.set_wakeup_fd(woken)
signal.signal(signal.SIGCHLD, lambda *_: None)
os.write(1, b"ready\\n")
quiet = os.open(os.devnull, os.O_RDWR)
os.dup2(quiet, 1)
os.dup2(quiet, 2)
while True:
    readable = select.select([0, wake, stand_in], [], [])[0]
    if stand_in in readable or 0 in readable and not os.read(0, 512):
        os._exit(0)
    if wake in readable:
        os.read(wake, 512)
    try:
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    except ChildProcessError:
        pass
"""
_NAMESPACES = ("unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc")
_ENTER_CWD = ("setsid", "sh", "-c", 'cd "$0" && exec "$@"')  # see the module docstring
_HOLDERS: list[subprocess.Popen] = []  # see _user_namespace
_LOCK = threading.RLock()  # the first container probes the ways (see _way), starting containers itself


def _setup_script(tmp: bool, tree: bool = False) -> str:
    """Mounts the sandbox's directories, then runs PID 1 ("$2" -c "$1").

    ``tmp``: the sandbox's tmp directory ("$0") over /tmp. ``tree``: the sandbox's file tree
    ("$0") at the sandbox paths (``SANDBOX_TOPS``: ``/files``, ``/home``...), which need not exist
    on the host: the container gets a root of its own, a tmpfs into which the host's other entries
    are bound. A checkout or interpreter that itself lives under one of the paths covered (a fresh
    clone under /tmp in CI, a user's in their home) is bound back into place first, so the
    processes of the sandbox still find the project and its virtual environment.
    """
    run = 'exec "$2" -I -S -c "$1"'
    if tmp:
        return _rebind("tmp", '"$0"', whole=True) + f'mount --rbind "$0" /tmp && {run}'
    if not tree:
        return run
    tops = " ".join(sorted(SANDBOX_TOPS))
    # The new root's mount point is in the sandbox's directory but under none of its paths, so
    # nothing in the sandbox reaches it; unbindable, so the host's /tmp bound into it leaves it out.
    return f"""set -e
new="$0/.root"
mkdir "$new"
mount -t tmpfs -o mode=0755 root "$new"
mount --make-unbindable "$new"
for entry in /* /.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${{entry#/}}
    case " {tops} " in *" $name "*) continue;; esac
    if [ -L "$entry" ]; then ln -s "$(readlink "$entry")" "$new/$name"
    elif [ -d "$entry" ]; then mkdir "$new/$name"; mount --rbind "$entry" "$new/$name"
    else : > "$new/$name"; mount --bind "$entry" "$new/$name"; fi
done
for top in {tops}; do mkdir -p "$0/$top" "$new/$top"; mount --bind "$0/$top" "$new/$top"; done
{"".join(_rebind(top, f'"$new"/{top}', whole=False) for top in sorted(SANDBOX_TOPS))}: || exit 1
mkdir "$new/.old"
cd "$new"
PATH="$PATH:/usr/sbin:/sbin" pivot_root . .old  # where a regular user's PATH has no sbin
cd /
umount -l /.old
rmdir /.old
{run}"""


def _rebind(top: str, into: str, whole: bool) -> str:
    """The commands that bind what this process runs from (the checkout, the interpreter) where it lives
    under ``/top`` to the same place in ``into`` (a shell word: the directory that becomes ``/top``).

    ``whole``: each entry of ``/top`` that holds one of them, else the least that holds them (a
    checkout in ``/home/user``, the sandbox's own home, keeps the rest of it the sandbox's; a
    checkout that is ``/top`` itself, ``/workspace`` say, takes the sandbox's place there).
    """
    needed = {Path(os.path.abspath(path)) for path in (Path(__file__).parents[2], sys.prefix, sys.base_prefix,
                                                       sys.executable)}
    needed = {path for path in needed | {path.resolve() for path in needed}
              if path.is_relative_to(f"/{top}") and (path != Path(f"/{top}") or not whole)}
    if whole:
        needed = {Path("/", top, path.relative_to(f"/{top}").parts[0]) for path in needed}
    commands = ""
    for path in sorted(needed):
        if any(path.is_relative_to(other) and path != other for other in needed):
            continue  # bound with the directory that holds it
        target = into + shlex.quote("/" + str(path.relative_to(f"/{top}")))
        made = f"mkdir -p {target}" if path.is_dir() else \
            f"mkdir -p {into}{shlex.quote('/' + str(path.parent.relative_to(f'/{top}')))} && : > {target}"
        commands += f"{made} && mount --rbind {shlex.quote(str(path))} {target} && "
    return commands


def _user_namespace() -> tuple[str, ...]:
    """The command line that enters a user namespace in which this user is root.

    One namespace serves every container of this process, held by a process that ends with this
    one (it reads its standard input until this process is gone). A holder that has died (killed
    from outside) is replaced before its pid could name another process; containers made in its
    namespace keep it.
    """
    if _HOLDERS and _HOLDERS[-1].poll() is not None:
        _HOLDERS.pop().wait()
    if _HOLDERS:
        return ("nsenter", f"--target={_HOLDERS[-1].pid}", "--user", "--preserve-credentials")
    holder = subprocess.Popen([*DEFAULT_SIGNALS, "unshare", "-r", "cat"], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    own, deadline = os.readlink("/proc/self/ns/user"), time.monotonic() + STARTUP_LIMIT
    while holder.poll() is None and time.monotonic() < deadline:
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{holder.pid}/ns/user") != own:
                _HOLDERS.append(holder)
                return _user_namespace()
        time.sleep(0.01)
    holder.kill()
    _, err = holder.communicate(timeout=STARTUP_LIMIT)
    raise OSError(err.decode(errors="replace").strip() or f"no user namespace within {STARTUP_LIMIT:.0f} s")


@dataclass(frozen=True)
class _Way:
    name: str
    in_user_namespace: bool

    def prefix(self) -> tuple[str, ...]:
        return _user_namespace() if self.in_user_namespace else ()


_WAYS = (_Way("directly", False), _Way("in a user namespace (unshare -r)", True))


class Container:
    """One sandbox's namespaces, held by its PID 1; :meth:`entering` runs a command line in them."""

    def __init__(self, process: subprocess.Popen, init: int, way: _Way, namespaces: dict[str, int]) -> None:
        self.process, self.init, self._way = process, init, way
        self._namespaces = namespaces  # nsenter option -> descriptor; empty once killed
        self._lock = threading.Lock()

    @classmethod
    def start(cls, tmp: Path | str | None = None, way: _Way | None = None,
              tree: Path | str | None = None) -> Container:
        """A container whose ``/tmp`` is ``tmp`` (else the host's), whose sandbox paths (``/files``,
        ``/home``...) are those of the file tree ``tree`` (else the host's), with the host's files otherwise.

        Blocks while its PID 1 starts: call it off the event loop.
        """
        retry = True
        while True:
            with _LOCK:
                way = way or _way()
                stand_in = os.pidfd_open(os.getpid())
                argv = [*DEFAULT_SIGNALS, *way.prefix(), *_NAMESPACES, "sh", "-c",
                        _setup_script(tmp is not None, tree is not None), str(tmp or tree or "/tmp"),
                        INIT.format(pidfd=stand_in), sys.executable]
                holder = _HOLDERS[-1] if way.in_user_namespace else None
            # PID 1 gets no tag of a sandbox: what kills a sandbox's processes by their tag spares it.
            try:
                process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, env={"PATH": os.environ.get("PATH", os.defpath)},
                                           start_new_session=True, pass_fds=(stand_in,))
            finally:
                os.close(stand_in)
            try:
                if not select.select([process.stdout], [], [], STARTUP_LIMIT)[0] or \
                        process.stdout.readline() != b"ready\n":
                    raise OSError(_failure(process))
                init = cls.member(process.pid)
                return cls(process, init, way, _namespaces(process.pid, init, way))
            except BaseException as exc:
                process.kill()
                process.wait()
                # The holder it named died meanwhile (killed from outside, and reaped by another start
                # that replaced it): once more, in the namespace of its replacement.
                if isinstance(exc, OSError) and retry and holder is not None and holder.poll() is not None:
                    retry = False
                    continue
                raise

    @contextlib.contextmanager
    def entering(self, cwd: str, *argv: str) -> Iterator[tuple[list[str], tuple[int, ...]]]:
        """The command line that runs ``argv`` in this container, in ``cwd`` there, and the descriptors
        it names, for the process started within (``pass_fds``).

        The descriptors are copies of this container's, closed on leaving: a :meth:`kill` on another
        thread closes the originals, whose numbers a later open could reuse for something else (another
        container's namespace) before the process is started.
        """
        with self._lock:
            if not self._namespaces:
                raise OSError("the sandbox's container has ended")
            copies: dict[str, int] = {}
            try:
                for name, fd in self._namespaces.items():
                    copies[name] = os.dup(fd)
            except BaseException:
                for fd in copies.values():
                    os.close(fd)
                raise
        try:
            enter = [f"--{name}=/proc/self/fd/{fd}" for name, fd in copies.items()]
            user = ("--preserve-credentials",) if self._way.in_user_namespace else ()
            yield ["nsenter", *enter, *user, "--", *_ENTER_CWD, cwd, *argv], tuple(copies.values())
        finally:
            for fd in copies.values():
                os.close(fd)

    @staticmethod
    def member(pid: int) -> int:
        """The process that ``nsenter`` ``pid`` (of :meth:`entering`) started in the container (``pid`` once it has none)."""
        with contextlib.suppress(OSError, ValueError, IndexError):
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                return int(f.read().split()[0])
        return pid

    @property
    def alive(self) -> bool:
        """Whether its PID 1 runs: ``unshare``, outside, reaps it and ends as soon as it has ended."""
        return self.process.poll() is None

    def kill(self) -> None:
        """End every process of the container, and wait until they have ended.

        Kill a container before the ``nsenter`` processes that entered it: a process whose
        ``nsenter`` is gone is left to the host's init to reap once its container's PID 1 has
        gone, and that can take seconds, while a live ``nsenter`` reaps its own at once.
        """
        if self.alive:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.init, signal.SIGKILL)
        with contextlib.suppress(OSError):
            self.process.stdin.close()
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.process.wait(STARTUP_LIMIT)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        with self._lock:
            namespaces, self._namespaces = self._namespaces, {}
        for fd in namespaces.values():
            os.close(fd)


def _namespaces(unshare: int, init: int, way: _Way) -> dict[str, int]:
    """Descriptors of the namespaces of PID 1 ``init``, child of ``unshare``, by nsenter option.

    Opened through a descriptor of its ``/proc`` directory, which stays that process's: its parent
    checked through it, the namespaces are those of the PID 1 that said it was ready, not of a
    process that took its number since.
    """
    names = ("user", "mnt", "pid") if way.in_user_namespace else ("mnt", "pid")
    proc = os.open(f"/proc/{init}", os.O_RDONLY | os.O_DIRECTORY)
    opened: dict[str, int] = {}
    try:
        with open(os.open("stat", os.O_RDONLY, dir_fd=proc)) as f:
            parent = int(f.read().rsplit(")", 1)[1].split()[1])
        if parent != unshare:
            raise OSError("the container's first process ended as it started")
        for name in names:
            opened["mount" if name == "mnt" else name] = os.open(f"ns/{name}", os.O_RDONLY, dir_fd=proc)
        return opened
    except BaseException:
        for fd in opened.values():
            os.close(fd)
        raise
    finally:
        os.close(proc)


async def start_worker(root: Path, env: dict[str, str]) -> tuple[Container, PythonWorker]:
    """A container whose sandbox paths are those of the file tree ``root`` (it keeps the host's ``/tmp``),
    and a code worker (``PythonWorker``) in it."""
    container = await asyncio.to_thread(functools.partial(Container.start, tree=root))
    try:
        return container, await PythonWorker.start("/", env, container=container, cwd="/")
    except BaseException:
        await asyncio.to_thread(container.kill)
        raise


def _failure(process: subprocess.Popen) -> str:
    process.kill()
    _, err = process.communicate(timeout=STARTUP_LIMIT)
    return err.decode(errors="replace").strip() or f"exit status {process.returncode}"


class _NoWay(OSError):
    """No way makes a container here; ``args[0]`` lists what each way met."""


def check(who: str) -> None:
    """Fail at once, saying why and what would help, where ``who`` (a stand-in) can make no container here."""
    try:
        _way()
    except _NoWay as exc:
        raise RuntimeError(cannot_make_containers(who, exc.args[0], os.geteuid(), _capabilities(),
                                                  _userns_settings())) from None


@functools.cache
def _way() -> _Way:
    """The first way that makes a container that can be entered (tried once per process)."""
    tried = []
    for way in _WAYS:
        try:
            # /tmp mounted over itself: as a sandbox's own directory would be, and nothing is made that
            # a process killed meanwhile would leave behind.
            container = Container.start("/tmp", way)
            try:
                with container.entering("/", "true") as (argv, fds):
                    entered = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                             timeout=STARTUP_LIMIT, pass_fds=fds)
            finally:
                container.kill()
        except (OSError, subprocess.SubprocessError) as exc:
            tried.append(f"{way.name}: {exc}")
            continue
        if entered.returncode == 0:
            return way
        tried.append(f"{way.name}, entering it: {entered.stderr.strip() or f'exit status {entered.returncode}'}")
    raise _NoWay(tried)


def _capabilities() -> int:
    with contextlib.suppress(OSError, ValueError, StopIteration):
        with open("/proc/self/status") as f:
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


def cannot_make_containers(who: str, tried: list[str], euid: int, capabilities: int, settings: dict[str, str]) -> str:
    """Why ``who`` can make no container here, and what would help, for this caller on this machine."""
    text = (f"{who} runs each sandbox's processes in a container of their own (PID and mount namespaces: a "
            "process list of their own) and cannot make one here (" + "; ".join(tried) + ").")
    if euid == 0 and not capabilities >> CAP_SYS_ADMIN & 1:
        return text + (" Root needs CAP_SYS_ADMIN for that, which this process lacks: in a container (Docker's "
                       "default drops it), start that container with --cap-add SYS_ADMIN, or --privileged.")
    if euid == 0:
        return text + (" Root has CAP_SYS_ADMIN here, so a policy forbids these namespaces (a container's "
                       "seccomp profile, say): start that container with --privileged, or with a profile "
                       "that allows unshare and mount.")
    forbidding = {name: value for name, value in settings.items() if not _USERNS_SETTINGS[name][1](value)}
    if forbidding:
        shown = "; ".join(f"{name} is {value}, needed {_USERNS_SETTINGS[name][0]}" for name, value in forbidding.items())
        return text + (" A regular user makes them in a user namespace of its own, which this machine does not allow "
                       f"this user ({shown}). Root can run the stand-in as it is.")
    shown = "; ".join(f"{name} is {value}" for name, value in settings.items())
    return text + (" A regular user makes them in a user namespace of its own, and this kernel's settings allow "
                   f"that ({shown or 'it has none of the settings that govern it'}), so something else refuses "
                   "it: a seccomp or AppArmor profile, or the policy of a container this runs in. Root can run the "
                   "stand-in as it is.")
