"""In-sandbox programs behind OpenSandboxLite: the IPython interpreter daemon and its relay client.

Both are written into the sandbox at creation and run by the image's own
``python3``. Every file they keep derives from the path prefix given as their
first argument, so host and sandbox share no other constant.
"""

DAEMON_SOURCE = r'''"""OpenSandboxLite interpreter. usage: python3 -u <this file> <prefix>"""
import builtins
import fcntl
import getpass
import io
import json
import os
import queue
import signal
import socket
import struct
import sys
import termios
import threading

PREFIX = sys.argv[1]
SOCK = PREFIX + ".sock"
# Taken first, while descriptor 2 is still the log: it survives the capture of 2.
LOG_FD = os.dup(2)
MARK = b"\x00\x1fZIB_LITE_MARK\x1f\x00"
# A pump that relays nothing for this long after its cell ended is given up on.
STREAM_GRACE = 5.0
REQUEST_TIMEOUT = 10.0

report = {}
current = None
current_cell = 0
conn_lock = threading.Lock()
in_cell = threading.Event()
# Released by the main thread, taken by the accepting thread: a semaphore, not a lock.
busy = threading.Semaphore(1)
work = queue.Queue()


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

shell = InteractiveShell.instance()
shell.colors = "NoColor"
try:
    from ipykernel.compiler import XCachingCompiler
except Exception:
    pass
else:
    shell.compile = XCachingCompiler()
shell.system = shell.system_piped


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


def send(frame, cell=None):
    data = (json.dumps(frame) + "\n").encode("utf-8")
    with conn_lock:
        # Output counted against an earlier cell (its pump stalled past the grace)
        # must not be passed off as the output of the cell being served now.
        if current is None or (cell is not None and cell != current_cell):
            if frame.get("t") in ("out", "err"):
                log("[" + frame["t"] + " between cells] " + frame["d"].rstrip("\n"))
            return
        try:
            current.sendall(data)
        except OSError:
            pass


class Pump(threading.Thread):
    """Relays one captured descriptor line by line; a marker ends each cell's output.

    A relayed line keeps its line feed, so the host can tell a printed line from
    text the cell wrote without one and rebuild the output exactly as printed.
    """

    def __init__(self, fd, kind):
        super().__init__(daemon=True)
        read_fd, write_fd = os.pipe()
        os.dup2(write_fd, fd)
        os.close(write_fd)
        self.read_fd = read_fd
        self.kind = kind
        self.buf = bytearray()
        self.marks = 0
        self.progress = 0
        self.cond = threading.Condition()

    def emit(self, raw):
        send({"t": self.kind, "d": bytes(raw).decode("utf-8", "replace")}, self.marks + 1)
        with self.cond:
            self.progress += 1

    def run(self):
        while True:
            chunk = os.read(self.read_fd, 65536)
            if not chunk:
                return
            with self.cond:
                self.progress += 1
            buf = self.buf
            buf += chunk
            pos = 0
            mark = buf.find(MARK)
            while True:
                newline = buf.find(b"\n", pos)
                if newline != -1 and (mark == -1 or newline < mark):
                    self.emit(buf[pos:newline + 1])
                    pos = newline + 1
                elif mark != -1:
                    if mark > pos:
                        self.emit(buf[pos:mark])
                    pos = mark + len(MARK)
                    mark = buf.find(MARK, pos)
                    with self.cond:
                        self.marks += 1
                        self.cond.notify_all()
                else:
                    break
            del buf[:pos]

    def drain(self, cell, conn):
        """Wait for the marker of ``cell``; False when nothing moved for the whole grace.

        Moving means the pump read or relayed something, or the relay took
        bytes off the connection: a pump blocked on a full socket is not stuck
        while its reader is still reading.
        """
        with self.cond:
            seen = None
            while self.marks < cell:
                now = (self.progress, queued(conn))
                if now == seen:
                    return False
                seen = now
                self.cond.wait(STREAM_GRACE)
        return True


def queued(conn):
    """Bytes sent on ``conn`` that its reader has not taken yet (None where unknown)."""
    try:
        return struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]
    except (OSError, ValueError):
        return None


def reply(conn, frame):
    try:
        conn.sendall((json.dumps(frame) + "\n").encode("utf-8"))
    except OSError:
        pass
    close(conn)


def close(conn):
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


def watch(conn):
    # The relay sends nothing after its request: an end of stream is its death.
    try:
        data = conn.recv(1)
    except OSError:
        data = b""
    if not data and in_cell.is_set():
        os.kill(os.getpid(), signal.SIGINT)


def serve_cell(conn, path):
    global current, current_cell
    with open(path, encoding="utf-8") as f:
        code = f.read()
    try:
        os.remove(path)
    except OSError:
        pass
    report.clear()
    with conn_lock:
        current_cell += 1
        cell = current_cell
        current = conn
    signal.signal(signal.SIGINT, on_sigint)
    watcher = threading.Thread(target=watch, args=(conn,), daemon=True)
    try:
        in_cell.set()
        watcher.start()
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
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    write_all(1, MARK)
    write_all(2, MARK)
    lost = [pump.kind for pump in pumps if not pump.drain(cell, conn)]
    if lost:
        report["lost"] = lost
        log("output stalled after the cell ended; dropping the rest of " + " and ".join(lost))
    data = (json.dumps({"t": "done", "report": dict(report)}) + "\n").encode("utf-8")
    with conn_lock:
        # One hold: no frame of this cell can follow its "done".
        try:
            conn.sendall(data)
        except OSError:
            pass
        current = None
    close(conn)
    if watcher.is_alive():
        watcher.join(1.0)


def read_request(conn):
    conn.settimeout(REQUEST_TIMEOUT)
    data = b""
    while not data.endswith(b"\n"):
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    conn.settimeout(None)
    return json.loads(data) if data.strip() else {}


def handle(conn):
    try:
        request = read_request(conn)
        if request.get("ping") is True:
            reply(conn, {"t": "pong"})
        elif "path" in request:
            serve_cell(conn, request["path"])
        else:
            close(conn)
    except Exception as exc:
        log("request failed: " + repr(exc))
        close(conn)


def accept(server):
    while True:
        conn, _ = server.accept()
        if busy.acquire(blocking=False):
            work.put(conn)
        else:
            reply(conn, {"t": "busy"})


pumps = [Pump(1, "out"), Pump(2, "err")]
for pump in pumps:
    pump.start()
sys.stdout = OutStream(sys.stdout)
sys.stderr = OutStream(sys.stderr)

if os.path.lexists(SOCK):
    os.remove(SOCK)
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(SOCK)
server.listen(16)
threading.Thread(target=accept, args=(server,), daemon=True).start()
log("ready pid=%d" % os.getpid())

while True:
    try:
        conn = work.get()
        try:
            handle(conn)
        finally:
            busy.release()
    except KeyboardInterrupt:
        # A SIGINT that raced the end of a cell.
        continue
'''

