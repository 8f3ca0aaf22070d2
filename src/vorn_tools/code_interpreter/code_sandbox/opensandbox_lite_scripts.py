"""In-sandbox programs behind OpenSandboxLite: the IPython interpreter daemon and its relay client.

The daemon is written into the sandbox at creation; the relay travels on the
command line of every call (``python3 -c``). Both run on the image's own
``python3``. Every file they keep derives from the path prefix given as their
first argument, so host and sandbox share no other constant.
"""

# The relays' files (pid file, its temporary, lock, log), kept alike by the daemon and the relay.
# A cell may have made any of them a FIFO, whose opening blocks, or a link to /dev/zero: they
# are opened without blocking or following a link, used only as regular files, and the pid file
# is read a few bytes at most.
_RELAY_FILES = r'''def open_regular(path, flags):
    """A descriptor on the regular file at ``path`` (opened with ``flags``), or None."""
    try:
        fd = posix.open(path, flags | posix.O_NONBLOCK | posix.O_NOFOLLOW | posix.O_CLOEXEC, 0o666)
    except OSError:
        return None
    if posix.fstat(fd).st_mode & 0o170000 != 0o100000:
        posix.close(fd)
        return None
    posix.set_blocking(fd, True)
    return fd


def own_file(path, flags):
    """A descriptor on the regular file at ``path``, made anew where anything else is there."""
    fd = open_regular(path, flags | posix.O_CREAT)
    if fd is None:
        move_aside(path)
        fd = posix.open(path, flags | posix.O_CREAT | posix.O_EXCL | posix.O_NOFOLLOW | posix.O_CLOEXEC, 0o666)
    return fd


def move_aside(path):
    """Take whatever is at ``path`` out of the way, a directory full of files too, or exit saying why not."""
    try:
        posix.rename(path, "%s.aside-%s" % (path, posix.urandom(6).hex()))
    except FileNotFoundError:
        pass
    except OSError as e:
        # Another user's file in a sticky directory: neither moved nor removed but by its owner.
        raise SystemExit("OpenSandboxLite: %s is in the way of the interpreter's files and cannot be moved (%s): "
                         "remove it as its owner, or terminate the sandbox" % (path, e.strerror))


def read_record(path):
    """The pid the record at ``path`` names, or None (no regular file, or no pid in it)."""
    fd = open_regular(path, posix.O_RDONLY)
    if fd is None:
        return None
    try:
        pid = int(posix.read(fd, 32))
    except (OSError, ValueError):
        return None
    finally:
        posix.close(fd)
    return pid if pid > 0 else None


def write_record(path, pid):
    """Name ``pid`` in the record at ``path``, replacing it at once (the relays' lock held)."""
    with open(own_file(path + ".tmp", posix.O_WRONLY | posix.O_TRUNC), "w") as f:
        f.write(str(pid))
    try:
        posix.replace(path + ".tmp", path)
    except OSError:  # a directory there, say
        move_aside(path)
        posix.replace(path + ".tmp", path)


def lock_relays(path):
    """The relays' lock at ``path``, taken; held until the file it gives is closed."""
    import fcntl

    lock = open(own_file(path, posix.O_RDONLY), "rb")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock
'''

