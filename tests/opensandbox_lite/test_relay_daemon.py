"""The relay client and the interpreter daemon, run for real as local processes."""

from __future__ import annotations

import contextlib
import ctypes
import fcntl
import json
import os
import re
import select
import signal
import socket
import subprocess
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

import pytest

from tests.fakes.lite_daemon import daemon_pids
from tests.opensandbox_lite.conftest import patched
from vorn_tools.code_interpreter.code_sandbox import opensandbox_lite_sandbox as lite_module
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_scripts import _CLIENT_RARE, CLIENT_SOURCE, DAEMON_SOURCE

# Reaches into the daemon from a cell, as hostile code can.
_DAEMON = "daemon = get_ipython().showtraceback.__globals__\n"
# The relay is stopped while the pump, stuck sending a first line, leaves the rest in the pipe: the last
# line and the end-of-cell marker behind it then come in two reads, the first ending one byte short.
_SPLIT_MARKER = _DAEMON + """import fcntl, os, signal, socket, struct, termios, threading, time
conn, deadline = daemon['current'], time.monotonic() + 60
relay = struct.unpack('3i', conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]
conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
fcntl.fcntl(1, 1031, 1 << 17)  # F_SETPIPE_SZ: more than one read's worth fits
mark = len(daemon['MARK_HEAD']) + 32 + len(daemon['MARK_TAIL'])
def queued():
    return struct.unpack('i', fcntl.ioctl(1, termios.FIONREAD, b'0000'))[0]
def resume(size):
    while queued() < size and time.monotonic() < deadline:
        time.sleep(0.001)
    os.kill(relay, signal.SIGCONT if queued() >= size else signal.SIGKILL)  # a run that went otherwise fails
os.kill(relay, signal.SIGSTOP)
os.write(1, b'x' * 20000 + b'\\n')
while queued() and time.monotonic() < deadline:
    time.sleep(0.001)
os.write(1, b'y' * (65536 - mark) + b'\\n')
threading.Thread(target=resume, args=(65537,)).start()
"""


@pytest.mark.parametrize(
    ("code", "rc", "out", "err", "report"),
    [
        ("print('hi')\n1 + 1", 0, ["hi\n"], [], {"result": "2"}),
        ("import subprocess, sys\nsubprocess.run(['echo', 'child'])\nprint('e', file=sys.stderr)", 0,
         ["child\n"], ["e\n"], {}),  # fmt: skip
        ("raise ValueError('bad')", 1, [], [], ("ValueError", "bad")),
        ("def broken(:\n  pass", 1, [], [], ("SyntaxError", None)),
        ("input()", 1, [], [], ("StdinNotImplementedError", "raw_input was called, but this frontend does not support input requests.")),
        ("import sys\nsys.stdout.buffer", 1, [], [], ("AttributeError", "'OutStream' object has no attribute 'buffer'")),
        (f"print('x' * {300_000})", 0, ["x" * 300_000 + "\n"], [], {}),
        # Output a pump still held for an earlier cell is logged, never relayed with this one.
        (_DAEMON + "pump = daemon['pumps'][0]\npump.marks -= 1\npump.emit(bytearray(b'stale\\n'))\npump.marks += 1\n"
         "print('fresh')", 0, ["fresh\n"], [], {}),  # fmt: skip
    ],
)
def test_run_relays_output_as_printed_and_reports_the_cell(shared_lite, code, rc, out, err, report):
    done = shared_lite.run(code)
    if isinstance(report, tuple):
        report = {"error": {"name": report[0], "value": report[1] or done.report["error"]["value"]}}
    assert (done.rc, done.out, done.err, done.report) == (rc, out, err, report)


