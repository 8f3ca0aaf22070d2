"""The relay client and the interpreter daemon, run for real as local processes."""

from __future__ import annotations

import json
import os
import signal
import socket
import time
from pathlib import Path

import pytest

from tests.fakes.lite_daemon import daemon_pids



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
    ],
)
def test_run_relays_output_as_printed_and_reports_the_cell(shared_lite, code, rc, out, err, report):
    done = shared_lite.run(code)
    if isinstance(report, tuple):
        report = {"error": {"name": report[0], "value": report[1] or done.report["error"]["value"]}}
    assert (done.rc, done.out, done.err, done.report) == (rc, out, err, report)


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
    path, nonce = lite.cell(
        f"import subprocess, time\nopen({child!r}, 'w').write(str(subprocess.Popen(['sleep', '120']).pid))\n"
        "while True:\n    try:\n        time.sleep(120)\n    except KeyboardInterrupt:\n        pass"
    )
    relay = lite.start("run", path, nonce)
    lite.wait_for("child")
    relay.kill()
    relay.wait(10)
    assert lite.relay("settle", "1").stdout == b'{"restarted": true}\n'
    assert lite.pid() != old and daemon_pids(lite.prefix) == [lite.pid()]
    assert _gone(int(open(child).read()))  # killed with the group
    assert lite.run("kept").report["error"]["name"] == "NameError"


def _gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_settle_relaunches_a_dead_daemon_and_unknown_mode_fails(lite):
    assert lite.relay("launch").returncode == 0
    os.killpg(lite.pid(), signal.SIGKILL)
    assert lite.relay("settle", "5").stdout.strip() == b'{"restarted": true}'
    bad = lite.relay("frobnicate")
    assert (bad.returncode, bad.stderr) == (1, b"unknown command: frobnicate\n")


def test_concurrent_relays_after_a_death_start_one_daemon(lite):
    assert lite.run("0").rc == 0
    os.killpg(lite.pid(), signal.SIGKILL)
    cells = [lite.cell(f"import time\ntime.sleep(0.5)\n{i}") for i in range(6)]
    procs = [(lite.start("run", path, nonce), nonce) for path, nonce in cells]
    results = [lite.finish(proc, nonce) for proc, nonce in procs]
    assert {r.rc for r in results} <= {0, 4} and 0 in {r.rc for r in results}, results
    assert daemon_pids(lite.prefix) == [lite.pid()]
    with open(lite.prefix + ".log") as f:
        assert f.read().count("ready pid=") == 2


# The lost case shrinks the daemon's send buffer from inside the cell, so that the pump
# is stuck with output in hand when the cell ends, whatever the kernel's socket sizes.
_SMALL_BUFFER = (
    "import socket\nconn = get_ipython().showtraceback.__globals__['current']\n"
    "conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)\n"
)


@pytest.mark.parametrize(("lines", "lost"), [(1200, False), (600, True)])
def test_output_after_the_cell_ends_is_drained_while_it_moves(lite, lines, lost):
    """A slow reader still gets everything; a reader stalled past the grace gets a report that says so."""
    assert lite.relay("launch").returncode == 0
    code = f"for i in range({lines}):\n    print(str(i).rjust(99, 'x'))"
    path, _ = lite.cell(_SMALL_BUFFER * lost + code)
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
        while lost and "dropping the rest of out" not in Path(lite.prefix + ".log").read_text():
            assert time.monotonic() < deadline + 60, "the daemon never gave up on the stalled output"
            time.sleep(0.05)  # 60 KB fit in the daemon's pipe, so the cell ends unread
        while chunk := sock.recv(2048):
            data += chunk
            # About 10 KB/s, slower than the cell writes: seconds of output are still queued when it ends.
            time.sleep(0 if lost else 0.2)
    frames = [json.loads(line) for line in data.splitlines()]
    out, expected = [f["d"] for f in frames if f["t"] == "out"], [str(i).rjust(99, "x") + "\n" for i in range(lines)]
    if lost:
        assert frames[-1]["report"] == {"lost": ["out"]} and out == expected[: len(out)] != expected
    else:
        assert frames[-1]["report"] == {} and out == expected