DAEMON_SOURCE = r'''"""OpenSandboxLite interpreter. usage: python3 -u <this file> <prefix> [fresh]"""
import os
import sys

# Python puts the directory of this file first on the path, and cells write
# there: a cell's queue.py or json.py would stop every later daemon from
# starting. The daemon's own imports skip that directory; cells get the path
# back as Python gave it (see the end of start-up).
HOME = os.path.realpath(os.path.dirname(os.path.abspath(__file__)))
CELL_PATH = list(sys.path)
sys.path[:] = [entry for entry in CELL_PATH if os.path.realpath(entry or os.curdir) != HOME]

import builtins
import errno
import fcntl
import getpass
import io
import json
import posix
import queue
import select
import signal
import socket
import stat
import threading
import time
from json.encoder import encode_basestring_ascii as quote

PREFIX = sys.argv[1]
SOCK = PREFIX + ".sock"
DAEMON_PID = os.getpid()
# Taken first, while descriptor 2 is still the log: it survives the capture of 2.
LOG_FD = os.dup(2)
# A cell's marker is this head, a token drawn once the cell has ended and this
# tail: output the cell wrote cannot hold it, so it can neither end its own
# output early nor move later output onto another cell.
MARK_HEAD = b"\x00\x1fZIB_LITE_MARK"
MARK_TAIL = b"\x1f\x00"
# A pump that relays nothing for this long after its cell ended is given up on.
STREAM_GRACE = 5.0
REQUEST_TIMEOUT = 10.0
GO = b"go\n"
# How often the accepting thread checks that the socket path still leads to it.
LISTEN_CHECK = 0.05

report = {}
current = None
sockets = set()  # the listener and every open connection: what a forked child lets go of
listener = None  # the socket listening at SOCK
listener_file = None  # (device, inode) of the file that names it
not_listening = None  # why the last attempt to listen again failed, logged once
left_alone = None  # (device, inode) of another daemon's socket file at the path: not probed again
let_go_done = False
current_cell = 0
given_up = 0  # the last cell whose output stalled past the grace
conn_lock = threading.Lock()
# Held while connections are accepted, while descriptors 1 and 2 are put back, and across a fork.
fd_lock = threading.Lock()
in_cell = threading.Event()
# Released by the main thread, taken by the accepting thread: a semaphore, not a lock.
busy = threading.Semaphore(1)
holding = False  # whether the request being served still holds busy
work = queue.Queue()
# Connections of cells for the watching thread, and its word that it let go of one.
watched = queue.Queue()
unwatched = threading.Event()
# Pump reads and pieces of frames the relay took: what the drain counts as output moving.
flow = threading.Condition()
moves = 0
# Launched in place of an interpreter whose state is gone: the first report
# that reaches a relay says so, even when the relay that launched it is gone.
fresh = sys.argv[2:3] == ["fresh"]


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def log(message):
    write_all(LOG_FD, (message + "\n").encode("utf-8", "replace"))


def text_of(value):
    try:
        return str(value)
    except Exception:
        return "<unprintable %s>" % type(value).__name__


os.environ.setdefault("MPLBACKEND", "module://matplotlib_inline.backend_inline")

from IPython.core.error import StdinNotImplementedError
from IPython.core.interactiveshell import InteractiveShell
from traitlets.config import Config

# History kept in memory: with a history file, IPython writes it from a thread
# of its own after every cell, and that thread's files could take a standard
# descriptor that a cell closed just as the daemon puts it back.
history = Config()
history.HistoryManager.hist_file = ":memory:"
shell = InteractiveShell.instance(config=history)
shell.colors = "NoColor"
try:
    from ipykernel.compiler import XCachingCompiler
except Exception:
    pass
else:
    shell.compile = XCachingCompiler()
shell.system = shell.system_piped
# What the shell loads on first use, loaded now, while the path skips the
# directory cells write to: the name it gives every cell (hashlib), top-level
# await (asyncio), shell escapes (pexpect) and the traceback it keeps of every
# error (stack_data).
for name in ("hashlib", "asyncio", "pexpect", "stack_data"):
    try:
        __import__(name)
    except Exception:
        pass


def no_stdin(*args, **kwargs):
    raise StdinNotImplementedError("raw_input was called, but this frontend does not support input requests.")


def no_getpass(*args, **kwargs):
    raise StdinNotImplementedError("getpass was called, but this frontend does not support input requests.")


builtins.input = no_stdin
getpass.getpass = no_getpass
shell.display_pub.publish = lambda *args, **kwargs: None


def write_format_data(data, metadata=None):
    report["result"] = data.get("text/plain", "")


shell.displayhook.write_output_prompt = lambda: None
shell.displayhook.finish_displayhook = lambda: None
shell.displayhook.write_format_data = write_format_data


def record_error(exc_tuple=None, *args, **kwargs):
    etype, value = (exc_tuple or sys.exc_info())[:2]
    if etype is not None:
        report["error"] = {"name": etype.__name__, "value": text_of(value)}


shell.showtraceback = record_error
shell.showsyntaxerror = lambda *args, **kwargs: record_error()


class OutStream(io.TextIOBase):
    """Text-only stand-in for sys.stdout/sys.stderr: no byte buffer, as in a Jupyter kernel."""

    def __init__(self, stream):
        self._stream = stream

    @property
    def encoding(self):
        return self._stream.encoding

    def writable(self):
        return True

    def write(self, text):
        return self._stream.write(text)

    def flush(self):
        self._stream.flush()

    def fileno(self):
        return self._stream.fileno()


def moved():
    global moves
    with flow:
        moves += 1


def push(conn, data):
    """Write all of ``data``; False when the relay is gone.

    Written piece by piece as the reader makes room, each piece counting as
    progress: a pump waiting on a slow reader that still reads is not stuck.
    """
    view = memoryview(data)
    waiter = None
    try:
        while view:
            try:
                sent = conn.send(view, socket.MSG_DONTWAIT)
            except BlockingIOError:
                if waiter is None:
                    waiter = select.poll()
                    waiter.register(conn, select.POLLOUT)
                waiter.poll()
                continue
            view = view[sent:]
            moved()
    except OSError:
        return False
    return True


def send(kind, lines, cell):
    """Relay output lines of ``cell`` as one "out" or "err" frame each, a few kilobytes per write."""
    head = '{"t": "' + kind + '", "d": '
    frames = [head + quote(line) + "}\n" for line in lines]
    start = 0
    while start < len(frames):
        end, size = start + 1, len(frames[start])
        while end < len(frames) and size + len(frames[end]) <= 16384:
            size += len(frames[end])
            end += 1
        with conn_lock:
            # Output counted against an earlier cell (its pump stalled past the grace),
            # or against a cell given up on, is not passed off as output of the cell
            # being served now; once given up on, a cell's output stops at the next write.
            if current is None or cell != current_cell or cell == given_up:
                for line in lines[start:end]:
                    log("[" + kind + " between cells] " + line.rstrip("\n"))
            else:
                push(current, "".join(frames[start:end]).encode("ascii"))
        start = end


class Pump(threading.Thread):
    """Relays one captured descriptor line by line; each cell's marker ends its output.

    A relayed line keeps its line feed, so the host can tell a printed line from
    text the cell wrote without one and rebuild the output exactly as printed.
    Every byte is searched once for a line feed and once for the awaited marker,
    so a line of any length costs time in proportion to its size.
    """

    def __init__(self, fd, kind):
        super().__init__(daemon=True)
        read_fd, write_fd = os.pipe()
        os.dup2(write_fd, fd)
        self.fd = fd
        # The daemon's own way into the pipe (close-on-exec): markers go through
        # it whatever a cell did to its descriptor.
        self.write_fd = write_fd
        self.read_fd = read_fd
        self.kind = kind
        self.buf = bytearray()
        self.marks = 0  # cells whose output has passed
        self.markers = {}  # cell number -> its marker, from the moment it ended

    def emit(self, raw):
        """Relay ``raw``, whole lines and at most one last line without its line feed."""
        if raw:
            lines = raw.decode("utf-8", "replace").split("\n")
            last = lines.pop()
            lines = [line + "\n" for line in lines]
            if last:
                lines.append(last)
            send(self.kind, lines, self.marks + 1)

    def run(self):
        buf = self.buf
        line_from = mark_from = 0  # nothing before these offsets can start a line feed / the marker
        awaited = None
        short = 0  # reads in a row that emptied the pipe
        while True:
            chunk = os.read(self.read_fd, 65536)
            if not chunk:
                return
            moved()
            short = short + 1 if len(chunk) < 65536 else 0
            buf += chunk
            pos = 0
            while True:
                marker = self.markers.get(self.marks + 1)
                if marker is not awaited:
                    awaited, mark_from = marker, pos
                mark = -1 if marker is None else buf.find(marker, max(mark_from, pos))
                if mark == -1:
                    # Every whole line so far, in one go.
                    newline = buf.rfind(b"\n", max(line_from, pos))
                    if newline != -1:
                        self.emit(buf[pos:newline + 1])
                        pos = newline + 1
                    break
                self.emit(buf[pos:mark])
                pos = mark + len(marker)
                short = 0
                with flow:
                    self.marks += 1
                    del self.markers[self.marks]
                    flow.notify_all()
            line_from = len(buf) - pos
            if marker is not None:
                mark_from = max(0, len(buf) - len(marker) + 1 - pos)
            del buf[:pos]
            if short > 1:
                # A cell printing line after line: let its output gather for a
                # moment rather than take it one line per read, which costs the
                # cell more in thread switches than the printing itself.
                time.sleep(0.001)


def drain(cell):
    """Wait for both pumps to pass ``cell``'s marker; the kinds given up on.

    A pump is given up on only when nothing at all moved for the whole grace.
    """
    with flow:
        seen = moves
        while any(pump.marks < cell for pump in pumps):
            if not flow.wait(STREAM_GRACE) and moves == seen:
                break
            seen = moves
    return [pump.kind for pump in pumps if pump.marks < cell]


def reply(conn, frame):
    push(conn, (json.dumps(frame) + "\n").encode("utf-8"))
    close(conn)


def close(conn):
    sockets.discard(conn)
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        conn.close()
    except OSError:
        pass


def on_sigint(signum, frame):
    if in_cell.is_set():
        raise KeyboardInterrupt


def watch():
    """Interrupt the cell whose relay is gone, for one connection after another.

    The relay sends nothing after its word to start the cell: an end of stream is its death.
    """
    while True:
        conn = watched.get()
        try:
            data = conn.recv(1)
        except OSError:
            data = b""
        if not data and in_cell.is_set():
            os.kill(os.getpid(), signal.SIGINT)
        unwatched.set()


def restore_std():
    """Point descriptors 1 and 2 at the pumps again, whatever a cell did to them."""
    with fd_lock:
        for pump in pumps:
            for attempt in range(1000):
                try:
                    os.dup2(pump.write_fd, pump.fd)
                    break
                except OSError as exc:
                    # EBUSY: a thread the cell left running is opening a file onto
                    # this free descriptor right now; the kernel settles it at once.
                    if exc.errno != errno.EBUSY or attempt == 999:
                        raise
                    time.sleep(0.001)


def free():
    """Let the next request in (once per request)."""
    global holding
    if holding:
        holding = False
        busy.release()


def checked_report():
    """The report as sent; ValueError when the cell changed it into something else."""
    sent = {}
    for key, value in report.items():
        if key == "result" and type(value) is str:
            sent[key] = value
        elif (key == "error" and type(value) is dict and sorted(value) == ["name", "value"]
              and all(type(part) is str for part in value.values())):
            sent[key] = dict(value)
        else:
            raise ValueError("the cell changed the interpreter's report: %r is not a report entry" % (key,))
    return sent


def serve_cell(conn, path, token):
    global current, current_cell, fresh, given_up
    if type(path) is not str:
        raise ValueError("the cell path is not a string")
    with open(path, encoding="utf-8") as f:
        code = f.read()
    try:
        os.remove(path)
    except OSError:
        pass
    report.clear()
    restore_std()
    # The relay's evidence that its cell, and no other, holds the interpreter now. The cell
    # starts only on the relay's word that it passed that on: a relay gone before (stopped at
    # its limit while the request sat in the queue) has told its caller that the code did not
    # run, and it never does.
    if not (push(conn, b'{"t": "took"}\n') and go_ahead(conn)):
        raise ConnectionError("the relay was gone before its cell started; the cell did not run")
    with conn_lock:
        current_cell += 1
        cell = current_cell
        current = conn
    signal.signal(signal.SIGINT, on_sigint)
    unwatched.clear()
    try:
        in_cell.set()
        watched.put(conn)
        result = shell.run_cell(code, store_history=True)
        in_cell.clear()
        error = result.error_before_exec or result.error_in_exec
        if error is not None and "error" not in report:
            report["error"] = {"name": type(error).__name__, "value": text_of(error)}
    except KeyboardInterrupt:
        if "error" not in report:
            report["error"] = {"name": "KeyboardInterrupt", "value": ""}
    finally:
        in_cell.clear()
        if os.getpid() != DAEMON_PID:
            # A process the cell forked came back from the cell: it is no interpreter, so it ends here.
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except Exception:
                    pass
            os._exit(0)
    try:
        # At once, so that the next connection never lands on a descriptor the cell freed.
        restore_std()
        # Before "done": the call that follows this one must find the socket the cell removed.
        relisten()
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:
                pass
        # Drawn only now: the cell never had a chance to see it.
        marker = MARK_HEAD + os.urandom(16).hex().encode() + MARK_TAIL
        for pump in pumps:
            pump.markers[cell] = marker
            write_all(pump.write_fd, marker)
        lost = drain(cell)
        if lost:
            given_up = cell
        done = {"t": "done", "report": checked_report()}
        if lost:
            done["report"]["lost"] = lost
            log("output stalled after the cell ended; dropping the rest of " + " and ".join(lost))
        if type(token) is str:
            done["token"] = token
        if fresh:
            done["fresh"] = True
        data = (json.dumps(done) + "\n").encode("utf-8")
        free()
        with conn_lock:
            # One hold: no frame of this cell can follow its "done".
            if push(conn, data):
                fresh = False
            current = None
    finally:
        with conn_lock:
            current = None
        close(conn)
        # A stale end of stream from this connection must never interrupt the next cell.
        unwatched.wait(1.0)


def go_ahead(conn):
    """Whether the relay sent its word to start the cell; its end of stream is its death."""
    conn.settimeout(REQUEST_TIMEOUT)
    try:
        return conn.recv(len(GO), socket.MSG_WAITALL) == GO
    except OSError:
        return False
    finally:
        conn.settimeout(None)


def read_request(conn):
    conn.settimeout(REQUEST_TIMEOUT)
    data = b""
    while not data.endswith(b"\n"):
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    conn.settimeout(None)
    request = json.loads(data) if data.strip() else {}
    if type(request) is not dict:
        raise ValueError("the request is not a JSON object")
    return request


def handle(conn):
    try:
        request = read_request(conn)
        if request.get("ping") is True:
            reply(conn, {"t": "pong"})
        elif "path" in request:
            serve_cell(conn, request["path"], request.get("token"))
        else:
            close(conn)
    except Exception as exc:
        log("request failed: " + repr(exc))
        close(conn)


def take(server):
    """Accept one connection from ``server`` and queue it or answer "busy"; False when none waits."""
    with fd_lock:
        try:
            conn, _ = server.accept()
        except BlockingIOError:
            return False
        if conn.fileno() <= 2:
            # A cell closed a standard descriptor and the connection got it:
            # move it, so that putting the descriptor back cannot close it.
            fd = fcntl.fcntl(conn.fileno(), fcntl.F_DUPFD_CLOEXEC, 3)
            conn.close()
            conn = socket.socket(fileno=fd)
        sockets.add(conn)
    conn.setblocking(True)
    if busy.acquire(blocking=False):
        work.put(conn)
    else:
        reply(conn, {"t": "busy"})
    return True


def accept():
    """Serve the listener; follow it when it is replaced, draining the old one's queue first."""
    waiter = select.poll()
    served = listener
    waiter.register(served, select.POLLIN)
    while True:
        if waiter.poll(LISTEN_CHECK * 1000):
            take(served)
        relisten()
        if listener is not served:
            # Nobody can reach the old one any more: what sits in its queue is all it will get.
            while take(served):
                pass
            waiter.unregister(served)
            with fd_lock:
                close(served)
            served = listener
            waiter.register(served, select.POLLIN)


def listen():
    """Listen at the socket path, replacing whatever file is there (fd_lock held)."""
    global listener, listener_file
    if os.path.lexists(SOCK):
        os.remove(SOCK)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        server.bind(SOCK)
        server.listen(16)
        server.setblocking(False)
        named = os.stat(SOCK)
    except BaseException:
        server.close()
        raise
    sockets.add(server)
    listener, listener_file = server, (named.st_dev, named.st_ino)


__RELAY_FILES__

def recorded():
    """The pid the pid file names (the relays record each daemon they launch), or None."""
    return read_record(PREFIX + ".pid")


def other_daemon():
    """Whether the relays recorded another live daemon of this prefix: this one makes way for it.

    Only the record tells: a process a cell forked runs the daemon's command line
    too, may lead a session of its own and listen at the path, yet the relays never
    launched it, and it is never made way for. Whether the recorded one listens yet
    does not matter: it is starting, or its queue is full.
    """
    pid = recorded()
    if pid is None or pid == DAEMON_PID:
        return False
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    # The relay launches every daemon as: python3 -u <prefix>_daemon.py <prefix>, leading its own session.
    ours = argv[1:4] == [os.fsencode(arg) for arg in ("-u", PREFIX + "_daemon.py", PREFIX)]
    fields = stat_fields(pid)
    if not (ours and fields[2:4] == [str(pid)] * 2 and fields[0] != "Z") or forked_here(pid, fields):
        return False
    # Where sandboxes share one process list, a pid recorded long ago may name another sandbox's daemon.
    try:
        theirs, mine = os.stat("/proc/%d/root%s" % (pid, HOME)), os.stat(HOME)
    except PermissionError:
        return True  # cannot tell; its command line has matched
    except OSError:
        return False
    return (theirs.st_dev, theirs.st_ino) == (mine.st_dev, mine.st_ino)


def record():
    """Name this daemon in the pid file (relays' lock held): its launch ended before it was recorded."""
    if recorded() != DAEMON_PID:
        write_record(PREFIX + ".pid", DAEMON_PID)


def stat_fields(pid):
    """The fields of /proc/<pid>/stat after the command name (state, parent, group, session...)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            # The command name may hold anything, ")" included: the fields follow its last ")".
            return f.read().rsplit(")", 1)[-1].split()
    except OSError:
        return []


def forked_here(pid, fields):
    """Whether ``pid`` (its stat ``fields``) is this daemon or a process it forked, at any depth."""
    seen = set()
    while pid > 1 and pid not in seen:
        if pid == DAEMON_PID:
            return True
        seen.add(pid)
        pid = int(fields[1]) if len(fields) > 1 and fields[1].isdigit() else 0
        fields = stat_fields(pid)
    return False


def relisten():
    """Listen again when the socket path no longer names the listener (a cell removed or replaced it).

    A relay that cannot connect takes the daemon for wedged and replaces it,
    state and all; listening again first keeps the daemon, and its state,
    reachable. Only the daemon itself does this, never a process a cell forked.
    """
    global not_listening, left_alone
    try:
        named = os.stat(SOCK)
        if (named.st_dev, named.st_ino) in (listener_file, left_alone):
            return
    except OSError:
        pass
    if os.getpid() != DAEMON_PID:
        return
    with fd_lock:
        try:
            named = os.stat(SOCK)
        except OSError:
            named = None
        if named is not None and (named.st_dev, named.st_ino) == listener_file:
            return  # the other thread got there first
        try:
            if named is not None and stat.S_ISSOCK(named.st_mode) and other_daemon():
                left_alone = (named.st_dev, named.st_ino)
                raise OSError("the relays launched another interpreter since")
            listen()
        except OSError as exc:
            why = "cannot listen at %s again: %s" % (SOCK, exc)
            if why != not_listening:
                not_listening = why
                quiet_log(why)
            return
    not_listening = None
    quiet_log("listening again at " + SOCK)


def quiet_log(message):
    """Log from the accepting thread, which a cell that closed the log must not end."""
    try:
        log(message)
    except OSError:
        pass


def let_go():
    """In a process a cell forked: close the daemon's sockets and pipes.

    The child runs on the daemon's command line; holding the listener it would
    let connections queue that nobody serves, and holding a relay's connection
    it would hide the daemon's death from that relay. Once per process tree:
    in a fork of a fork these numbers may name the child's own files by now.
    """
    global let_go_done
    fd_lock.release()
    if let_go_done:
        return
    let_go_done = True
    for sock in list(sockets):
        try:
            sock.close()
        except OSError:
            pass
    for pump in pumps:
        for fd in (pump.read_fd, pump.write_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        # A child that goes back into the daemon's code must not write to whatever takes these numbers next.
        pump.read_fd = pump.write_fd = -1


pumps = [Pump(1, "out"), Pump(2, "err")]
for pump in pumps:
    pump.start()
sys.stdout = OutStream(sys.stdout)
sys.stderr = OutStream(sys.stderr)

# A daemon whose launch ended before its exec was done (past its bound, or its relay killed)
# starts late, when the next relay may have launched and recorded another: under the relays'
# lock, it makes way for that one, or records itself, so that no relay launches another.
with lock_relays(PREFIX + ".lock"):
    if other_daemon():
        log("the relays launched another interpreter (pid %d): this one ends" % recorded())
        os._exit(0)
    record()
    with fd_lock:
        listen()
# Held across a fork, so that no connection is accepted but not yet known to let_go.
os.register_at_fork(before=fd_lock.acquire, after_in_parent=fd_lock.release, after_in_child=let_go)
# Cells see the path as Python gave it, the directory of this file included.
sys.path[:] = CELL_PATH + [entry for entry in sys.path if entry not in CELL_PATH]
threading.Thread(target=accept, daemon=True).start()
threading.Thread(target=watch, daemon=True).start()
log("ready pid=%d" % os.getpid())

while True:
    try:
        conn = work.get()
        holding = True
        try:
            handle(conn)
        finally:
            free()
    except KeyboardInterrupt:
        # A SIGINT that raced the end of a cell.
        continue
'''.replace("__RELAY_FILES__", _RELAY_FILES, 1)

