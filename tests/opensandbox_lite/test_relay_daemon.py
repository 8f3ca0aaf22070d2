"""The relay client and the interpreter daemon, run for real as local processes."""

from __future__ import annotations

import os
import signal
import threading
import time

import pytest

from tests.fakes.lite_daemon import daemon_pids

from .conftest import parse


@pytest.mark.parametrize(
    ("code", "rc", "out", "err", "report"),
    [
        ("print('hi')\n1 + 1", 0, ["hi\n"], [], {"result": "2"}),
        (
            "import os, sys\nsys.stdout.write('a\\rb\\n'); print(); print('\\u00e9')\n"
            "os.write(1, b'\\xff\\n'); print('tail', end='')",
            0,
            ["a\rb\n", "\n", "\u00e9\n", "\ufffd\n", "tail"],
            [],
            {},
        ),
        ("import subprocess, sys\nsubprocess.run(['echo', 'child'])\nprint('e', file=sys.stderr)", 0,
         ["child\n"], ["e\n"], {}),  # fmt: skip
        ("raise ValueError('bad')", 1, [], [], {"error": {"name": "ValueError", "value": "bad"}}),
        ("def broken(:\n  pass", 1, [], [], None),
        ("input()", 1, [], [], None),
        ("import sys\nsys.stdout.buffer", 1, [], [], None),
    ],
)
def test_run_relays_output_as_printed_and_reports_the_cell(shared_lite, code, rc, out, err, report):
    done = shared_lite.run(code)
    assert (done.rc, done.out, done.err) == (rc, out, err)
    if report is not None:
        assert done.report == report
    else:
        assert set(done.report) == {"error"} and done.report["error"]["name"] in (
            "SyntaxError", "StdinNotImplementedError", "AttributeError")  # fmt: skip


def test_state_persists_and_several_megabytes_arrive_whole(shared_lite):
    assert shared_lite.run("lines = 40000").rc == 0
    done = shared_lite.run("for i in range(lines):\n    print(str(i).rjust(99, 'x'))")
    assert done.rc == 0 and done.report == {}
    assert done.out == [str(i).rjust(99, "x") + "\n" for i in range(40000)]


def test_first_run_launches_and_reports_restart_and_launch_starts_one_daemon(lite):
    done = lite.run("print(1)")
    assert (done.rc, done.out, done.report) == (0, ["1\n"], {"restarted": True})
    first = lite.pid()
    assert lite.relay("launch").returncode == 0 and lite.relay("launch").returncode == 0
    assert daemon_pids(lite.prefix) == [first]
    assert lite.run("2").report == {"result": "2"}


def test_busy_daemon_refuses_a_second_run_and_finishes_the_first(lite):
    root = lite.root
    path, nonce = lite.cell(
        f"import os, time\nopen('{root}/started', 'w').close()\n"
        f"while not os.path.exists('{root}/go'):\n    time.sleep(0.01)\nprint('a')"
    )
    first = lite.start("run", path, nonce)
    lite.wait_for("started")
    second_path, second_nonce = lite.cell("print('b')")
    second = lite.finish(lite.start("run", second_path, second_nonce), second_nonce)
    assert (second.rc, second.out, second.report) == (4, [], {"busy": True})
    assert not os.path.exists(second_path)
    open(root + "/go", "w").close()
    done = lite.finish(first, nonce)
    assert (done.rc, done.out) == (0, ["a\n"])


def test_daemon_dying_mid_cell_is_reported_and_replaced(lite):
    assert lite.run("x = 1").rc == 0
    old = lite.pid()
    done = lite.run("import os\nos._exit(3)")
    assert (done.rc, done.report) == (5, {"daemon": "died"})
    assert lite.pid() != old and daemon_pids(lite.prefix) == [lite.pid()]
    after = lite.run("x")
    assert after.rc == 1 and after.report["error"]["name"] == "NameError" and "restarted" not in after.report


def test_daemon_that_cannot_start_fails_the_run_with_its_log(lite):
    fake = lite.root + "/broken"
    os.makedirs(fake + "/IPython")
    with open(fake + "/IPython/__init__.py", "w") as f:
        f.write("raise ImportError('no IPython in this image')\n")
    lite.env["PYTHONPATH"] = fake
    path, nonce = lite.cell("print(1)")
    done = lite.finish(lite.start("run", path, nonce), nonce)
    assert done.rc == 3 and done.report["daemon"] == "failed"
    assert done.report["log"].count("ImportError: no IPython in this image") == 1 and not os.path.exists(path)


@pytest.mark.parametrize(
    ("cell", "grace", "restarted"),
    [
        ("import time\nopen(STARTED, 'w').close()\ntime.sleep(120)", "5", False),
        (
            "import subprocess, time\nchild = subprocess.Popen(['sleep', '120'])\n"
            "open(CHILD, 'w').write(str(child.pid))\nopen(STARTED, 'w').close()\n"
            "while True:\n    try:\n        time.sleep(120)\n    except KeyboardInterrupt:\n        pass",
            "1",
            True,
        ),
    ],
)
def test_killed_relay_interrupts_the_cell_and_settle_waits_or_restarts(lite, cell, grace, restarted):
    assert lite.run("kept = 'yes'").rc == 0
    old = lite.pid()
    started, child = lite.root + "/started", lite.root + "/child"
    path, nonce = lite.cell(cell.replace("STARTED", repr(started)).replace("CHILD", repr(child)))
    relay = lite.start("run", path, nonce)
    lite.wait_for("started")
    relay.kill()
    relay.wait(10)
    assert lite.relay("settle", grace).stdout.decode().strip() == f'{{"restarted": {str(restarted).lower()}}}'
    assert (lite.pid() != old) is restarted and daemon_pids(lite.prefix) == [lite.pid()]
    if restarted:
        assert not os.path.exists(f"/proc/{open(child).read()}/cmdline") or _zombie(int(open(child).read()))
    after = lite.run("kept")
    assert after.report.get("result") == (None if restarted else "'yes'")


def _zombie(pid: int) -> bool:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "Z"


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


@pytest.mark.parametrize("pause", [0, 8])
def test_output_after_the_cell_ends_is_drained_while_it_moves(lite, pause):
    """A slow reader still gets everything; a reader stalled past the grace gets a report that says so."""
    assert lite.relay("launch").returncode == 0
    count = 4000
    path, nonce = lite.cell(
        f"for i in range({count}):\n    print(str(i).rjust(99, 'x'))\nopen({lite.root + '/ended'!r}, 'w').close()"
    )
    relay = lite.start("run", path, nonce)
    chunks: list[bytes] = []

    def slow_reader() -> None:
        while chunk := relay.stdout.read1(4096):
            chunks.append(chunk)
            time.sleep(0.1)

    reader = threading.Thread(target=slow_reader)
    reader.start()
    if pause:
        lite.wait_for("ended")
        relay.send_signal(signal.SIGSTOP)
        time.sleep(pause)  # the stall under test, not a readiness wait
        relay.send_signal(signal.SIGCONT)
    stderr = relay.stderr.read()
    relay.wait(60)
    reader.join(60)
    done = parse(relay.returncode, b"".join(chunks), stderr, nonce)
    expected = [str(i).rjust(99, "x") + "\n" for i in range(count)]
    if pause:
        assert done.report == {"lost": ["out"]} and done.out == expected[: len(done.out)] != expected
    else:
        assert done.report == {} and done.out == expected