CLIENT_SOURCE = r'''"""OpenSandboxLite relay client. usage:
python3 -u <this file> <prefix> launch
python3 -u <this file> <prefix> run <cell_path> <nonce>
python3 -u <this file> <prefix> settle <grace_seconds>
run exits 0 (ok), 1 (the cell raised), 3 (interpreter failed to start), 4 (busy),
5 (interpreter died mid-cell) or 6 (interpreter dropped the cell).
"""
import fcntl
import json
import os
import signal
import socket
import subprocess
import sys
import time

PREFIX = sys.argv[1]
DAEMON = PREFIX + "_daemon.py"
SOCK = PREFIX + ".sock"
PID = PREFIX + ".pid"
LOG = PREFIX + ".log"
LOCK = PREFIX + ".lock"
STARTUP_TIMEOUT = 60.0
LOG_TAIL_CHARS = 2000
REPORT_MARK = "ZIB_LITE_REPORT:"


def daemon_pid():
    try:
        with open(PID) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def alive(pid):
    if pid is None:
        return False
    if not os.path.isdir("/proc"):
        try:
            # A daemon this relay launched is its child: a dead one would pass as a zombie.
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return False
        except ChildProcessError:
            pass
        try:
            os.kill(pid, 0)
        except OSError:
            return False
        return True
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read()
    except OSError:
        return False
    if ")" not in stat:
        return False
    fields = stat.rsplit(")", 1)[1].split()
    return bool(fields) and fields[0] != "Z" and DAEMON.encode("utf-8") in cmdline


def launch():
    log = open(LOG, "ab")
    try:
        child = subprocess.Popen(
            [sys.executable, "-u", DAEMON, PREFIX],
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
            start_new_session=True,
        )
    finally:
        log.close()
    tmp = PID + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(child.pid))
    os.replace(tmp, PID)


def ensure_daemon():
    """Launch a daemon unless a live one is recorded; True when this call launched it.

    Check and launch happen under a file lock, so relays that find the daemon dead
    at the same time start one daemon between them, never two.
    """
    with open(LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if alive(daemon_pid()):
            return False
        launch()
        return True


def log_tail():
    try:
        with open(LOG, encoding="utf-8", errors="replace") as f:
            return f.read()[-LOG_TAIL_CHARS:].strip()
    except OSError:
        return ""


def discard(cell_path):
    try:
        os.remove(cell_path)
    except OSError:
        pass


def finish(nonce, payload, code):
    sys.stdout.flush()
    sys.stderr.write(REPORT_MARK + nonce + ":" + json.dumps(payload) + "\n")
    sys.stderr.flush()
    sys.exit(code)


def connect(nonce, cell_path):
    # The cell has not run yet, so starting a fresh interpreter for it runs nothing twice.
    deadline = time.monotonic() + STARTUP_TIMEOUT
    restarted = False
    launched = False
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(SOCK)
            return sock, restarted
        except (FileNotFoundError, ConnectionRefusedError):
            sock.close()
        if not alive(daemon_pid()):
            if launched:
                discard(cell_path)
                finish(nonce, {"daemon": "failed", "log": log_tail()}, 3)
            # Found dead: earlier state is gone whichever relay starts the new one.
            launched = ensure_daemon()
            restarted = True
        if time.monotonic() > deadline:
            discard(cell_path)
            finish(nonce, {"daemon": "failed", "log": log_tail()}, 3)
        time.sleep(0.01)


def frames(sock):
    pending = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            return  # a partial last line is a frame the daemon never finished
        pending += chunk
        lines = pending.split(b"\n")
        pending = lines.pop()
        for line in lines:
            yield json.loads(line)


def run(cell_path, nonce):
    sock, restarted = connect(nonce, cell_path)
    try:
        sock.sendall((json.dumps({"path": cell_path}) + "\n").encode("utf-8"))
    except BrokenPipeError:
        pass  # a busy daemon may answer and hang up first; its answer is still waiting
    for frame in frames(sock):
        kind = frame.get("t")
        if kind == "out":
            sys.stdout.write(json.dumps(frame["d"]) + "\n")
            sys.stdout.flush()
        elif kind == "err":
            sys.stderr.write(json.dumps(frame["d"]) + "\n")
            sys.stderr.flush()
        elif kind == "busy":
            discard(cell_path)
            finish(nonce, {"busy": True}, 4)
        elif kind == "done":
            report = frame.get("report") or {}
            if restarted:
                report["restarted"] = True
            finish(nonce, report, 1 if "error" in report else 0)
    pid = daemon_pid()
    started = time.monotonic()
    # A daemon that just died can look alive until it is reaped.
    while alive(pid) and time.monotonic() - started < 1.0:
        time.sleep(0.02)
    if alive(pid):
        finish(nonce, {"daemon": "error", "log": log_tail()}, 6)
    ensure_daemon()
    finish(nonce, {"daemon": "died"}, 5)


def ping():
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(1.0)
    try:
        sock.connect(SOCK)
        sock.sendall(b'{"ping": true}\n')
        line = b""
        while not line.endswith(b"\n"):
            chunk = sock.recv(4096)
            if not chunk:
                break
            line += chunk
        return json.loads(line).get("t") == "pong"
    except (OSError, ValueError, AttributeError):
        return False
    finally:
        sock.close()


def settle(grace):
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        if not alive(daemon_pid()):
            ensure_daemon()
            print(json.dumps({"restarted": True}))
            return
        if ping():
            print(json.dumps({"restarted": False}))
            return
        time.sleep(0.05)
    pid = daemon_pid()
    if alive(pid):
        try:
            # The daemon leads its own session: this takes down what the cell started too.
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass
    started = time.monotonic()
    while alive(pid) and time.monotonic() - started < 2.0:
        time.sleep(0.02)
    ensure_daemon()
    print(json.dumps({"restarted": True}))


def main(argv):
    mode = argv[2] if len(argv) > 2 else ""
    if mode == "launch":
        ensure_daemon()
    elif mode == "run":
        run(argv[3], argv[4])
    elif mode == "settle":
        settle(float(argv[3]))
    else:
        sys.stderr.write("unknown command: " + mode + "\n")
        sys.exit(1)


main(sys.argv)
'''