_CLIENT_RARE = r'''__RELAY_FILES__

def daemon_pid():
    return read_record(PID)


HAVE_PROC = posix.access("/proc/self/stat", posix.R_OK)
own_launch = None  # the daemon this relay launched (its Popen)


def alive(pid):
    """Whether ``pid`` is a live interpreter daemon of this sandbox (not a zombie, not a reused pid).

    The daemon leads the session it was launched in; a process a cell forked
    from it has its command line, but leads nothing, and is never taken for it.
    """
    if pid is None:
        return False
    if not HAVE_PROC:
        try:
            if posix.getsid(pid) != pid:
                return False
        except OSError:
            return False
        try:
            # A daemon this relay launched is its child: a dead one would pass as a zombie.
            if posix.waitpid(pid, posix.WNOHANG)[0] == pid:
                return False
        except ChildProcessError:
            pass
        try:
            posix.kill(pid, 0)
        except OSError:
            return False
        return True
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    if argv[1:4] != [b"-u", DAEMON.encode("utf-8"), PREFIX.encode("utf-8")]:
        return False
    fields = stat_fields(pid)
    # State, parent, process group, session.
    leader = len(fields) > 3 and fields[2] == fields[3] == str(pid)
    return leader and fields[0] != "Z" and same_sandbox(pid)


def stat_fields(pid):
    """The fields of /proc/<pid>/stat after the command name (state first); [] when unreadable."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return []
    # The command name may hold anything, ")" included: the fields follow its last ")".
    return stat.rsplit(")", 1)[1].split() if ")" in stat else []


def same_sandbox(pid):
    """Whether ``pid`` sees the directory of this relay's files as this relay does.

    Where sandboxes share one process list, the same program path names a daemon
    in each of them; only the one that sees the same directory is this sandbox's.
    """
    home = PREFIX.rpartition("/")[0] or "/"
    try:
        theirs = posix.stat("/proc/%d/root%s" % (pid, home))
    except PermissionError:
        return True  # cannot tell; its command line has matched
    except OSError:
        return False
    mine = posix.stat(home)
    return (theirs.st_dev, theirs.st_ino) == (mine.st_dev, mine.st_ino)


def find_daemon():
    """The pid of this sandbox's live daemon, or None.

    The pid file names it; when the file is gone or stale (a cell cleaned up
    the directory), the daemon is looked for in the process list by its
    command line, so a relay never launches a second one beside it. Found
    there, it must also listen: a process a cell forked and made a session
    leader of its own looks like a daemon in every other way.
    """
    pid = daemon_pid()
    if alive(pid):
        return pid
    # A record of this relay's own launch, still in its exec, is that daemon starting. Any
    # other record of no live daemon tells nothing (a cell may have written an exited
    # process's pid as well as a live stranger's): the daemon is looked for. A process a cell
    # forked from a daemon may lead a session of its own and listen at the path as well; it
    # runs only the thread that forked it, where a daemon relays its output with threads.
    if not HAVE_PROC or pid is not None and in_exec() and pid == own_launch.pid:
        return None
    found = [int(name) for name in posix.listdir("/proc")
             if name.isdigit() and int(name) != pid and alive(int(name)) and threaded(int(name))
             and listening(int(name))]  # fmt: skip
    return max(found, key=started_at) if found else None


def threaded(pid):
    """Whether ``pid`` runs more than one thread."""
    fields = stat_fields(pid)
    return len(fields) > 17 and fields[17].isdigit() and int(fields[17]) > 1


def started_at(pid):
    fields = stat_fields(pid)
    return int(fields[19]) if len(fields) > 19 and fields[19].isdigit() else 0


def listening(pid):
    """Whether the daemon ``pid`` holds a socket listening at the socket path: its start-up is over."""
    inodes = set()
    try:
        for fd in posix.listdir("/proc/%d/fd" % pid):
            try:
                link = posix.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if link.startswith("socket:["):
                inodes.add(link[8:-1])
        # The kernel hands the table out a page per read and goes on where its count left off,
        # so a row can slip between two pages while other sockets come and go: one not found
        # is looked for again.
        for _ in range(3 if inodes else 0):
            with open("/proc/net/unix") as f:
                for line in f:
                    # Num RefCount Protocol Flags Type St Inode Path; flag 0x10000 marks a listener.
                    # A removed socket file still shows its path here.
                    fields = line.split()
                    if len(fields) == 8 and fields[6] in inodes and fields[7] == SOCK and int(fields[3], 16) & 0x10000:
                        return True
    except (OSError, ValueError):
        pass
    return False


def past_startup(pid):
    """Whether the live daemon ``pid`` is past its start-up: it listens.

    A connection that fails after this said yes has found its socket file gone;
    one that failed before may only have come too early.
    """
    return listening(pid) if HAVE_PROC else not starting()


def launch(fresh):
    global own_launch
    import subprocess

    log = open(own_file(LOG, posix.O_WRONLY | posix.O_APPEND), "ab")
    try:
        child = subprocess.Popen(
            [sys.executable, "-u", DAEMON, PREFIX] + (["fresh"] if fresh else []),
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
            start_new_session=True,
        )
    finally:
        log.close()
    own_launch = child
    # Popen returns once the child is past the point of no return of its exec, yet
    # before the kernel shows its command line: until then alive() takes it for dead,
    # and the next relay to take the lock would launch a second daemon. It is recorded
    # once its command line shows (or it ended, or an exec that took far too long: the
    # daemon, once it starts, makes way for one that listens by then).
    started = time.monotonic()
    while not alive(child.pid) and child.poll() is None and time.monotonic() - started < EXEC_BOUND:
        time.sleep(0.001)
    write_record(PID, child.pid)


def ensure_daemon(fresh=False):
    """Launch a daemon unless a live one exists; True when this call launched it.

    Check and launch happen under a file lock, so relays that find the daemon dead
    at the same time start one daemon between them, never two. A fresh daemon
    replaces one whose state is gone: the first report that reaches a relay says
    so, whether or not the relay that launched it lived to tell.
    """
    with lock_relays(LOCK):
        if find_daemon() is not None:
            return False
        launch(fresh)
        return True


def stop(pid):
    """Kill the process group of daemon ``pid`` (what its cells started too); True once it is gone.

    It leads its own session, so the group is its own. Waits at most 2 s.
    """
    import signal

    try:
        posix.killpg(pid, signal.SIGKILL)
    except OSError:
        pass
    started = time.monotonic()
    while alive(pid) and time.monotonic() - started < 2.0:
        time.sleep(0.02)
    return not alive(pid)


def replace(pid):
    """Stop daemon ``pid``, which no relay can reach, and launch a fresh one; None, or why not."""
    with lock_relays(LOCK):
        if find_daemon() != pid:
            return None  # another relay got there first
        if not posix.access(DAEMON, posix.R_OK):
            return "its program " + DAEMON + " is gone too, so no other interpreter can start"
        if not stop(pid):
            return "it could not be stopped"
        launch(True)
    return None


def starting():
    """Whether the recorded daemon was launched recently enough to be still starting up."""
    try:
        return time.time() - posix.stat(PID).st_mtime < STARTUP_TIMEOUT
    except OSError:
        return False


def in_exec():
    """Whether the daemon this relay launched is still in its exec (its command line not showing)."""
    return own_launch is not None and own_launch.poll() is None and not alive(own_launch.pid)


def not_started():
    """Why no interpreter came up: the tail of its log, or, when that says nothing, what the relay saw."""
    return log_tail() or "no interpreter listened within %g seconds" % STARTUP_TIMEOUT


def not_taken(nonce, cell_path):
    """Fail the run whose cell no interpreter took within the start-up budget."""
    tail = log_tail()
    failed(nonce, cell_path, "no interpreter took the code within %g seconds" % STARTUP_TIMEOUT
           + ("\n" + tail if tail else ""))


def log_tail():
    fd = open_regular(LOG, posix.O_RDONLY)
    if fd is None:
        return ""
    try:
        with open(fd, encoding="utf-8", errors="replace") as f:
            return f.read()[-LOG_TAIL_CHARS:].strip()
    except OSError:
        return ""


def peer(sock):
    """The pid of the daemon that ``sock`` reached; the pid file may name a newer one by now."""
    import _socket

    try:
        creds = sock.getsockopt(_socket.SOL_SOCKET, _socket.SO_PEERCRED, 12)
    except (AttributeError, OSError):
        return daemon_pid()
    return int.from_bytes(creds[:4], sys.byteorder) or daemon_pid()


def foreign(sock):
    """Whether the process that listened where ``sock`` connected is not the daemon the relays launched.

    That daemon may be starting yet, or there may be none (one is launched then). Needs /proc.
    """
    if not HAVE_PROC:
        return False
    pid = peer(sock)
    return pid != find_daemon()


def await_daemon(nonce, cell_path, deadline):
    """Wait until the daemon the relays launched listens, launching one if none lives; True when this launched it."""
    launched = False
    while True:
        pid = find_daemon()
        if pid is None and not (launched and in_exec()):
            if launched:
                failed(nonce, cell_path, not_started())
            launched = ensure_daemon(fresh=True)
        elif pid is not None and listening(pid):
            return launched
        if time.monotonic() > deadline:
            failed(nonce, cell_path, not_started())
        time.sleep(0.01)


def probe():
    """The daemon's answer to a ping: "pong", "busy", "absent" when nothing listens, or None."""
    sock = socket(AF_UNIX, SOCK_STREAM)
    sock.settimeout(1.0)
    try:
        try:
            sock.connect(SOCK)
        except (FileNotFoundError, ConnectionRefusedError):
            return "absent"
        sock.sendall(b'{"ping": true}\n')
        frame = parse(next(lines(sock), [b""])[0])
        return frame.get("t") if type(frame) is dict else None
    except (OSError, ValueError):
        return None
    finally:
        sock.close()


def answer(restarted):
    write_all(1, b'{"restarted": true}\n' if restarted else b'{"restarted": false}\n')
    posix._exit(0)


def relay_running():
    """Whether a relay "run" of this sandbox is alive: a call, of whichever client, still waits on its cell."""
    if not HAVE_PROC:
        return False
    me = posix.getpid()
    for name in posix.listdir("/proc"):
        if not name.isdigit() or int(name) == me:
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if argv[4:5] == [b"-c"] and argv[6:8] == [PREFIX.encode("utf-8"), b"run"] and same_sandbox(int(name)):
            return True
    return False


def settle(grace, orphan=False):
    deadline = time.monotonic() + grace
    lost_at = None  # when the listening daemon was first found out of reach
    listened = None  # the daemon, once it was seen listening
    while time.monotonic() < deadline:
        pid = find_daemon()
        if pid is None:
            ensure_daemon(fresh=True)
            answer(True)
        state = probe()
        if state == "pong":
            answer(False)
        if state == "busy" and orphan and relay_running():
            # Settling a cell nobody waits on: one that a live relay waits on is
            # another client's running call, not an orphan, and is left to it.
            answer(False)
        if state == "absent" and (pid == listened or past_startup(pid)):
            listened = pid
            # It listens, so its socket file is gone; it listens again soon, or is wedged.
            lost_at = lost_at or time.monotonic()
            if time.monotonic() - lost_at >= REACH_GRACE:
                answer(replace(pid) is None)
        else:
            # Not listening yet: starting up, or killed a moment ago and still looking
            # alive; looked at again until it answers or is gone.
            lost_at = None
        time.sleep(0.05)
    if orphan and relay_running():
        answer(False)
    pid = find_daemon()
    if pid is not None and pid != listened and not past_startup(pid):
        # Still starting up: it has run no cell, so there is nothing to stop; killing
        # it would only make the next call wait for a start-up again.
        answer(False)
    if pid is not None:
        stop(pid)
    # Fresh too: a settle in the background has nobody to give its answer to.
    ensure_daemon(fresh=True)
    # Restarted only when the old interpreter is really gone.
    answer(not alive(pid))
'''.replace("__RELAY_FILES__", _RELAY_FILES, 1)

