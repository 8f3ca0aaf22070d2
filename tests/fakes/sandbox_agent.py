"""The process inside a stand-in's sandbox that does there what the stand-in asks (run by ``containers.py``).

Its first argument is the descriptor of a ``SOCK_SEQPACKET`` socket to the stand-in (a second,
``first``, says that a first process was started beside it: its pid goes with "ready"); each message
is one request (``marshal``: only the stand-in writes them), with the descriptors it names attached:

- ``{"id", "run": argv, "cwd", "env"}`` with the process's stdin, stdout and stderr: runs
  ``argv`` in ``cwd`` (inside), leading a session of its own, every signal at its default;
  answers ``{"id", "pid"}``, and ``{"exited": pid, "code"}`` once it has ended (``code`` as
  ``subprocess`` gives it: ``-N`` for a signal);
- ``{"id", "signal", "pid", "group"}``: sends the signal to that process (or its group), answered
  once sent (so that it lands before whatever the stand-in does next);
- ``{"id", "open": path, "write"}``: opens a regular file there (to write: made, truncated, its
  directories made), answered ``{"id", "size"}`` (its size once opened) with its descriptor: paths resolve as the sandbox's own processes
  see them, links the sandbox made included, never on the host;
- ``{"id", "mkdir": path}``: makes a directory and those above it.

Answers are JSON of numbers only; a request it cannot serve (an ``OSError``, or a path or argument
it refuses, such as one holding a NUL byte: ``EINVAL``) is answered ``{"id", "error": errno}``, a
file it will not open (not a regular file; to write, one of ``/proc``) with a negative ``error`` of
``REFUSALS``, and the next is served. It is the sandbox's PID 1, and reaps whatever ends there. It ends when the stand-in's end of the socket closes (the stand-in
stopped or died), and the kernel then ends every other process of the sandbox.
"""

# Only modules built into the interpreter, or ones it has loaded anyway (and ctypes, for prctl): a sandbox starts no
# sooner than this.
import _signal
import _socket
import array
import ctypes
import errno
import marshal
import os
import select
import sys

ALL_SIGNALS = range(1, _signal.NSIG)
#: What it answers, as a negative ``error``, for a file it will not open (no errno says it).
REFUSALS = {-1: "not a regular file", -2: "a file of /proc, not to be written"}
_FDS = array.array("i", [0] * 3).itemsize * 3


def _open(path: str, write: bool) -> tuple[int, int]:
    if write:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    # Non-blocking: opening a FIFO never waits; whatever is not a regular file is refused.
    flags = (os.O_WRONLY | os.O_CREAT | os.O_TRUNC if write else os.O_RDONLY) | os.O_NONBLOCK | os.O_CLOEXEC
    fd = os.open(path, flags, 0o644)
    found = os.fstat(fd)
    refused = -1 if found.st_mode & 0o170000 != 0o100000 else -2 if write and found.st_dev == os.stat("/proc").st_dev \
        else 0  # writing a process's memory (/proc/N/mem), say
    if refused:
        os.close(fd)
        raise OSError(refused, REFUSALS[refused], path)
    os.set_blocking(fd, True)
    return fd, found.st_size


def _serve(request: dict, fds: list[int]) -> tuple[str, list[int]]:
    """What to add to the answer to ``request``, and the descriptors to send with it."""
    if "run" in request:
        stdio = [(os.POSIX_SPAWN_DUP2, fd, number) for number, fd in enumerate(fds)]
        pid = os.posix_spawnp("sh", ["sh", "-c", 'cd "$0" && exec "$@"', request["cwd"], *request["run"]],
                              request["env"], file_actions=stdio, setsid=True, setsigdef=ALL_SIGNALS,
                              setsigmask=())
        return f', "pid": {pid}', []
    if "signal" in request:
        try:
            (os.killpg if request["group"] else os.kill)(request["pid"], request["signal"])
        except ProcessLookupError:
            pass
        return "", []
    if "open" in request:
        fd, size = _open(request["open"], request["write"])
        return f', "size": {size}', [fd]
    os.makedirs(request["mkdir"], exist_ok=True)
    return "", []


def main() -> None:
    os.set_inheritable(int(sys.argv[1]), False)  # nothing the sandbox runs may speak for it
    ctypes.CDLL(None).prctl(4, 0)  # PR_SET_DUMPABLE: nor trace it, nor write its memory through /proc/1/mem
    channel = _socket.socket(fileno=int(sys.argv[1]))
    wake, woken = os.pipe()
    os.set_blocking(woken, False)
    _signal.set_wakeup_fd(woken)
    _signal.signal(_signal.SIGCHLD, lambda *_: None)
    # PID 1: the kernel keeps from it every signal sent inside the sandbox that it has no handler for
    # (Python's own SIGINT handler dropped for that), so nothing there ends the sandbox by a signal.
    _signal.signal(_signal.SIGINT, _signal.SIG_DFL)
    ready = b'{"ready": true}'
    if sys.argv[2:] == ["first"]:  # started beside a first process, now its parent
        with open(f"/proc/self/task/{os.getpid()}/children") as children:
            ready = f'{{"ready": true, "first": {int(children.read().split()[0])}}}'.encode()
    channel.send(ready)
    # poll, not select: the stand-in's descriptor numbers, this socket's among them, may pass 1,023.
    watched = select.poll()
    for fd in (channel.fileno(), wake):
        watched.register(fd, select.POLLIN)
    while True:
        readable = {fd for fd, _ in watched.poll()}
        if wake in readable:
            os.read(wake, 512)
            while True:
                try:
                    pid, status = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    break
                if not pid:
                    break
                channel.send(f'{{"exited": {pid}, "code": {os.waitstatus_to_exitcode(status)}}}'.encode())
        if channel.fileno() in readable:
            message, ancillary, _, _ = channel.recvmsg(1 << 20, _socket.CMSG_LEN(_FDS))
            if not message:
                os._exit(0)
            fds = array.array("i")
            for level, kind, data in ancillary:
                if (level, kind) == (_socket.SOL_SOCKET, _socket.SCM_RIGHTS):
                    fds.frombytes(data[: len(data) - len(data) % fds.itemsize])
            for fd in fds:
                os.set_inheritable(fd, False)
            request = marshal.loads(message)
            try:
                answer, given = _serve(request, list(fds))
            except Exception as exc:  # a bad request fails alone: ending here would end the sandbox
                answer, given = f', "error": {getattr(exc, "errno", None) or errno.EINVAL}', []
            finally:
                for fd in fds:
                    os.close(fd)
            reply = f'{{"id": {request["id"]}{answer}}}'.encode()
            channel.sendmsg([reply], [(_socket.SOL_SOCKET, _socket.SCM_RIGHTS, array.array("i", given))] if given else [])
            for fd in given:
                os.close(fd)


if __name__ == "__main__":
    main()