@pytest.mark.parametrize(
    ("code", "rc", "out", "err", "report"),
    [
        # Marker-shaped bytes are output like any other.
        ("import os\nos.write(1, b'x\\x00\\x1fZIB_LITE_MARK\\x1f\\x00y\\n')\n"
         "os.write(2, b'\\x00\\x1fZIB_LITE_MARK' + b'0' * 32 + b'\\x1f\\x00')\nprint('z')",
         0, ["x\x00\x1fZIB_LITE_MARK\x1f\x00y\n", "z\n"], ["\x00\x1fZIB_LITE_MARK" + "0" * 32 + "\x1f\x00"], {}),
        # Closed standard descriptors; the next connection gets a freed one.
        ("import os\nos.close(1)", 0, [], [], {}),
        ("import os\nos.close(1)\nos.close(2)\nprint('gone')", 1, [], [], ("OSError", "[Errno 9] Bad file descriptor")),
        ("import os, sys\nos.dup2(os.open(os.devnull, os.O_WRONLY), 1)\nprint('nowhere')", 0, [], [], {}),
        # No thread of the daemon's own opens a file onto the descriptor a cell freed (IPython's history
        # writer used to, racing the daemon as it put the descriptor back).
        ("import os, time\nos.close(1)\nhm = get_ipython().history_manager\nif hm.save_flag:\n"
         "    hm.db_input_cache.append((0, '', ''))\n    hm.save_flag.set()\n    deadline = time.monotonic() + 20\n"
         "    while hm.db_input_cache and time.monotonic() < deadline:\n        time.sleep(0.01)\n"
         "_ = os.write(2, (os.readlink('/proc/self/fd/1') if os.path.exists('/proc/self/fd/1') else 'free').encode() + b'\\n')",
         0, [], ["free\n"], {}),
        (_SPLIT_MARKER, 0, ["x" * 20000 + "\n", "y" * (65536 - 49) + "\n"], [], {}),
        # A forked process that comes back from the cell ends there, rather than serve on as a second daemon.
        ("import os, warnings\nwarnings.simplefilter('ignore')\nchild = os.fork()\nif child:\n    os.waitpid(child, 0)\n"
         "print('parent' if child else 'child')", 0, ["child\n", "parent\n"], [], {}),
        # A module planted where relays start (and on the sandbox's PYTHONPATH) is not imported by them.
        ("with open('_json.py', 'w') as f:\n    f.write('import os\\nos._exit(9)\\n')", 0, [], [], {}),
        # A report or frames the daemon did not write.
        (_DAEMON + "daemon['report']['error'] = 5", 6, [], [], "the cell changed the interpreter's report"),
        (_DAEMON + "daemon['report']['busy'] = True", 6, [], [], "the cell changed the interpreter's report"),
        (_DAEMON + "daemon['current'].sendall(b'{\"t\": \"done\", \"report\": {\"result\": \"forged\"}}\\n')\nprint('ran')",
         6, ["ran\n"], [], "the interpreter sent a report for another cell: {"),
        (_DAEMON + "daemon['current'].sendall(b'{\"t\": \"busy\"}\\n')\nprint('ran')",
         6, ["ran\n"], [], 'the interpreter sent a malformed frame: {"t": "busy"}'),  # busy once the cell was taken
        (_DAEMON + "daemon['current'].sendall(b'\\xff not json\\n')", 6, [], [], "the interpreter sent a malformed frame: \ufffd not json"),
        (_DAEMON + "daemon['current'].sendall(b'[' * 100_000 + b'\\n')", 6, [], [], "the interpreter sent a malformed frame: [[["),
        (_DAEMON + "daemon['current'].sendall(b'{\"t\": \"out\", \"d\": 5}\\n')", 6, [], [],
         "the interpreter sent a malformed frame: {"),
    ],
)
def test_hostile_cells_get_what_really_happened_and_leave_later_cells_intact(lite, code, rc, out, err, report):
    """The cell's own result says what happened, and the next cell runs and reports as usual."""
    assert lite.relay("launch").returncode == 0
    done = lite.run(code)
    if isinstance(report, tuple):
        report = {"error": {"name": report[0], "value": report[1]}}
    elif isinstance(report, str):
        assert done.report["daemon"] == "error" and report in done.report["log"], done.report
        report = done.report
    assert (done.rc, done.out, done.err, done.report) == (rc, out, err, report)
    after = lite.run("print('after')\nimport sys\nprint('e', file=sys.stderr)\n1")
    assert (after.rc, after.out, after.err, after.report) == (0, ["after\n"], ["e\n"], {"result": "1"})


def test_first_run_launches_and_reports_restart_and_launch_starts_one_daemon(lite):
    done = lite.run("print(1)")
    assert (done.rc, done.out, done.report) == (0, ["1\n"], {"restarted": True})
    first = lite.pid()
    assert lite.relay("launch").returncode == 0 and lite.relay("launch").returncode == 0
    assert daemon_pids(lite.prefix) == [first]
    assert lite.run("2").report == {"result": "2"}


def test_killed_relay_interrupts_the_cell_and_settle_kills_what_ignores_it(lite):
    assert lite.run("kept = 'yes'").rc == 0
    old, child = lite.pid(), lite.root + "/child"
    # The child's pid appears only inside the try, so the interrupt cannot land outside it.
    path, nonce = lite.cell(
        f"import os, subprocess, time\npid = subprocess.Popen(['sleep', '120']).pid\nwhile True:\n    try:\n"
        f"        if not os.path.exists({child!r}):\n            open({child!r} + '.tmp', 'w').write(str(pid))\n"
        f"            os.replace({child!r} + '.tmp', {child!r})\n        time.sleep(120)\n    except KeyboardInterrupt:\n"
        "        pass"
    )
    relay = lite.start("run", path, nonce)
    lite.wait_for("child")
    relay.kill()
    relay.wait(10)
    assert lite.relay("settle", "1").stdout == b'{"restarted": true}\n'
    assert lite.pid() != old and daemon_pids(lite.prefix) == [lite.pid()]
    assert _gone(int(open(child).read()))  # killed with the group
    after = lite.run("kept").report  # the restart is told even when nobody took the settle's answer
    assert (after["error"]["name"], after["restarted"]) == ("NameError", True)


def _gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_a_finished_relays_end_of_stream_never_interrupts_the_next_cell(lite):
    """The next request is already queued when a cell's connection ends, and its cell starts at once."""
    assert lite.run("0").rc == 0  # the daemon's first cell is not the one to test
    path, _ = lite.cell("import time\ntime.sleep(0.5)\nprint('ok')")
    frames = lite.root + "/frames"
    # Holds the daemon's connection lock across this cell's end, so that its "done" goes out
    # (and its connection ends) only once the next request is queued.
    done = lite.run(_DAEMON + f"""import json, os, socket, threading, time
lock, deadline, held = daemon['conn_lock'], time.monotonic() + 60, threading.Event()
def next_cell():
    with lock:
        held.set()
        while daemon['holding'] and time.monotonic() < deadline:
            time.sleep(0.001)
        sock = socket.socket(socket.AF_UNIX)
        sock.connect(daemon['SOCK'])
        sock.sendall(json.dumps({{'path': {path!r}}}).encode() + b'\\n')
        while not daemon['work'].qsize() and time.monotonic() < deadline:
            time.sleep(0.001)
    with sock, open({frames!r} + '.tmp', 'wb') as f:
        f.write(sock.recv(65536))  # "took": the cell starts on the relay's word
        sock.sendall(b'go\\n')
        while chunk := sock.recv(65536):
            f.write(chunk)
    os.replace({frames!r} + '.tmp', {frames!r})
# All on one CPU, the watching thread at the lowest priority: it runs only when no other thread can,
# so the order must come from the daemon, not from luck.
cpu = min(os.sched_getaffinity(0))
for thread in threading.enumerate():
    os.sched_setaffinity(thread.native_id, {{cpu}})
    if thread.name.endswith("(watch)"):
        os.setpriority(os.PRIO_PROCESS, thread.native_id, 19)
threading.Thread(target=next_cell).start()
assert held.wait(60)""")
    assert (done.rc, done.report) == (0, {})
    lite.wait_for("frames")
    with open(frames) as f:
        received = [json.loads(line) for line in f]
    assert received == [{"t": "took"}, {"t": "out", "d": "ok\n"}, {"t": "done", "report": {}}]