CLIENT_SOURCE = r'''"""OpenSandboxLite relay client. usage (the host passes this text with -c):
python3 -I -S -u -c <this text> <prefix> launch
python3 -I -S -u -c <this text> <prefix> run <cell_path> <nonce> [<cell code, written to cell_path first>]
python3 -I -S -u -c <this text> <prefix> settle <grace_seconds> [orphan]
run exits 0 (ok), 1 (the cell raised), 3 (interpreter failed to start), 4 (busy),
5 (interpreter died mid-cell) or 6 (interpreter dropped the cell).
"""
import sys

# Started once per call, so it imports only what every call needs: no site,
# posix rather than os, no json or subprocess; launching and settling import
# theirs when they run. Its own directory is writable by cells: nothing may be
# imported from there.
if not (sys.flags.isolated or getattr(sys.flags, "safe_path", False)):
    del sys.path[0]

import posix
import time
from _socket import AF_UNIX, MSG_PEEK, SOCK_STREAM, socket
from _socket import timeout as SocketTimeout

try:
    from _json import encode_basestring_ascii as quote, make_scanner
except ImportError:  # an interpreter without the accelerator
    from json.decoder import JSONDecoder
    from json.encoder import encode_basestring_ascii as quote

    scan = JSONDecoder().scan_once
else:

    class Strict:
        strict = True
        object_hook = object_pairs_hook = None
        parse_float = float
        parse_int = int

        def parse_constant(name):
            raise ValueError("not JSON: " + name)

    scan = make_scanner(Strict)

PREFIX = sys.argv[1]
DAEMON = PREFIX + "_daemon.py"
SOCK = PREFIX + ".sock"
PID = PREFIX + ".pid"
LOG = PREFIX + ".log"
LOCK = PREFIX + ".lock"
STARTUP_TIMEOUT = 60.0
ANSWER_FLOOR = 5.0
# A daemon listens again within a fraction of this once a cell removed its socket
# file; one seen listening that stays out of reach this long is wedged.
REACH_GRACE = 2.0
# How long a launch waits for the daemon's command line to show: an exec takes milliseconds.
EXEC_BOUND = 2.0
# How long a connection may stay unanswered before the relay asks who holds it.
FOREIGN_CHECK = 1.0
LOG_TAIL_CHARS = 2000
REPORT_MARK = "ZIB_LITE_REPORT:"
RARE = __RARE__  # the source of the rare paths, set by the host


def parse(data):
    """The one JSON value ``data`` (UTF-8 bytes) holds; ValueError for anything else."""
    text = data.decode("utf-8")
    try:
        value, end = scan(text, 0)
    except (StopIteration, RecursionError):
        raise ValueError("not JSON") from None
    if end != len(text):
        raise ValueError("more than one JSON value")
    return value


def dumps(value):
    """JSON text as the json module writes it by default, for the payloads printed here."""
    if type(value) is str:
        return quote(value)
    if type(value) is bool:
        return "true" if value else "false"
    if type(value) is list:
        return "[" + ", ".join(map(dumps, value)) + "]"
    return "{" + ", ".join(quote(key) + ": " + dumps(item) for key, item in value.items()) + "}"


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[posix.write(fd, view):]


def rare():
    # Launching, settling and a dead daemon are rare: their code is compiled only
    # when a relay gets there, which keeps the start-up of every call short.
    if "alive" not in globals():
        exec(compile(RARE, "<relay>", "exec"), globals())


def discard(cell_path):
    """Remove the cell file; True when this removed it, so no daemon will ever run it."""
    try:
        posix.remove(cell_path)
    except OSError:
        return False
    return True


def finish(nonce, payload, code):
    write_all(2, (REPORT_MARK + nonce + ":" + dumps(payload) + "\n").encode())
    posix._exit(code)


def connect(nonce, cell_path, deadline):
    # The cell has not run yet, so starting a fresh interpreter for it runs nothing twice.
    restarted = False
    launched = False
    listened = None  # the daemon, once it was seen listening
    lost_at = None  # when that daemon was first found out of reach
    while True:
        sock = socket(AF_UNIX, SOCK_STREAM)
        try:
            sock.connect(SOCK)
            return sock, restarted
        except (FileNotFoundError, ConnectionRefusedError):
            sock.close()
        rare()
        pid = find_daemon()
        # One this relay launched whose exec outlasts the launch's bound shows no command line
        # yet: it is waited for, within the start-up budget.
        if pid is None and not (launched and in_exec()):
            if launched:
                failed(nonce, cell_path, not_started())
            # Found dead: earlier state is gone whichever relay starts the new one.
            launched = ensure_daemon(fresh=True)
            restarted = True
        elif pid is not None and pid == listened:
            # It listened before this attempt, which found nothing at the socket path:
            # its socket file is gone (a cell cleaned up). It listens again soon; if it
            # does not, no relay will reach it again, and it makes way for a fresh one.
            lost_at = lost_at or time.monotonic()
            if time.monotonic() - lost_at >= REACH_GRACE:
                why = replace(pid)
                if why is not None:
                    failed(nonce, cell_path, "the interpreter (pid %d) cannot be reached at %s: %s" % (pid, SOCK, why))
                launched = restarted = True
                pid = None
        if pid != listened:
            # A daemon seen listening is past its start-up for good, whatever a later look
            # at the kernel's socket table misses: only another daemon starts the grace over.
            lost_at = None
            listened = pid if pid is not None and past_startup(pid) else None
        if time.monotonic() > deadline:
            failed(nonce, cell_path, not_started())
        time.sleep(0.01)


def failed(nonce, cell_path, log):
    discard(cell_path)
    finish(nonce, {"daemon": "failed", "log": log}, 3)


def lines(sock):
    """The daemon's lines, a list per read; every byte is searched for a line feed once."""
    buf = bytearray()
    while True:
        try:
            chunk = sock.recv(262144)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            return  # a partial last line is a frame the daemon never finished
        start = len(buf)
        buf += chunk
        end = buf.rfind(b"\n", start)
        if end != -1:
            batch = bytes(buf[:end]).split(b"\n")
            del buf[: end + 1]
            yield batch


def well_formed(report):
    """Whether ``report`` has exactly the shape the daemon gives its reports."""
    if type(report) is not dict:
        return False
    for key, value in report.items():
        if key == "result":
            ok = type(value) is str
        elif key == "error":
            ok = type(value) is dict and sorted(value) == ["name", "value"]
            ok = ok and type(value["name"]) is str and type(value["value"]) is str
        elif key == "lost":
            ok = type(value) is list and 0 < len(value) == len(set(value)) <= 2
            ok = ok and all(kind in ("out", "err") for kind in value)
        else:
            ok = False
        if not ok:
            return False
    return True


def unexpected(line, what):
    return "the interpreter sent " + what + ": " + line[:200].decode("utf-8", "replace")


def relay_lines(fd, quoted):
    if quoted:
        quoted.append("")
        write_all(fd, "\n".join(quoted).encode())


def answered(sock, deadline):
    """Whether the daemon sent something, or hung up, before ``deadline``; None when the
    process that holds the connection is not the daemon the relays launched.

    A few seconds at least: a daemon may still be ending its last cell, and a
    relay that came back to a new daemon may have little of its budget left.
    """
    started = time.monotonic()
    until = started + max(deadline - started, ANSWER_FLOOR)
    check = started + FOREIGN_CHECK  # a daemon answers at once; who holds a silent connection is asked once
    try:
        while True:
            wake = min(check, until)
            sock.settimeout(max(wake - time.monotonic(), 0.001))
            try:
                sock.recv(1, MSG_PEEK)
            except SocketTimeout:
                if wake == until:
                    return False
                check = until
                rare()
                if foreign(sock):
                    return None
                continue
            except OSError:
                pass
            return True
    finally:
        sock.settimeout(None)


def run(cell_path, nonce):
    deadline = time.monotonic() + STARTUP_TIMEOUT
    restarted = False
    while True:
        sock, relaunched = connect(nonce, cell_path, deadline)
        restarted = restarted or relaunched
        # Only this relay and the daemon know it: a "done" without it is not this cell's.
        token = posix.urandom(16).hex()
        try:
            sock.sendall(('{"path": ' + quote(cell_path) + ', "token": "' + token + '"}\n').encode())
        except BrokenPipeError:
            pass  # a busy daemon may answer and hang up first; its answer is still waiting
        # A daemon takes or refuses a request at once. Unanswered for the whole start-up
        # budget, the connection sits in a queue nobody serves; once its cell file is
        # gone, though, a daemon has the cell, and its answer is waited for.
        reply = answered(sock, deadline)
        if reply is None:
            # Its listener holds the daemon's path, but no daemon the relays launched: the
            # cell waits for theirs (launched now if none lives), which takes the path over.
            sock.close()
            restarted = await_daemon(nonce, cell_path, deadline) or restarted
            # That daemon may be out of reach too (stopped, its listener still in the kernel's table).
            if time.monotonic() > deadline:
                not_taken(nonce, cell_path)
            continue
        if not reply and discard(cell_path):
            rare()
            not_taken(nonce, cell_path)
        problem = None
        busy = took = False
        first = True
        for batch in lines(sock):
            out, err = [], []
            for line in batch:
                try:
                    frame = parse(line)
                except ValueError:
                    frame = None
                kind = frame.get("t") if type(frame) is dict else None
                if busy:
                    problem = problem or unexpected(line, "a frame after busy")
                elif kind in ("out", "err") and len(frame) == 2 and type(frame.get("d")) is str:
                    (out if kind == "out" else err).append(quote(frame["d"]))
                elif kind == "busy" and len(frame) == 1 and first:
                    busy = True
                elif kind == "took" and len(frame) == 1 and first:
                    # Tells the host that its cell, not another call's, holds the interpreter now.
                    took = True
                    write_all(2, (REPORT_MARK + nonce + ":started\n").encode())
                    # The cell starts on this word alone, sent once the note is out: a relay
                    # stopped before it, whose caller never got the note, leaves its cell unrun.
                    try:
                        sock.sendall(b"go\n")
                    except OSError:
                        pass  # the daemon is gone: its end of stream tells
                elif kind == "done" and frame.get("token") == token:
                    relay_lines(1, out)
                    relay_lines(2, err)
                    report = frame.get("report")
                    shaped = set(frame) <= {"t", "token", "report", "fresh"} and frame.get("fresh", True) is True
                    if problem is None and not (shaped and well_formed(report)):
                        problem = unexpected(line, "a malformed report")
                    if problem is not None:
                        finish(nonce, {"daemon": "error", "log": problem}, 6)
                    if restarted or frame.get("fresh") is True:
                        report["restarted"] = True
                    finish(nonce, report, 1 if "error" in report else 0)
                elif problem is None:
                    what = "a report for another cell" if kind == "done" else "a malformed frame"
                    problem = unexpected(line, what)
                first = False
            relay_lines(1, out)
            relay_lines(2, err)
        if busy and problem is None:
            discard(cell_path)
            finish(nonce, {"busy": True}, 4)
        rare()
        # The daemon this relay reached, whatever the pid file names by now.
        pid = peer(sock)
        sock.close()
        started = time.monotonic()
        # A daemon that just died can look alive until it is reaped.
        while alive(pid) and time.monotonic() - started < 1.0:
            time.sleep(0.02)
        if alive(pid):
            finish(nonce, {"daemon": "error", "log": problem or log_tail()}, 6)
        if took:
            ensure_daemon()
            finish(nonce, {"daemon": "died"}, 5)
        # It died before it took the cell (the connection sat in a dying daemon's
        # queue): none of the cell ran, so it goes to the next interpreter.
        if time.monotonic() > deadline:
            failed(nonce, cell_path, log_tail())
        restarted = True


def main(argv):
    mode = argv[2] if len(argv) > 2 else ""
    if mode == "launch":
        rare()
        ensure_daemon()
    elif mode == "run":
        if len(argv) > 5:  # the cell itself, small enough to come on the command line
            fd = posix.open(argv[3], posix.O_WRONLY | posix.O_CREAT | posix.O_TRUNC, 0o600)
            try:
                write_all(fd, argv[5].encode("utf-8", "surrogateescape"))
            finally:
                posix.close(fd)
        run(argv[3], argv[4])
    elif mode == "settle":
        rare()
        settle(float(argv[3]), argv[4:5] == ["orphan"])
    else:
        write_all(2, b"unknown command: " + mode.encode("utf-8", "surrogateescape") + b"\n")
        posix._exit(1)


main(sys.argv)
'''.replace("__RARE__", repr(_CLIENT_RARE), 1)