def test_settle_relaunches_a_dead_daemon_and_unknown_mode_fails(lite):
    assert lite.relay("launch").returncode == 0
    os.killpg(lite.pid(), signal.SIGKILL)
    assert lite.relay("settle", "5").stdout.strip() == b'{"restarted": true}'
    bad = lite.relay("frobnicate")
    assert (bad.returncode, bad.stderr) == (1, b"unknown command: frobnicate\n")


def test_settle_looks_again_at_a_daemon_not_yet_listening_and_relaunches_it_once_gone(lite):
    """A daemon killed a moment ago still looks alive (its command line, state R) without listening, as one starting does."""
    gate = lite.root + "/gate"
    dying = f"import os, time\nif not os.path.exists({gate!r}):\n    while not os.path.exists({gate!r}):\n" \
            "        time.sleep(0.01)\n    os._exit(1)\n"  # fmt: skip
    Path(lite.prefix + "_daemon.py").write_text(dying + DAEMON_SOURCE)
    assert lite.relay("launch").returncode == 0
    with _reads_of(lite.prefix + ".pid") as reads:
        settle = lite.start("settle", "60")  # a grace that outlasts the test
        reads(2)  # it found the daemon not listening, and looks again rather than answer
        Path(gate).touch()
        assert settle.communicate(timeout=90)[0] == b'{"restarted": true}\n'
    assert lite.run("1").report == {"result": "1", "restarted": True}


@pytest.mark.parametrize("threads", [0, 3])
def test_a_process_a_cell_left_listening_where_the_dead_interpreter_did_is_not_taken_for_it(lite, threads):
    """It leads a session of its own, with the daemon's command line, threads of its own too: only the relays'
    record tells it from the daemon."""
    assert lite.run("kept = 1").rc == 0
    old, sock, ready = lite.pid(), lite.prefix + ".sock", lite.root + "/listening"
    left = lite.run(f"""import os, socket, threading, time
if os.fork() == 0:
    os.setsid()
    for _ in range({threads}):
        threading.Thread(target=time.sleep, args=(600,), daemon=True).start()
    open({ready!r} + '.sid', 'w').close()
    while True:
        try:
            with open('/proc/{old}/stat') as f:
                if f.read().rsplit(')', 1)[1].split()[0] == 'Z':
                    break
        except OSError:
            break
        time.sleep(0.01)
    server = socket.socket(socket.AF_UNIX)
    os.remove({sock!r})
    server.bind({sock!r})
    server.listen(16)
    open({ready!r}, 'w').close()
    time.sleep(600)
    os._exit(0)
while not os.path.exists({ready!r} + '.sid'):
    time.sleep(0.01)""")
    assert left.rc == 0
    os.killpg(old, signal.SIGKILL)  # as a settle does: the process left behind is in a session of its own
    lite.wait_for("listening")
    if threads:  # then taken for the interpreter: the documented recovery kills it
        docs = (Path(__file__).parents[2] / "docs/opensandbox-lite.md").read_text()
        recover = textwrap.dedent(re.search(r"```sh\n(.*?)```", docs, re.S)[1]).replace("/tmp/.zib_lite", lite.prefix)
        subprocess.run(["sh", "-c", recover], env=lite.env, check=True)
    done = lite.run("print('ran')")
    assert (done.rc, done.out, done.report) == (0, ["ran\n"], {"restarted": True})
    assert lite.run("print('again')").out == ["again\n"]


# What a cell may write into the pid file: no pid, an exited process's, a live stranger's.
_RECORDS = {"0": "0", "-1": "-1", "abc": "'abc'", "empty": "''", "init": "1",
            "dead": "subprocess.run(['sh', '-c', 'echo $$'], capture_output=True, text=True).stdout.strip()",
            "stranger": "subprocess.Popen(['sleep', '600']).pid"}  # fmt: skip


@pytest.mark.parametrize("record", [*_RECORDS, "late", "settle 0"])
def test_whatever_the_pid_file_says_one_interpreter_runs_and_the_settle_tells_what_it_did(lite, monkeypatch, record):
    """A record of no live daemon tells nothing: the daemon is looked for. One that starts after its launch
    ended records itself beside the record of a dead one; a settle with no grace and no daemon launches one."""
    assert lite.run("kept = 1").rc == 0
    old = lite.pid()
    if record in _RECORDS:
        assert lite.run(f"import subprocess\nopen({lite.prefix + '.pid'!r}, 'w').write(str({_RECORDS[record]}))").rc == 0
    else:
        os.killpg(old, signal.SIGKILL)
    if record == "late":  # its launching relay is killed before it could record it
        first, late, gate = _held_launch(lite, monkeypatch, "600.0")
        first.kill()
        gate.touch()
        _wait_until(lambda: _gone_or_ready(lite, late), "the late daemon to listen")
    settled = lite.relay("settle", "0" if record == "settle 0" else "5")
    assert settled.stdout == b'{"restarted": %s}\n' % (b"true" if record == "settle 0" else b"false"), settled.stderr
    if record in _RECORDS:
        assert (lite.run("kept").report, daemon_pids(lite.prefix)) == ({"result": "1"}, [old])
    else:
        assert lite.run("1").report == {"result": "1", **({"restarted": True} if record == "settle 0" else {})}
        assert daemon_pids(lite.prefix) == [lite.pid()] == [late if record == "late" else lite.pid()] != [old]


@pytest.mark.parametrize("kind", ["fifo", "directory"])
@pytest.mark.parametrize("name", [".pid", ".pid.tmp", ".lock", ".log"])
def test_a_relays_file_a_cell_made_no_regular_file_blocks_no_launch(lite, name, kind):
    """Opened as it was, a FIFO would block the launching relay, holding the relays' lock, and every relay after
    it; a directory (not empty: moved aside whole) would stop every launch."""
    assert lite.run("0").rc == 0
    old = lite.pid()
    with contextlib.suppress(FileNotFoundError):
        os.remove(lite.prefix + name)
    if kind == "fifo":
        os.mkfifo(lite.prefix + name)
    else:
        os.mkdir(lite.prefix + name)
        open(lite.prefix + name + "/kept", "w").close()
    os.killpg(old, signal.SIGKILL)
    done = lite.run("print(1)")
    assert (done.rc, done.out, done.report) == (0, ["1\n"], {"restarted": True})
    assert lite.relay("settle", "5").stdout == b'{"restarted": false}\n'
    assert daemon_pids(lite.prefix) == [lite.pid()] != [old]


@pytest.mark.parametrize("gone", ["queued", "taken"])
def test_a_cell_whose_relay_is_gone_before_it_starts_never_runs(lite, gone):
    """Stopped at its limit while its request sat in the queue, or as the daemon took it, a relay says nothing of
    the cell starting (its caller is told the code did not run); that cell never runs."""
    # The daemon's interrupt of a cell whose relay is gone races the cell: made deaf to it, the cell would run whole.
    assert lite.run(_DAEMON + "daemon['on_sigint'] = lambda *args: None\nn = 0").rc == 0
    daemon = lite.pid()
    _stop(daemon)
    path, nonce = lite.cell("n += 1")
    with _reads_of(lite.prefix + ".pid") as reads:
        relay = lite.start("run", path, nonce)
        reads(1)  # unanswered, it asks who holds its connection: its request is sent
    if gone == "taken":
        _stop(relay.pid)
        os.kill(daemon, signal.SIGCONT)
        _wait_until(lambda: not os.path.exists(path), "the daemon to take the cell")
    relay.kill()
    done = lite.finish(relay, nonce)
    assert (done.rc, done.started) == (-signal.SIGKILL, False)
    os.kill(daemon, signal.SIGCONT)
    assert lite.run("n").report == {"result": "0"}


@pytest.mark.parametrize("make", [os.mkfifo, lambda path: os.symlink("/dev/zero", path)], ids=["fifo", "zero"])
def test_a_record_a_cell_made_a_fifo_or_a_link_to_an_endless_file_is_passed_over(lite, make):
    """Read as it was, the first would block every relay (one of them holding the relays' lock), the second never end."""
    assert lite.run("kept = 1").rc == 0
    old = lite.pid()
    os.remove(lite.prefix + ".pid")
    make(lite.prefix + ".pid")
    assert lite.relay("settle", "5").stdout == b'{"restarted": false}\n'
    assert (lite.run("kept").report, daemon_pids(lite.prefix)) == ({"result": "1"}, [old])


@pytest.mark.parametrize("lost", ["killed", "unreachable"])
def test_concurrent_relays_after_a_death_start_one_daemon(lite, lost):
    assert lite.run("0").rc == 0
    old = lite.pid()
    # It takes no cell now: the relays' connections wait in its queue, or, its socket file
    # gone, it cannot listen again and stays out of every relay's reach.
    _stop(old)
    if lost == "unreachable":
        os.remove(lite.prefix + ".sock")
    cells = [lite.cell(f"import time\ntime.sleep(0.5)\n{i}") for i in range(6)]
    # Every relay finds it dead (or unreachable) before any of them may launch the next one.
    with open(lite.prefix + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        procs = [(lite.start("run", path, nonce), nonce) for path, nonce in cells]
        if lost == "killed":
            _wait_for_queued(lite.prefix + ".sock", len(procs))
            os.killpg(old, signal.SIGKILL)
        _wait_for_lock_waiters(os.fstat(lock.fileno()).st_ino, len(procs))
    results = [lite.finish(proc, nonce) for proc, nonce in procs]
    # None of their cells ran in the dead daemon, so none is reported lost with it.
    assert {r.rc for r in results} <= {0, 4} and 0 in {r.rc for r in results}, results
    assert [r.report["result"] for r in results if r.rc == 0] == [str(i) for i, r in enumerate(results) if r.rc == 0]
    assert daemon_pids(lite.prefix) == [lite.pid()]
    with open(lite.prefix + ".log") as f:
        assert f.read().count("ready pid=") == 2


def _with_rare(old: str, new: str) -> str:
    """The relay's source with a line of its rare paths replaced (see ``patched``)."""
    return CLIENT_SOURCE.replace(repr(_CLIENT_RARE), repr(patched(_CLIENT_RARE, old, new)), 1)


def _held_launch(lite, monkeypatch, exec_bound: str, *mode: str, grace: str = "2.0") -> tuple[subprocess.Popen, int, Path]:
    """A relay's launch (``mode``: "launch" unless given), held between Popen and the daemon's exec until the test opens the gate.

    A shell runs the daemon's command line once the gate is there; a later launch runs it at once.
    Gives the launching relay, the held shell's pid and the gate.
    """
    held, gate = lite.root + "/held", lite.root + "/gate"
    hold = (f"if mkdir {held} 2>/dev/null; then echo $$ > {held}/p && mv {held}/p {held}/pid\n"
            f"while [ ! -e {gate} ]; do sleep 0.01; done; fi\nexec \"$@\"")  # fmt: skip
    client = _with_rare('            [sys.executable, "-u", DAEMON, PREFIX] + (["fresh"] if fresh else []),',
                        f'            ["/bin/sh", "-c", {hold!r}, "sh", sys.executable, "-u", DAEMON, PREFIX]'
                        ' + (["fresh"] if fresh else []),')  # fmt: skip
    client = patched(client, "REACH_GRACE = 2.0", f"REACH_GRACE = {grace}")
    monkeypatch.setattr(lite_module, "CLIENT_SOURCE", patched(client, "EXEC_BOUND = 2.0", f"EXEC_BOUND = {exec_bound}"))
    first = lite.start(*(mode or ["launch"]))
    lite.wait_for("held/pid")
    return first, int(Path(held + "/pid").read_text()), Path(gate)


@pytest.mark.parametrize("second", ["launch", "run"])
def test_a_daemon_launched_before_its_exec_is_done_is_never_launched_twice(lite, monkeypatch, second):
    """Until its exec is done, a daemon just launched shows no command line of its own: no relay takes it for dead."""
    # The launch's bound on the exec outlasts the test: the test, not a clock, decides when the exec is done.
    first, pid, gate = _held_launch(lite, monkeypatch, "600.0")
    path, nonce = lite.cell("1")
    other = lite.start(second, *((path, nonce) if second == "run" else ()))
    lock = os.stat(lite.prefix + ".lock").st_ino
    # It waits for the launch to end, or (as it did) takes the held one for dead and launches another.
    # The held shell counts among the daemons: the daemon's command line is its arguments.
    _wait_until(lambda: _lock_waiters(lock) or daemon_pids(lite.prefix) != [pid], "the second relay to wait or launch")
    gate.touch()
    assert first.wait(90) == 0
    if second == "run":
        done = lite.finish(other, nonce)
        assert (done.rc, done.report) == (0, {"result": "1", "restarted": True})
    else:
        assert other.wait(90) == 0
    assert (daemon_pids(lite.prefix), lite.pid()) == ([pid], pid)


def _fill_queue(path: str) -> list[socket.socket]:
    """Connections to the listener at ``path`` until its queue is full (it takes none meanwhile)."""
    queued: list[socket.socket] = []
    while len(queued) < 10_000:
        sock = socket.socket(socket.AF_UNIX)
        sock.setblocking(False)
        try:
            sock.connect(path)
        except BlockingIOError:
            sock.close()
            return queued
        queued.append(sock)
    raise AssertionError(f"the queue at {path} never filled")


def test_a_daemon_held_before_the_relays_lock_makes_way_for_the_one_recorded_meanwhile(lite):
    """It looks for the relays' record under their lock: one made before would miss the daemon launched meanwhile."""
    held, gate = lite.root + "/held", lite.root + "/gate"
    hold = (f"if not os.path.exists({held!r}):\n    os.mkdir({held!r})\n"
            f"    while not os.path.exists({gate!r}):\n        time.sleep(0.01)\n")  # fmt: skip
    flock = 'with lock_relays(PREFIX + ".lock"):'
    Path(lite.prefix + "_daemon.py").write_text(patched(DAEMON_SOURCE, flock, hold + flock))
    assert lite.relay("launch").returncode == 0
    late = lite.pid()
    lite.wait_for("held")
    os.remove(lite.prefix + ".pid")  # as a cleanup of /tmp does: the next relay finds no daemon, and launches one
    assert lite.run("kept = 1").report == {"restarted": True}
    Path(gate).touch()
    _wait_until(lambda: _gone_or_ready(lite, late), "the held daemon to end or listen")
    assert (lite.run("kept").report, daemon_pids(lite.prefix)) == ({"result": "1"}, [lite.pid()])


def test_a_run_whose_launch_outlasts_the_exec_bound_waits_for_its_interpreter(lite, monkeypatch):
    """Past the grace given a daemon out of reach, too: one still in its exec is none that listened."""
    path, nonce = lite.cell("1")
    # Every look after the first is past the grace.
    relay, pid, gate = _held_launch(lite, monkeypatch, "0.1", "run", path, nonce, grace="0.0")
    lite.wait_for("p.pid")  # recorded once the bound passed, the exec still held
    with _reads_of(lite.prefix + ".pid") as reads:
        reads(3)  # it looks for its interpreter again and again, rather than fail saying nothing
    gate.touch()
    done = lite.finish(relay, nonce)
    assert (done.rc, done.report, daemon_pids(lite.prefix)) == (0, {"result": "1", "restarted": True}, [pid])


def _gone_or_ready(lite, pid: int) -> bool:
    """Whether ``pid`` has ended (or is a zombie), or runs as a daemon that listens."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split() if os.path.exists(f"/proc/{pid}") else ["Z"]
    return fields[0] == "Z" or f"ready pid={pid}" in Path(lite.prefix + ".log").read_text()


@pytest.mark.parametrize("end", ["bound", "killed", "killed-queue-full"])
def test_a_daemon_whose_launch_ended_before_its_exec_never_runs_beside_another(lite, monkeypatch, end):
    """A daemon that starts after its launch ended (past the bound, or its relay killed) is no second interpreter."""
    # The gate opens long after the launch's bound, or after the launching relay was killed.
    first, held_pid, gate = _held_launch(lite, monkeypatch, "2.0" if end == "bound" else "600.0")
    if end != "bound":  # as the command service may stop a relay whose call let go of it
        first.kill()
    assert first.wait(90) == (0 if end == "bound" else -signal.SIGKILL)
    assert lite.run("kept = 1").rc == 0
    queued = []
    if end == "killed-queue-full":  # the live one takes no connection for now (stopped, or a cell holds it)
        live = lite.pid()
        _stop(live)
        queued = _fill_queue(lite.prefix + ".sock")
    gate.touch()
    _wait_until(lambda: _gone_or_ready(lite, held_pid), "the held launch to end or start its daemon")
    for sock in queued:
        sock.close()
    if queued:
        os.kill(live, signal.SIGCONT)
    # A late daemon looks for one listening by connecting: until the live one has served that connection,
    # a relay is told it is busy.
    deadline = time.monotonic() + 60
    while (kept := lite.run("kept")).report == {"busy": True}:
        assert time.monotonic() < deadline, "the interpreter stayed busy"
    assert (daemon_pids(lite.prefix), kept.report) == ([lite.pid()], {"result": "1"})


@pytest.mark.parametrize("mode", ["launch", "settle"])
def test_a_look_at_the_socket_table_that_misses_the_interpreter_is_made_again(lite, monkeypatch, mode):
    """Without its pid file the daemon is found listening in the kernel's table of sockets, which misses a row now and then."""
    # The first look of each search misses every row.
    client = _with_rare('            with open("/proc/net/unix") as f:',
                        '            with open("/proc/net/unix" if _ else "/dev/null") as f:')  # fmt: skip
    monkeypatch.setattr(lite_module, "CLIENT_SOURCE", client)
    assert lite.run("kept = 1").rc == 0
    old = lite.pid()
    os.remove(lite.prefix + ".pid")
    answer = lite.relay(mode, *(["1"] if mode == "settle" else []))
    assert (answer.returncode, answer.stdout) == (0, b'{"restarted": false}\n' if mode == "settle" else b"")
    assert daemon_pids(lite.prefix) == [old]
    assert lite.run("kept").report == {"result": "1"}


@pytest.mark.parametrize("cleanup", ["removed", "replaced", "served", "forked"])
def test_a_cell_that_removes_the_socket_keeps_its_interpreter_from_other_relays(lite, cleanup):
    """The daemon listens at its path again; a relay that comes meanwhile is told it is busy."""
    assert lite.run("kept = 1").rc == 0
    sock, gate = lite.prefix + ".sock", lite.root + "/gate"
    replace = {
        "removed": "",
        "replaced": f"open({sock!r}, 'w').close()\n",
        # A server of the cell's own, at the daemon's path.
        "served": f"import socket\nserver = socket.socket(socket.AF_UNIX)\nserver.bind({sock!r})\nserver.listen(1)\n",
        # A process the cell forked serves there: it runs the daemon's command line, yet is not another daemon.
        # The daemon listens there again meanwhile: the child takes the path until its bind wins.
        "forked": f"import contextlib, socket\nif os.fork() == 0:\n    server = socket.socket(socket.AF_UNIX)\n"
        f"    while True:\n        with contextlib.suppress(FileNotFoundError):\n            os.remove({sock!r})\n"
        f"        with contextlib.suppress(OSError):\n            server.bind({sock!r})\n            break\n"
        f"    server.listen(1)\n    open({gate!r} + '.bound', 'w').close()\n"
        f"    while not os.path.exists({gate!r}):\n        time.sleep(0.01)\n    os._exit(0)\n"
        f"while not os.path.exists({gate!r} + '.bound'):\n    time.sleep(0.01)\n",
    }[cleanup]
    path, nonce = lite.cell(
        f"import os, time\nos.remove({sock!r})\n{replace}open({gate!r} + '.in', 'w').close()\n"
        f"while not os.path.exists({gate!r}):\n    time.sleep(0.01)\nkept += 1\nprint(kept)"
    )
    owner = lite.start("run", path, nonce)
    lite.wait_for("gate.in")
    _wait_until(lambda: _answer_at(sock) == b'{"t": "busy"}\n', "the interpreter to listen again")
    busy = lite.run("print('never')")
    assert (busy.rc, busy.report, busy.out) == (4, {"busy": True}, [])
    Path(gate).touch()
    done = lite.finish(owner, nonce)
    assert (done.rc, done.out, done.report) == (0, ["2\n"], {})
    assert lite.run("kept").report == {"result": "2"}
    assert daemon_pids(lite.prefix) == [lite.pid()]


def test_a_relay_that_finds_the_socket_gone_waits_for_the_interpreter_to_listen_again(lite, monkeypatch):
    # Its grace outlasts the test: the test, not a clock, decides when the daemon listens again.
    client = patched(CLIENT_SOURCE, "REACH_GRACE = 2.0", "REACH_GRACE = 600.0")
    monkeypatch.setattr(lite_module, "CLIENT_SOURCE", client)
    assert lite.run("kept = 1").rc == 0
    sock, gate = lite.prefix + ".sock", lite.root + "/gate"
    # The cell holds the lock the daemon listens under, so it listens again only once the first gate
    # opens; the cell runs on until the second.
    path, nonce = lite.cell(
        _DAEMON + f"import os, time\nwith daemon['fd_lock']:\n    os.remove({sock!r})\n"
        f"    open({gate!r} + '.in', 'w').close()\n    while not os.path.exists({gate!r} + '1'):\n"
        f"        time.sleep(0.01)\nwhile not os.path.exists({gate!r} + '2'):\n    time.sleep(0.01)\nkept += 1"
    )
    owner = lite.start("run", path, nonce)
    lite.wait_for("gate.in")
    with _reads_of(lite.prefix + ".pid") as reads:
        other = lite.cell("print('never')")
        relay = lite.start("run", *other)
        reads(5)  # it looked for the daemon again and again, finding it listening but out of reach
        Path(gate + "1").touch()
        busy = lite.finish(relay, other[1])
    assert (busy.rc, busy.report) == (4, {"busy": True})
    Path(gate + "2").touch()
    assert lite.finish(owner, nonce).rc == 0
    assert lite.run("kept").report == {"result": "2"}


@pytest.mark.parametrize("mode", ["run", "settle"])
def test_a_look_at_the_socket_table_that_misses_the_interpreter_does_not_start_its_grace_over(lite, monkeypatch, mode):
    """The kernel's table of sockets misses a row now and then: a daemon once seen listening has started."""
    # Every other look misses the daemon's listening socket.
    client = _with_rare("    return listening(pid) if HAVE_PROC else not starting()",
                        "    global looks\n    looks = globals().get('looks', 0) + 1\n    return looks % 2 == 1 and listening(pid)")
    monkeypatch.setattr(lite_module, "CLIENT_SOURCE", client)
    assert lite.run("0").rc == 0
    old = lite.pid()
    # Out of reach for good: stopped, it cannot listen again where its socket file was.
    _stop(old)
    os.remove(lite.prefix + ".sock")
    if mode == "run":
        done = lite.run("print('ran')")
        assert (done.rc, done.out, done.report) == (0, ["ran\n"], {"restarted": True})
    else:
        assert lite.relay("settle", "5").stdout == b'{"restarted": true}\n'
    assert daemon_pids(lite.prefix) == [lite.pid()] != [old]


@contextlib.contextmanager
def _reads_of(path: str):
    """Yields a wait (at most 60 s) for ``count`` more reads of ``path`` to end, seen through inotify."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    assert fd >= 0 and libc.inotify_add_watch(fd, path.encode(), 0x10) >= 0  # IN_CLOSE_NOWRITE
    waiter = select.poll()
    waiter.register(fd, select.POLLIN)

    def wait(count: int) -> None:
        deadline = time.monotonic() + 60
        while count > 0:
            assert waiter.poll(max(deadline - time.monotonic(), 0) * 1000), f"{count} reads of {path} never came"
            count -= len(os.read(fd, 4096)) // 16  # one event without a name per read

    try:
        yield wait
    finally:
        os.close(fd)


def _answer_at(path: str) -> bytes | None:
    """What a connection to ``path`` is told at once (the cell's own server tells nothing)."""
    probe = socket.socket(socket.AF_UNIX)
    probe.settimeout(1)
    with probe:
        try:
            probe.connect(path)
            return probe.recv(100)
        except OSError:
            return None


def _stop(pid: int) -> None:
    """Stop ``pid`` and wait until each of its threads has stopped: until then it still runs (listens again, say)."""
    os.kill(pid, signal.SIGSTOP)

    def stopped() -> bool:
        states = []
        for task in os.listdir(f"/proc/{pid}/task"):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/task/{task}/stat") as f:
                states.append(f.read().rsplit(")", 1)[1].split()[0])
        return set(states) == {"T"}

    _wait_until(stopped, f"process {pid} to stop")


def _wait_until(condition: Callable[[], bool], what: str) -> None:
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"waited in vain for {what}"
        time.sleep(0.01)


def test_a_relay_whose_daemon_died_runs_its_cell_on_the_one_launched_meanwhile(lite):
    """It asks its socket which daemon it reached: the pid file names the next one by then."""
    assert lite.run("0").rc == 0
    old = lite.pid()
    _stop(old)
    path, nonce = lite.cell("print('ran')\n1")
    late = lite.start("run", path, nonce)
    _wait_for_queued(lite.prefix + ".sock", 1)
    _stop(late.pid)  # it sees the death only after another relay launched the next daemon
    os.killpg(old, signal.SIGKILL)
    assert lite.run("2").report == {"result": "2", "restarted": True}
    os.kill(late.pid, signal.SIGCONT)
    done = lite.finish(late, nonce)
    assert (done.rc, done.out, done.report) == (0, ["ran\n"], {"result": "1", "restarted": True})


def _rows(table: str, keep: Callable[[list[str]], bool]) -> int:
    """How many rows of the kernel table ``table`` pass ``keep``."""
    with open(table) as f:
        return sum(1 for row in map(str.split, f) if keep(row))


def _wait_for_rows(table: str, keep: Callable[[list[str]], bool], count: int, what: str) -> None:
    """Wait (at most 60 s) until ``count`` rows of the kernel table ``table`` pass ``keep``."""
    deadline = time.monotonic() + 60
    while True:
        found = _rows(table, keep)
        if found >= count:
            return
        assert time.monotonic() < deadline, f"{found} of {count} relays reached the {what}"
        time.sleep(0.01)


def _wait_for_queued(sock: str, count: int) -> None:
    """Wait until ``count`` connections sit in the queue of the listener at ``sock`` (none taken)."""
    _wait_for_rows("/proc/net/unix", lambda row: row[-1] == sock and row[5] == "02", count, "queue")


def _is_lock_waiter(inode: int) -> Callable[[list[str]], bool]:
    return lambda row: "->" in row and row[6].endswith(f":{inode}")


def _lock_waiters(inode: int) -> int:
    return _rows("/proc/locks", _is_lock_waiter(inode))


def _wait_for_lock_waiters(inode: int, count: int) -> None:
    _wait_for_rows("/proc/locks", _is_lock_waiter(inode), count, "lock")


@pytest.mark.parametrize(
    ("daemon", "startup", "log"),
    [
        # The end of a long log, where the start-up error is.
        ("import sys\nsys.stderr.write('h' * 5000 + 'the error')\nsys.exit(1)", None, "h" * 1991 + "the error"),
        # Alive but never listening: the relay's start-up budget runs out.
        ("import time\ntime.sleep(600)", "1.0", "no interpreter listened within 1 seconds"),
        # Listening but never taking a connection (as a forked child holding the listener would): the same.
        ("import socket, sys, time\nserver = socket.socket(socket.AF_UNIX)\nserver.bind(sys.argv[1] + '.sock')\n"
         "server.listen(16)\ntime.sleep(600)", "1.0", "no interpreter took the code within 1 seconds"),
    ],
)
def test_an_interpreter_that_does_not_come_up_fails_the_run(lite, monkeypatch, daemon, startup, log):
    Path(lite.prefix + "_daemon.py").write_text(daemon)
    if startup is not None:  # the relay's start-up budget, shortened
        client = patched(CLIENT_SOURCE, "STARTUP_TIMEOUT = 60.0", f"STARTUP_TIMEOUT = {startup}")
        monkeypatch.setattr(lite_module, "CLIENT_SOURCE", client)
        # Launched, and listening where it does, before that budget starts: a busy machine's slow
        # start-up of the interpreter does not spend it.
        assert lite.relay("launch").returncode == 0
        if "took" in log:
            lite.wait_for("p.sock")
    path, nonce = lite.cell("print(1)")
    done = lite.finish(lite.start("run", path, nonce), nonce)
    assert (done.rc, done.report, os.path.exists(path)) == (3, {"daemon": "failed", "log": log}, False)


def test_a_run_that_only_ever_reaches_a_foreign_listener_fails_within_its_start_up_budget(lite, monkeypatch):
    """The daemon is stopped, its listener still in the kernel's table, while another process listens at its path."""
    monkeypatch.setattr(lite_module, "CLIENT_SOURCE", patched(CLIENT_SOURCE, "STARTUP_TIMEOUT = 60.0", "STARTUP_TIMEOUT = 1.0"))
    assert lite.run("0").rc == 0
    _stop(lite.pid())
    sock = lite.prefix + ".sock"
    os.remove(sock)
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(sock)
        server.listen(16)
        path, nonce = lite.cell("print(1)")
        done = lite.finish(lite.start("run", path, nonce), nonce)
    assert (done.rc, os.path.exists(path)) == (3, False)
    assert done.report["log"].startswith("no interpreter took the code within 1 seconds\n"), done.report


def test_settle_leaves_a_starting_interpreter_alone_and_the_next_run_reports_the_restart(lite):
    """A call that timed out while the interpreter was starting must not restart that start."""
    gate = lite.root + "/gate"
    slow = f"import os, time\nwhile not os.path.exists({gate!r}):\n    time.sleep(0.01)\n"
    Path(lite.prefix + "_daemon.py").write_text(slow + DAEMON_SOURCE)
    path, nonce = lite.cell("print(1)")
    relay = lite.start("run", path, nonce)
    deadline = time.monotonic() + 60
    while not (os.path.exists(lite.prefix + ".pid") and daemon_pids(lite.prefix) == [lite.pid()]):
        assert time.monotonic() < deadline, "the relay never launched the interpreter"
        time.sleep(0.01)
    relay.kill()  # the call's time limit
    relay.wait(10)
    starting = lite.pid()
    assert lite.relay("settle", "1").stdout == b'{"restarted": false}\n'
    Path(gate).touch()
    done = lite.run("print(2)")
    assert (done.rc, done.out, done.report, daemon_pids(lite.prefix)) == (0, ["2\n"], {"restarted": True}, [starting])


def test_a_silent_connection_is_dropped_at_the_request_limit(lite):
    daemon = patched(DAEMON_SOURCE, "REQUEST_TIMEOUT = 10.0", "REQUEST_TIMEOUT = 0.5")
    Path(lite.prefix + "_daemon.py").write_text(daemon)
    assert lite.run("1").rc == 0
    with socket.socket(socket.AF_UNIX) as silent:
        silent.connect(lite.prefix + ".sock")
        silent.settimeout(60)
        assert silent.recv(1) == b""
    assert lite.run("2").report == {"result": "2"}


# The lost case shrinks the daemon's send buffer from inside the cell, so that the pump
# is stuck with output in hand when the cell ends, whatever the kernel's socket sizes.
_SMALL_BUFFER = (
    "import socket\nconn = get_ipython().showtraceback.__globals__['current']\n"
    "conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)\n"
)


# One line longer than the grace takes to read: the bytes the reader takes are what moves.
# Holds the "done" of a cell given up on until the test opens the gate, while its output may still move.
_HOLD_DONE = _DAEMON + """import os, time
free = daemon['free']
def held():
    deadline = time.monotonic() + 60
    while not os.path.exists(GATE) and time.monotonic() < deadline:
        time.sleep(0.01)
    daemon['free'] = free
    free()
daemon['free'] = held
"""


@pytest.mark.parametrize(("lines", "width", "lost"), [(1, 70_000, False), (600, 99, True)])
def test_output_after_the_cell_ends_is_drained_while_it_moves(lite, lines, width, lost):
    """A slow reader still gets everything; a reader stalled past the grace gets a report that says so."""
    assert lite.relay("launch").returncode == 0
    gate, last = lite.root + "/gate", str(lines - 1).rjust(width, "x")
    code = f"for i in range({lines}):\n    print(str(i).rjust({width}, 'x'))"
    path, _ = lite.cell(_SMALL_BUFFER + (f"GATE = {gate!r}\n" + _HOLD_DONE if lost else "") + code)
    deadline = time.monotonic() + 60
    while True:  # the daemon may still be loading IPython
        sock = socket.socket(socket.AF_UNIX)
        try:
            sock.connect(lite.prefix + ".sock")
            break
        except OSError:
            sock.close()
            assert time.monotonic() < deadline
            time.sleep(0.01)
    data = b""
    with sock:
        sock.sendall(json.dumps({"path": path}).encode() + b"\n")
        data = sock.recv(len(b'{"t": "took"}\n'), socket.MSG_WAITALL)
        sock.sendall(b"go\n")  # the cell starts on the relay's word
        while lost and "dropping the rest of out" not in Path(lite.prefix + ".log").read_text():
            assert time.monotonic() < deadline + 60, "the daemon never gave up on the stalled output"
            time.sleep(0.05)  # 60 KB fit in the daemon's pipe, so the cell ends unread
        # Given up on, the rest of the output goes to the log, never to the relay, even before the report.
        sock.settimeout(0.05)
        while lost and f"between cells] {last}\n" not in Path(lite.prefix + ".log").read_text() and last not in str(data):
            assert time.monotonic() < deadline + 120, "the given-up output went nowhere"
            with contextlib.suppress(TimeoutError):
                data += sock.recv(2048)
        Path(gate).touch()
        sock.settimeout(60)
        while chunk := sock.recv(2048):
            data += chunk
            # About 10 KB/s, slower than the cell writes: seconds of output are still queued when it ends.
            time.sleep(0 if lost else 0.2)
    frames = [json.loads(line) for line in data.splitlines()]
    out, expected = [f["d"] for f in frames if f["t"] == "out"], [str(i).rjust(width, "x") + "\n" for i in range(lines)]
    if lost:
        assert frames[-1]["report"] == {"lost": ["out"]} and out == expected[: len(out)] != expected
    else:
        assert frames[-1]["report"] == {} and out == expected
