"""What the OpenSandbox stand-in needs of the machine, what its sandbox processes start with, and whom it answers.

Most cases run the stand-in in a process of its own: the signals it ignores and the PATH it
searches are that process's, never those of the stand-in the rest of the session shares.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import io
import json
import os
import select
import shutil
import signal
import stat
import shlex
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import zipfile
from pathlib import Path
from typing import Any

import httpx
import pytest
from botocore.auth import SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

from tests.fakes import containers, opensandbox_server, standin, tree_copy
from tests.fakes.agentcore_fixtures import CREDENTIALS, agentcore, agentcore_service  # noqa: F401 - fixtures
from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - fixtures
from tests.fakes.sigv4 import new_credentials
from tests.fakes.opensandbox_server import TOKEN_HEADER
from tests.fakes.standin import Command, Refuse

ROOT = Path(__file__).resolve().parents[2]

# Started with SIGINT and SIGQUIT ignored, as a background job is: the sandbox's processes (a
# command, and the code route's worker) must not inherit that.
SIGNALS = """import asyncio, signal
signal.signal(signal.SIGINT, signal.SIG_IGN)
signal.signal(signal.SIGQUIT, signal.SIG_IGN)
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

async def main():
    with OpenSandboxStandIn() as service:
        sandbox = await OpenSandbox.create(**service.connection_options(), create_backoff=0.0)
        try:
            command = await sandbox.execute_command("grep SigIgn /proc/self/status")
            code = await sandbox.execute_code("print(open('/proc/self/status').read())")
            init = await sandbox.execute_command("grep SigCgt /proc/1/status")
        finally:
            await sandbox.terminate()
    for result in (command, code, init):
        print([line for line in result.stdout.splitlines() if line.startswith(("SigIgn", "SigCgt"))])

asyncio.run(main())
"""


def _run(program: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", program], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=120)  # fmt: skip


def test_sandbox_processes_start_with_default_signal_dispositions() -> None:
    proc = _run(SIGNALS)
    assert proc.returncode == 0, proc.stderr
    masks = [eval(line)[0].split()[1] for line in proc.stdout.splitlines()]
    # Bits of SIGINT and SIGQUIT: the container's first process catches neither (the kernel drops
    # them for it from inside the container, so a `kill -INT 1` there does not end the sandbox).
    assert [int(mask, 16) & (1 << 1 | 1 << 2) for mask in masks] == [0, 0, 0], proc.stdout


@pytest.mark.parametrize(("stand_in", "bwrap", "says"), [
    ("opensandbox_server.OpenSandboxStandIn", "refusing", "(bwrap: Creating new namespace failed: Operation not "
                                                          "permitted)."),
    ("e2b_server.E2BStandIn", "refusing", "(bwrap: Creating new namespace failed: Operation not permitted)."),
    ("agentcore_server.AgentCoreStandIn", "missing", "(bwrap is not installed). Install Debian's bubblewrap package"),
])
def test_without_bubblewrap_at_work_the_stand_in_fails_at_once_saying_why(tmp_path: Path, stand_in: str, bwrap: str,
                                                                          says: str) -> None:
    if bwrap == "refusing":
        (fake := tmp_path / "bwrap").write_text(
            "#!/bin/sh\necho 'bwrap: Creating new namespace failed: Operation not permitted' >&2\nexit 1\n")
        fake.chmod(0o755)
    env = {**os.environ, "PATH": f"{tmp_path}{os.pathsep}{os.environ['PATH']}" if bwrap == "refusing" else str(tmp_path)}
    module, name = stand_in.split(".")
    proc = _run(f"from tests.fakes.{module} import {name}\n{name}().start()", env)
    assert proc.returncode != 0
    *_, last = proc.stderr.strip().splitlines()
    assert last.startswith(f"RuntimeError: {name} runs each sandbox under bubblewrap, which cannot make one here "
                           + says), last
    assert bwrap == "missing" or ("Root " if os.geteuid() == 0 else "a regular user") in last


ALL_SETTINGS = {"user.max_user_namespaces": "0", "kernel.unprivileged_userns_clone": "0",
                "kernel.apparmor_restrict_unprivileged_userns": "1"}


@pytest.mark.parametrize(("euid", "capabilities", "settings", "says", "never"), [
    (0, 0, ALL_SETTINGS, ["(bwrap: no). Root needs CAP_SYS_ADMIN", "--cap-add SYS_ADMIN, or --privileged"],
     ["user.", "Install"]),
    (0, 1 << 21, ALL_SETTINGS, ["Root has CAP_SYS_ADMIN here, so a policy forbids", "seccomp"], ["needs CAP"]),
    (1000, 0, {"user.max_user_namespaces": "0"},
     ["does not allow this user (user.max_user_namespaces is 0, needed above 0). ", "Root can run the stand-in"],
     ["unprivileged_userns_clone", "apparmor", "CAP_SYS_ADMIN"]),
    (1000, 1 << 21, ALL_SETTINGS,
     ["(user.max_user_namespaces is 0, needed above 0; kernel.unprivileged_userns_clone is 0, needed 1; "
      "kernel.apparmor_restrict_unprivileged_userns is 1, needed 0)"], ["CAP_SYS_ADMIN", "settings allow"]),
    # Only a setting whose value forbids it is named as the cause.
    (1000, 0, {"user.max_user_namespaces": "96362", "kernel.apparmor_restrict_unprivileged_userns": "1"},
     ["does not allow this user (kernel.apparmor_restrict_unprivileged_userns is 1, needed 0)"],
     ["max_user_namespaces", "settings allow"]),
    (1000, 0, {"user.max_user_namespaces": "96362", "kernel.unprivileged_userns_clone": "1"},
     ["settings allow that (user.max_user_namespaces is 96362; kernel.unprivileged_userns_clone is 1), so something "
      "else refuses it: a seccomp or AppArmor profile"], ["does not allow", "needed"]),
    (1000, 0, {}, ["settings allow that (it has none of the settings that govern it), so something else"],
     ["does not allow", "is 0"]),
])
def test_the_message_says_what_applies_to_the_caller_here(euid, capabilities, settings, says, never) -> None:
    text = containers.cannot_make_containers("AStandIn", "bwrap: no", euid, capabilities, settings)
    assert all(part in text for part in says) and not any(part in text for part in never), text


# The stand-in's process dies by SIGKILL while its sandboxes run a command (which started a
# process of a session of its own) and a cell: nothing of them is left, and the next stand-in
# removes the directories it left. Until then, neither sandbox sees the other's processes.
KILLED = r"""import asyncio, json, os, sys
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

ZOMBIES = "cat /proc/[0-9]*/stat 2>/dev/null | grep -c ') Z ' || true"
LIST = "for p in /proc/[0-9]*; do tr '\\0' ' ' < $p/cmdline; echo; done"

async def main():
    service = OpenSandboxStandIn()
    service.start()
    one, other = [await OpenSandbox.create(**service.connection_options(), create_backoff=0.0) for _ in "12"]
    await one.execute_code("import os\nworker = os.getpid()")
    running = asyncio.create_task(one.execute_command("setsid sleep 301 & exec sleep 300", timeout=0))
    holding = asyncio.create_task(other.execute_code("import time\nopen('/tmp/held', 'w').close()\ntime.sleep(600)"))
    while "sleep 301" not in (await one.execute_command(LIST)).stdout or \
            (await other.execute_command("test -e /tmp/held && echo held")).stdout.strip() != "held":
        await asyncio.sleep(0.05)
    seen = [(await sandbox.execute_command(LIST)).stdout for sandbox in (one, other)]
    # A process whose parent is gone ends as a child of the sandbox's first process (bubblewrap's), which reaps it.
    await one.execute_command("(sleep 0.1 &)")
    for _ in range(600):
        zombies = (await one.execute_command(ZOMBIES)).stdout.split()
        if zombies == ["0"]:
            break
        await asyncio.sleep(0.05)
    print(json.dumps({"seen": [[line for line in text.splitlines() if "sleep 30" in line] for text in seen],
                      "one": (await one.execute_command("echo $$")).stdout.strip(), "zombies": zombies,
                      "tags": [f"OPENSANDBOX_STANDIN_SANDBOX={s.sandbox_id}" for s in (one, other)],
                      "inits": [s.container.process.pid for s in service.sandboxes.values()],
                      "dirs": [str(service.tmp), str(service._trees)]}), flush=True)
    await asyncio.sleep(600)
    running.cancel()
    holding.cancel()

asyncio.run(main())
"""


def _tagged(tags: list[str]) -> list[int]:
    """Live processes of the host whose environment holds one of ``tags``."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/environ", "rb") as f:
                if set(f.read().decode(errors="replace").split("\0")) & set(tags):
                    found.append(int(pid))
    return found


def _descendants(pid: int) -> list[int]:
    """The host pids of the live processes that ``pid`` started, and those they started."""
    parents = {}
    for child in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{child}/stat") as f:
            parents[int(child)] = int(f.read().rsplit(")", 1)[1].split()[1])
    found, level = [], [pid]
    while level:
        level = [child for child, parent in parents.items() if parent in level]
        found += level
    return found


def _alive(pid: int) -> bool:
    with contextlib.suppress(OSError):
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    return False


def test_a_killed_stand_in_leaves_no_process_and_the_next_removes_its_directories() -> None:
    with subprocess.Popen([sys.executable, "-c", KILLED], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as proc:
        try:
            ready = select.select([proc.stdout], [], [], 120)[0] and proc.stdout.readline()
            assert ready, proc.stderr.read() if proc.poll() is not None else "no report within 120 s"
            report = json.loads(ready)
            assert _tagged(report["tags"]) and all(map(_alive, report["inits"]))
            assert all(map(os.path.isdir, report["dirs"]))  # kept, whatever starts meanwhile, while it runs
        finally:
            proc.kill()
            proc.wait()
    one, other = report["seen"]
    assert sorted(line.strip() for line in one) == ["sleep 300", "sleep 301"] and other == [], report
    assert int(report["one"]) < 100 and report["zombies"] == ["0"], report  # a process list of its own
    deadline = time.monotonic() + 60
    while (left := _tagged(report["tags"]) + [pid for pid in report["inits"] if _alive(pid)]) and \
            time.monotonic() < deadline:
        time.sleep(0.1)
    assert left == []
    # Removed now by this start, or by one of another run that started since the kill.
    started = _run("from tests.fakes.opensandbox_server import OpenSandboxStandIn\n"
                   "with OpenSandboxStandIn() as service:\n    print(service.tmp, service._trees)")
    assert started.returncode == 0, started.stderr
    assert not any(map(os.path.exists, report["dirs"])), report["dirs"]
    assert not any(map(os.path.exists, started.stdout.split()))  # its own, removed when it stopped


# The stand-in's process is killed once its directory is made but not yet held, or while a sandbox
# runs. Whatever it made, the next stand-in removes.
KILLED_STARTING = r"""import os
from tests.fakes import containers, standin
from tests.fakes.e2b_server import E2BStandIn

held = standin._hold

def hold(directory, *, wait):
    if wait:  # its own directory
        os.kill(os.getpid(), 9)
    return held(directory, wait=wait)

if AT == "making its directory":
    standin._hold = hold
service = E2BStandIn()
service.start()
(root := service.tmp / "sbx").mkdir()
service.call(containers.Container.start(root))
os.kill(os.getpid(), 9)
"""


@pytest.mark.parametrize("at", ["making its directory", "with a sandbox running"])
def test_a_stand_in_killed_as_it_starts_leaves_nothing_after_the_next(tmp_path: Path, at: str) -> None:
    env = {**os.environ, "TMPDIR": str(tmp_path)}
    killed = _run(f"AT = {at!r}\n" + KILLED_STARTING, env)
    assert killed.returncode == -9, killed.stderr
    started = _run("from tests.fakes.e2b_server import E2BStandIn\nwith E2BStandIn(): pass", env)
    assert (started.returncode, os.listdir(tmp_path)) == (0, []), started.stderr


# The stand-in runs in a process that reaps no orphan it is handed (as a container's first process
# that is the test run itself may not): commands killed on their timeout, and code workers killed
# with their sandbox, are still reaped, nothing of theirs is left to it, and every sandbox ends. As
# in a real sandbox, each command and code worker leads a session of its own: a command that kills
# its own process group ends by that signal.
UNREAPED = r"""import asyncio, ctypes, json, os
assert ctypes.CDLL(None).prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER: orphans come here
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

def zombies():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                state, parent = f.read().rsplit(")", 1)[1].split()[:2]
        except OSError:
            continue
        if state == "Z" and int(parent) == os.getpid():
            found.append(int(pid))
    return found

def state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None

async def main():
    with OpenSandboxStandIn() as service:
        sandboxes = [await OpenSandbox.create(**service.connection_options(), create_backoff=0.0) for _ in "123"]
        timed_out = []
        for sandbox in sandboxes:
            await sandbox.execute_code("x = 1")
            for _ in "123":
                timed_out.append((await sandbox.execute_command("sleep 300", timeout=0.2)).status.value)
        group = await sandboxes[0].execute_command("sleep 300 & kill -- -$$; echo survived")
        session = await sandboxes[0].execute_code("import os\nprint(os.getsid(0) == os.getpid())")
        left = zombies()
        for sandbox in sandboxes:
            await sandbox.terminate()
        # Their bubblewraps outside, once ended, are reaped too, before the stand-in stops.
        outside = [s.container.process.pid for s in service.sandboxes.values()]
        for _ in range(1200):
            if all(state(pid) in (None, "Z") for pid in outside):
                break
            await asyncio.sleep(0.05)
        left += [pid for pid in outside if state(pid) == "Z"]
    print(json.dumps({"timed_out": timed_out, "zombies": left + zombies(), "group": [group.stdout, group.error],
                      "session": session.stdout}))

asyncio.run(main())
"""


def test_what_a_sandbox_runs_is_reaped_without_the_host_and_leads_a_session_of_its_own() -> None:
    proc = _run(UNREAPED)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["timed_out"] == ["timeout"] * 9 and report["zombies"] == [], report
    assert report["group"] == ["", "CommandExecError: 143"] and report["session"] == "True\n", report


# A sandbox's start given up (its caller cancelled) is a cancellation, and leaves no failure behind that nothing takes
# (asyncio's "Future exception was never retrieved", once what held it is collected).
GIVEN_UP = """import asyncio, gc, tempfile
from pathlib import Path
from tests.fakes.containers import Container

async def main():
    starting = asyncio.ensure_future(Container.start(Path(tempfile.mkdtemp())))
    await asyncio.sleep(0)  # one step of the loop: bubblewrap started, its agent not yet heard from
    starting.cancel()
    try:
        await starting
    except asyncio.CancelledError:
        print("cancelled")

asyncio.run(main())
gc.collect()
"""


def test_a_sandbox_start_given_up_is_cancelled_and_leaves_nothing_unretrieved(tmp_path: Path) -> None:
    proc = _run(GIVEN_UP, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "cancelled\n", "")


async def _sandboxes(request: pytest.FixtureRequest, stand_in: str, count: int) -> list[tuple[Any, Path]]:
    """``count`` sandboxes of the library on ``stand_in``'s stand-in, with their trees on the host."""
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

    service, made = request.getfixturevalue(stand_in), []
    for _ in range(count):
        if stand_in == "agentcore":
            made.append(sandbox := BedrockAgentCoreSandbox(**CREDENTIALS))
            await sandbox._ensure_started()
        else:
            made.append(await {"e2b": E2BSandbox, "opensandbox": OpenSandbox}[stand_in].create(
                **service.connection_options(), create_backoff=0.0))
    trees = getattr(service, "sessions", None) or service.sandboxes
    return [(sandbox, trees[sandbox.sandbox_id].root) for sandbox in made]


# What a sandbox's code reaches in each stand-in: the host read-only (the checkout, its packages, the
# host's /tmp and /var/tmp, a link another user planted in the host's /tmp), a process list of its own
# whose PID 1 and /proc it cannot take down, no capability, neither another sandbox's tree nor, through
# the file routes, the host behind a link it made.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
@pytest.mark.parametrize("case", ["the host", "processes", "capabilities", "PID 1", "another tree", "links",
                                  "a link swapped", "descriptors", "pip install"])
async def test_a_sandbox_reaches_nothing_outside_its_own(request, tmp_path: Path, stand_in: str, case: str) -> None:
    made = await _sandboxes(request, stand_in, 2 if case == "another tree" else 1)
    (sandbox, tree), *others = made
    own = "/tmp" if stand_in == "opensandbox" else "/home/user"
    mark = f"canary-{os.getpid()}-{stand_in}"
    probes = [ROOT / mark, Path(sysconfig.get_path("purelib")) / f"{mark}.pth", tmp_path / mark,
              Path("/var/tmp", mark), Path(tempfile.gettempdir(), f"{mark}.png")]
    try:
        if case == "the host":
            for canary in probes[2:4]:
                canary.write_text("canary")
            probes[4].symlink_to(tmp_path / mark)  # another user's link at a fixed name
            wrote = await sandbox.execute_command("; ".join(f"echo x >> {shlex.quote(str(p))}" for p in probes)
                                                 + f"; mkdir /{mark} && echo made")  # its own root is read-only too
            assert [p.exists() for p in probes[:2]] + [p.read_text() for p in probes[2:]] == [False] * 2 + [
                "canary"] * 3 and "made" not in wrote.stdout, wrote
        elif case == "processes":
            pids = (await sandbox.execute_command("ls /proc")).stdout.split()
            assert "1" in pids and str(os.getpid()) not in pids, pids
        elif case == "capabilities":
            assert (await sandbox.execute_command("grep CapEff /proc/self/status")).stdout.split() == [
                "CapEff:", "0000000000000000"]
        elif case == "PID 1":
            await sandbox.execute_command("kill -INT 1; kill -TERM 1; kill -9 1; umount -l /proc; echo x > /proc/1/comm")
            assert (await sandbox.execute_command("test -e /proc/1/stat && echo held")).stdout.strip() == "held"
            # Nor can it trace its agent or write its memory (/proc/1/mem), which need what reading /proc/1/environ needs.
            assert (await sandbox.execute_command("cat /proc/1/environ >/dev/null && echo read")).stdout == ""
        elif case == "another tree":
            (secret := others[0][1] / "tmp" / "secret").write_text("secret")
            seen = await sandbox.execute_command(f"cat {secret}; echo x > {secret}; ls {others[0][1]}")
            assert "secret" not in seen.stdout and secret.read_text() == "secret", seen
        elif case == "pip install":  # a command's pip installs a package, its command too, in the sandbox's own Python
            wheel = io.BytesIO()
            with zipfile.ZipFile(wheel, "w") as archive:
                for name, text in [("canary_cli.py", "def main(): print('ran')"),
                                   ("canary_cli-1.dist-info/METADATA", "Metadata-Version: 2.1\nName: canary-cli\nVersion: 1\n"),
                                   ("canary_cli-1.dist-info/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n"),
                                   ("canary_cli-1.dist-info/entry_points.txt", "[console_scripts]\ncanary-cli = canary_cli:main\n"),
                                   ("canary_cli-1.dist-info/RECORD", "")]:
                    archive.writestr(name, text)
            await sandbox._write_files([(f"{own}/canary_cli-1-py3-none-any.whl", wheel.getvalue())])
            ran = await sandbox.execute_command(f"pip install -q {own}/canary_cli-1-py3-none-any.whl && canary-cli")
            assert ran.stdout.strip() == "ran" and not list(Path(sysconfig.get_path("purelib")).glob("canary_cli*")), ran
        elif case == "descriptors":  # none of its agent's, nor the stand-in's
            fds = await sandbox.execute_code("import os\nfor fd in os.listdir('/proc/self/fd'):\n"
                                             "    print(os.path.realpath(f'/proc/self/fd/{fd}'))")
            assert "socket:" not in fds.stdout, fds
        elif case == "a link swapped":  # between a directory of its own and the host, while the routes write
            (outside := tmp_path / "outside").mkdir()
            await sandbox.execute_code(f"d, kept, out = '{own}/d', '{own}/kept', {str(outside)!r}\n" + """
import os, shutil, threading
os.makedirs(d, exist_ok=True)
def swap():
    while True:
        try:
            os.rename(d, kept); os.symlink(out, d); os.unlink(d); os.rename(kept, d)
        except OSError:  # the route made a directory d meanwhile
            shutil.rmtree(d, ignore_errors=True)
            os.path.islink(d) and os.unlink(d)
            os.rename(kept, d)
"""
                "threading.Thread(target=swap, daemon=True).start()")
            for _ in range(100):
                with contextlib.suppress(Exception):
                    await sandbox._write_files([(f"{own}/d/x", b"x")])
            assert os.listdir(outside) == []
        else:
            (outside := tmp_path / "outside").mkdir()
            (tmp_path / "secret").write_text("secret")
            await sandbox.execute_command(f"ln -s {outside} {own}/out; ln -s {tmp_path}/secret {own}/leak")
            with contextlib.suppress(Exception):
                await sandbox._write_files([(f"{own}/out/x", b"x")])
            assert await sandbox.download_file(f"{own}/leak") != b"secret" and os.listdir(outside) == []
    finally:
        for probe in probes:
            with contextlib.suppress(FileNotFoundError):
                probe.unlink()
        for other, _ in made:
            await other.terminate()


# What a cell makes of System V shared memory and POSIX message queues is its sandbox's own: another sandbox finds
# none, and none is left on the host once the sandbox is terminated.
IPC = """import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
def ipc(make):
    segment = libc.shmget({key}, 4096 if make else 0, 0o1600 if make else 0)
    queue = libc.mq_open(b"/{name}", os.O_RDWR | os.O_CREAT * make, 0o600, None)
    return segment, queue, ctypes.get_errno()
"""


@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_sandboxs_ipc_objects_are_its_own(request, stand_in: str) -> None:
    key, name = 0x7500000 + os.getpid() % 0x100000, f"vorn-{os.getpid()}"
    program = IPC.format(key=key, name=name)
    (one, _), (other, _) = await _sandboxes(request, stand_in, 2)
    try:
        made = await one.execute_code(program + "segment, queue, _ = ipc(True)\nprint(segment >= 0, queue >= 0)")
        seen = await other.execute_code(program + "print(ipc(False))")
        await one.terminate()
        namespace = {}
        exec(program, namespace)
        left = namespace["ipc"](False)
        assert (made.stdout.split(), seen.stdout.strip(), left) == (
            ["True", "True"], f"(-1, -1, {errno.ENOENT})", (-1, -1, errno.ENOENT)), (made, seen)
    finally:
        for sandbox in (one, other):
            await sandbox.terminate()
        libc = __import__("ctypes").CDLL(None)  # what a shared namespace left on the host
        if (segment := libc.shmget(key, 0, 0)) >= 0:
            libc.shmctl(segment, 0, None)  # IPC_RMID
        libc.mq_unlink(f"/{name}".encode())


LIST = "for p in /proc/[0-9]*; do tr '\\0' ' ' < $p/cmdline; echo; done"  # the sandbox's processes


# What a sandbox is as a container's: its own directories, written by its code and read through the file routes
# (AgentCore's routes reach no other); its processes start with every signal at its default (`yes` in a pipe ends
# by SIGPIPE) as the stand-in's own user, and a command that times out ends with what it started (E2B's at the
# deadline its SDK sends; AgentCore's, a cell's subprocess, as its client leaves: the cell is interrupted as a Jupyter
# kernel is, its process group with it, where a command in the background ignores SIGINT); its tree's path shows in no
# host process's command line.
@pytest.mark.parametrize(("stand_in", "case"), [
    *[(stand_in, case) for stand_in in ("opensandbox", "e2b", "agentcore")
      for case in ("its own directories", "signals", "its user", "ps", "a timed-out command")],
])
async def test_a_sandbox_is_as_a_containers(request, stand_in: str, case: str) -> None:
    [(sandbox, tree)] = await _sandboxes(request, stand_in, 1)
    try:
        if case == "its own directories":
            tops = {"opensandbox": ["tmp"], "e2b": ["tmp"], "agentcore": []}[stand_in] + (
                ["files", "home", "mnt", "output", "outputs", "workspace"] if stand_in != "opensandbox" else [])
            await sandbox.execute_command("; ".join(f"echo {top} > /{top}/own" for top in tops))
            assert [await sandbox.download_file(f"/{top}/own") for top in tops] == [f"{top}\n".encode() for top in tops]
            assert (await sandbox.download_file("/etc/passwd") is None) is (stand_in == "agentcore")
        elif case == "signals":
            ran = await sandbox.execute_command("bash -c 'yes | head -1 >/dev/null; echo ${PIPESTATUS[0]}'; "
                                                "grep -E '^Sig(Ign|Blk)' /proc/self/status")
            status, _, blocked, _, ignored = ran.stdout.split()
            # Of the standard signals (the C library keeps the first real-time ones for itself).
            assert (status, int(blocked, 16), int(ignored, 16) & 0x7FFFFFFF) == ("141", 0, 0), ran
        elif case == "its user":
            if os.geteuid() == 0:
                pytest.skip("a regular user's sandbox only: root's runs as root")
            assert (await sandbox.execute_command("id -u")).stdout.strip() == str(os.geteuid())
        elif case == "a timed-out command":
            command = "sleep 599" if stand_in == "agentcore" else "sleep 600 & sleep 599"
            assert (await sandbox.execute_command(command, timeout=1)).status.value == "timeout"
            for _ in range(600):
                if "sleep 59" not in (listed := (await sandbox.execute_command(LIST)).stdout):
                    break
                await asyncio.sleep(0.05)
            assert "sleep 59" not in listed, listed
        else:
            lines = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
                    lines.append(f.read().replace(b"\0", b" ").decode(errors="replace"))
            assert not [line for line in lines if str(tree) in line]
    finally:
        await sandbox.terminate()


# A request a sandbox's agent cannot serve fails alone, and the sandbox goes on: a NUL byte in a path (the agent's
# os.open raises ValueError; E2B's SDK sends it as "%00" in the name of each of several files uploaded at once,
# never to be written as such), a FIFO held open by a cell (a download that opened it would wait for its writer:
# the stand-in's whole loop with it; refused as what it is, not as missing), a command larger than the agent's socket takes. A download of a file a cell keeps writing (here once the download has read
# from it) gives the file as it was when opened, and ends. A device or /proc/N/mem is not written, saying why. A
# file larger than a download serves is refused on its size, unread (a sparse one costs the sandbox nothing), and
# one that gives no size is read to its end only so far (/proc/N/pagemap spans the address space), saying so.
@pytest.mark.parametrize(("stand_in", "case"), [
    *[(stand_in, case) for stand_in in ("opensandbox", "e2b", "agentcore")
      for case in ("a NUL byte", "a NUL byte uploaded", "a FIFO", "a growing file", "a sizeless file")],
    *[(stand_in, case) for stand_in in ("opensandbox", "e2b")
      for case in ("a large command", "a device", "/proc", "a sparse file", "a file of /proc", "an odd name")],
])
async def test_a_request_the_sandbox_cannot_serve_fails_alone(request, caplog, stand_in: str, case: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    own = "/tmp" if stand_in == "opensandbox" else "/home/user"  # where every file route reaches
    try:
        if case == "a NUL byte":
            assert await sandbox.download_file(f"{own}/a\0b") is None
        elif case == "a NUL byte uploaded":  # one file, and several at once
            for names in (["a\0b"], ["a\0b", "c\0d"]):
                with pytest.raises(Exception):
                    await sandbox._write_files([(f"{own}/up/{name}", b"data") for name in names])
            assert (await sandbox.execute_command(f"ls -A {own}/up")).stdout == ""
        elif case in ("a device", "/proc"):  # written: /dev/null, the agent's memory
            # (a regular user's kernel refuses the agent's memory itself)
            refused = "a file of /proc" if os.geteuid() == 0 else "Permission denied"
            with pytest.raises(Exception, match="not a regular file" if case == "a device" else refused):
                await sandbox._write_files([("/dev/null" if case == "a device" else "/proc/1/mem", b"data")])
        elif case == "a FIFO":
            await sandbox.execute_code(f"import os, threading\nos.mkfifo('{own}/pipe')\n"
                                       f"held = os.open('{own}/pipe', os.O_RDWR)\n"
                                       "threading.Timer(10, os.write, [held, b'late']).start()")
            assert await sandbox.download_file(f"{own}/pipe") is None
            # Refused as what it is, not as missing (AgentCore's library logs neither).
            said = " ".join(f"{record.getMessage()} {record.exc_info and record.exc_info[1]}" for record in caplog.records)
            assert {"opensandbox": "400 Bad Request", "e2b": "not a regular file"}.get(stand_in, "") in said, said
        elif case == "a growing file":
            await sandbox.execute_code(f"import ctypes, os, threading\nout = os.open('{own}/grow', os.O_WRONLY | os.O_CREAT)\n"
                                       "os.write(out, b'x' * (16 << 20))\nwatch = ctypes.CDLL(None).inotify_init()\n"
                                       f"ctypes.CDLL(None).inotify_add_watch(watch, b'{own}/grow', 1)  # IN_ACCESS\n"
                                       "def grow():\n    os.read(watch, 4096)\n"
                                       "    for _ in range(64):\n        os.write(out, b'y' * (1 << 20))\n"
                                       "threading.Thread(target=grow, daemon=True).start()")
            assert await sandbox.download_file(f"{own}/grow") == b"x" * (16 << 20)
        elif case == "a sparse file":  # costs the sandbox nothing: refused on its size, never read
            watched = await sandbox.execute_code(f"import ctypes, os\nopen('{own}/big', 'wb').truncate(1 << 30)\n"
                                                 "watch = ctypes.CDLL(None).inotify_init1(os.O_NONBLOCK)\n"
                                                 f"print(ctypes.CDLL(None).inotify_add_watch(watch, b'{own}/big', 1))")
            assert int(watched.stdout) > 0, watched  # IN_ACCESS: a read of it, by anyone
            assert await sandbox.download_file(f"{own}/big") is None
            read = await sandbox.execute_code("try:\n    print(len(os.read(watch, 4096)))\nexcept BlockingIOError:\n"
                                              "    print('unread')")
            assert read.stdout.strip() == "unread", read
        elif case == "a sizeless file":  # /proc/N/pagemap: its code worker's, through a link the sandbox made
            await sandbox.execute_code(f"import os\nos.symlink(f'/proc/{{os.getpid()}}/pagemap', '{own}/map')")
            service = request.getfixturevalue(stand_in)
            container = (getattr(service, "sessions", None) or service.sandboxes)[sandbox.sandbox_id].container
            with pytest.raises(OSError, match=r"gives no size .* past the 16 MiB a download reads") as refused:
                service.call(container.read(f"{own}/map"), timeout=60)
            assert refused.value.errno == errno.EFBIG
        elif case == "an odd name":  # written where it was asked, as a form's escapes or a path's
            await sandbox._write_files([(f"{own}/lit%22q", b"X")])
            assert await sandbox.download_file(f"{own}/lit%22q") == b"X"
        elif case == "a file of /proc":  # no size given: read to its end
            assert (await sandbox.download_file("/proc/1/status")).startswith(b"Name:")
        else:
            assert (await sandbox.execute_command("echo " + "x" * 300_000)).stdout == ""
        assert (await sandbox.execute_command("echo alive")).stdout.strip() == "alive"
    finally:
        await sandbox.terminate()



# A file that gives no size (a pipe here, as most of /proc) is read only so far: once past 16 MiB the read stops,
# having taken little more than that from it, however much more it would give.
def test_a_sizeless_read_stops_at_its_cap() -> None:
    source, sink = os.pipe()
    written = 0

    def feed() -> None:
        nonlocal written
        with contextlib.suppress(BrokenPipeError):  # its reader stopped
            while written < 64 << 20:
                written += os.write(sink, b"x" * (1 << 20))
        os.close(sink)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with pytest.raises(OSError, match="past the 16 MiB a download reads") as refused:
            containers.read_opened(source, 0)
    finally:
        feeder.join(60)
    assert refused.value.errno == errno.EFBIG and written <= 18 << 20, written


# A sandbox terminated while its snapshot is taken leaves no snapshot: its tree was being removed as it was
# copied, so the copy may hold any part of it. Either way the kill lands (the copier starting on a tree already
# gone, or just done), the answer says so and nothing is kept.
@pytest.mark.parametrize("when", ["before the copy", "after the copy"])
async def test_a_sandbox_terminated_while_its_snapshot_is_taken_leaves_none(make_sandbox, opensandbox,
                                                                           monkeypatch: pytest.MonkeyPatch,
                                                                           when: str) -> None:
    source = await make_sandbox()
    await source.execute_command("echo kept > /tmp/kept")
    fake, copy = opensandbox.sandboxes[source.sandbox_id], opensandbox_server.copy_tree

    async def killed_meanwhile(root: Path, tops: set[str], target: Path) -> None:
        if when == "after the copy":
            await copy(root, tops, target)
        await opensandbox._kill_sandbox(fake)
        if when == "before the copy":
            await copy(root, tops, target)

    monkeypatch.setattr(opensandbox_server, "copy_tree", killed_meanwhile)
    taken = await _snapshot(opensandbox, source)
    assert (taken.status_code, taken.json()["message"]) == (
        409, f"sandbox {source.sandbox_id} was terminated while its snapshot was taken")
    assert opensandbox.snapshots == {} and not list(opensandbox._trees.glob("snap-*"))


# A snapshot deleted while a sandbox is restored from it makes no sandbox: its tree was being removed as it was
# copied (here its delete lands as the copy ends, which the copy cannot tell), and the answer says so.
async def test_a_snapshot_deleted_while_restored_makes_no_sandbox(make_sandbox, opensandbox,
                                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    source = await make_sandbox()
    await source.execute_command("echo kept > /tmp/kept")
    sid = (await _snapshot(opensandbox, source)).json()["id"]
    trees, restore = set(opensandbox._trees.glob("osb*")), opensandbox_server.restore_tree

    async def deleted_meanwhile(tree: Path, target: Path) -> None:
        await restore(tree, target)
        async with httpx.AsyncClient(timeout=60) as client:
            gone = await client.delete(f"{opensandbox.url('api')}/v1/snapshots/{sid}",
                                       headers={"OPEN-SANDBOX-API-KEY": opensandbox.api_key})
        assert gone.status_code == 204, gone.text

    monkeypatch.setattr(opensandbox_server, "restore_tree", deleted_meanwhile)
    async with httpx.AsyncClient(timeout=60) as client:
        made = await client.post(f"{opensandbox.url('api')}/v1/sandboxes", json={"snapshotId": sid},
                                 headers={"OPEN-SANDBOX-API-KEY": opensandbox.api_key})
    assert (made.status_code, made.json()["message"]) == (404, f"snapshot {sid} was deleted while it was restored")
    assert set(opensandbox._trees.glob("osb*")) == trees and opensandbox.snapshots == {}

def test_a_file_cut_short_while_copied_is_copied_as_it_ends(tmp_path: Path) -> None:
    (source := tmp_path / "source").write_bytes(b"a" * 4096)
    with open(source, "r+b") as grown:  # data, a hole, data: the copy looks for data past the hole
        grown.seek(8 << 20)
        grown.write(b"b")
    fd, size = os.open(source, os.O_RDONLY), source.stat().st_size
    try:
        os.truncate(source, 4096)  # after the copy took its size
        with open(tmp_path / "copy", "wb") as copy:
            tree_copy._copy_file(fd, copy.fileno(), size)
    finally:
        os.close(fd)
    assert (tmp_path / "copy").read_bytes() == b"a" * 4096


async def _snapshot(opensandbox, sandbox) -> httpx.Response:
    """The answer to a snapshot of ``sandbox``, once the snapshot it made (if any) has settled."""
    async with httpx.AsyncClient(timeout=60) as client:
        taken = await client.post(f"{opensandbox.url('api')}/v1/sandboxes/{sandbox.sandbox_id}/snapshots",
                                  headers={"OPEN-SANDBOX-API-KEY": opensandbox.api_key}, json={})
    while taken.status_code == 202 and opensandbox.snapshots[taken.json()["id"]].state == "Creating":
        await asyncio.sleep(0.05)
    return taken


# A snapshot reads the sandbox's tree as its own code could: a link stays a link (a sandbox made from it reads
# through it inside, never the host), one its code swaps in for a directory while the copy runs is never followed
# (the host's files behind it, which the sandbox can read, stay out), a FIFO and a socket are left out, and a
# file or directory its own modes forbid reading fails the snapshot with a 409, saying which, leaving nothing behind. A sparse file keeps its holes (it
# costs the host what it costs the sandbox), a tree deeper than Python's stack, or than a path may be long, is
# copied whole, and a copy, or a restore, that outlasts its bound fails saying so, leaving nothing behind.
# Directories come back with their modes and times.
@pytest.mark.parametrize("case", ["a link", "a link swapped in", "a FIFO and a socket", "an unreadable file",
                                  "a shut directory", "a directory only searched", "a sparse file", "a deep tree", "a long path", "a copy too long",
                                  "a restore too long", "modes and times"])
async def test_a_snapshot_reads_the_tree_as_the_sandbox_could(request, make_sandbox, opensandbox, tmp_path: Path,
                                                              monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    (outside := tmp_path / "outside").mkdir()
    (outside / "secret").write_text("secret")
    source = await make_sandbox()
    if case == "a link":
        await source.execute_command(f"ln -s {outside}/secret /tmp/leak")
        restored = await make_sandbox(snapshot_id=(await _snapshot(opensandbox, source)).json()["id"])
        assert (await restored.execute_command("readlink /tmp/leak")).stdout.strip() == f"{outside}/secret"
        assert await restored.download_file("/tmp/leak") != b"secret"
    elif case == "a link swapped in":
        # Outside the host's temporary files, which the copier's sandbox hides: there the sandbox's code reads it.
        outside = Path(tempfile.mkdtemp(dir=ROOT if Path("/var/tmp").is_relative_to(tempfile.gettempdir())
                                        else "/var/tmp"))
        request.addfinalizer(lambda: shutil.rmtree(outside))
        (outside / "secret").write_text("secret")
        assert (await source.execute_command(f"cat {outside}/secret")).stdout == "secret"
        await source.execute_code(f"import ctypes, os, threading\nos.symlink({str(outside)!r}, '/tmp/l')\n" + """
os.makedirs('/tmp/d')
for n in range(100):
    open(f'/tmp/d/{n}', 'w').close()
renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
def swap():  # RENAME_EXCHANGE: d and l trade places, over and over
    while True:
        renameat2(-100, b'/tmp/d', -100, b'/tmp/l', 2)
threading.Thread(target=swap, daemon=True).start()""")
        taken = [await _snapshot(opensandbox, source) for _ in range(20)]
        assert [answer.status_code for answer in taken] == [202] * 20, [answer.text for answer in taken]
        trees = [opensandbox.snapshots[answer.json()["id"]].tree for answer in taken]
        assert not [(where, names) for tree in trees for where, _, names in os.walk(tree) if "secret" in names]
    elif case == "a FIFO and a socket":
        # In a directory of the sandbox's own: its /tmp also lists a checkout that lies under the host's.
        await source.execute_code("import os, socket\nos.mkdir('/tmp/own')\nos.mkfifo('/tmp/own/pipe')\n"
                                  "socket.socket(socket.AF_UNIX).bind('/tmp/own/socket')\n"
                                  "open('/tmp/own/kept', 'w').write('kept')")
        taken = await _snapshot(opensandbox, source)
        assert taken.status_code == 202, taken.text
        restored = await make_sandbox(snapshot_id=taken.json()["id"])
        assert (await restored.execute_command("ls -A /tmp/own; cat /tmp/own/kept")).stdout.split() == ["kept", "kept"]
    elif case in ("a sparse file", "a deep tree"):
        made = await source.execute_command("truncate -s 256M /tmp/sparse && printf end >> /tmp/sparse"
                                            if case == "a sparse file" else  # one mkdir makes its 1,100 levels
                                            "mkdir -p /tmp/deep" + "/d" * 1100 + " && echo deep > /tmp/deep" +
                                            "/d" * 1100 + "/deep", timeout=60)
        assert made.status.value == "success", made
        taken = await _snapshot(opensandbox, source)
        assert taken.status_code == 202, taken.text
        restored = await make_sandbox(snapshot_id=taken.json()["id"])
        if case == "a sparse file":
            size, blocks, end = (await restored.execute_command("stat -c '%s %b' /tmp/sparse; tail -c 3 /tmp/sparse")
                                 ).stdout.split()  # the snapshot's tree and the sandbox made from it both kept holes
            assert (int(size), int(blocks) * 512 < 1 << 20, end) == ((256 << 20) + 3, True, "end")
        else:
            assert (await restored.execute_command("cat /tmp/deep" + "/d" * 1100 + "/deep")).stdout.strip() == "deep"
    elif case == "a long path":  # 4,530 bytes, more than a path may hold: made, and read, a level at a time
        walk = "import os\nos.chdir('/tmp')\nfor _ in range(30):\n    os.makedirs('x' * 150, exist_ok=True)\n" \
               "    os.chdir('x' * 150)\n"
        await source.execute_code(walk + "open('deep', 'w').write('deep')\nos.chdir('/')")
        taken = await _snapshot(opensandbox, source)
        assert taken.status_code == 202, taken.text
        restored = await make_sandbox(snapshot_id=taken.json()["id"])
        read = await restored.execute_code(walk + "print(open('deep').read())\nos.chdir('/')")
        assert read.stdout.strip() == "deep", read
    elif case == "modes and times":
        dirs = "/tmp/m/711 /tmp/m/1777 /tmp/m/555 /tmp/m"
        await source.execute_command("mkdir -p /tmp/m/711 /tmp/m/1777 /tmp/m/555/in && chmod 711 /tmp/m/711 && "
                                     "chmod 1777 /tmp/m/1777 && chmod 555 /tmp/m/555 && "
                                     f"touch -d '2001-02-03 04:05:06.789' {dirs}")
        listed = f"stat -c '%a %y' {dirs}"
        made = (await source.execute_command(listed)).stdout.splitlines()
        taken = await _snapshot(opensandbox, source)
        assert taken.status_code == 202, taken.text
        restored = await make_sandbox(snapshot_id=taken.json()["id"])
        assert [line.split()[0] for line in made[:3]] == ["711", "1777", "555"] and \
            (await restored.execute_command(listed)).stdout.splitlines() == made, made
    elif case == "a restore too long":
        taken = await _snapshot(opensandbox, source)
        trees = set(opensandbox._trees.glob("osb*"))
        monkeypatch.setattr(containers, "COPY_LIMIT", 0)
        async with httpx.AsyncClient(timeout=60) as client:
            made = await client.post(f"{opensandbox.url('api')}/v1/sandboxes", json={"snapshotId": taken.json()["id"]},
                                     headers={"OPEN-SANDBOX-API-KEY": opensandbox.api_key})
        assert (made.status_code, made.json()["message"]) == (
            500, f"cannot restore snapshot {taken.json()['id']}: copying its tree took over 0 s: given up")
        assert set(opensandbox._trees.glob("osb*")) == trees
    elif case == "a copy too long":
        monkeypatch.setattr(containers, "COPY_LIMIT", 0)
        taken = await _snapshot(opensandbox, source)
        assert (taken.status_code, taken.json()["message"]) == (
            500, f"cannot snapshot sandbox {source.sandbox_id}: copying its tree took over 0 s: given up")
        assert opensandbox.snapshots == {} and not list(opensandbox._trees.glob("snap-*"))
    else:
        locked = {"an unreadable file": "touch /tmp/locked; chmod 0", "a shut directory": "mkdir -m 0",
                  "a directory only searched": "mkdir -m 100"}[case]
        await source.execute_command(f"mkdir -p /tmp/a; echo x > /tmp/a/b; {locked} /tmp/locked")
        taken = await _snapshot(opensandbox, source)
        assert (taken.status_code, taken.json()["message"]) == (
            409, f"cannot snapshot sandbox {source.sandbox_id}: cannot copy /tmp/locked: Permission denied: "
                 "the sandbox's own modes forbid reading it")
        assert opensandbox.snapshots == {} and not list(opensandbox._trees.glob("snap-*"))


# What may take long is done off the stand-in's loop, a snapshot's removal (a large tree, a busy disk) and a
# download's read: while either is held up, another call is answered.
@pytest.mark.parametrize("held", ["a snapshot's removal", "a download"])
async def test_what_may_take_long_holds_up_no_other_call(make_sandbox, opensandbox, monkeypatch: pytest.MonkeyPatch,
                                                         held: str) -> None:
    entered, released, given = threading.Event(), threading.Event(), []

    def holding(function):
        def held_up(*arguments):
            given.append(arguments)
            entered.set()
            released.wait(120)
            return function(*arguments)
        return held_up

    source, key = await make_sandbox(), {"OPEN-SANDBOX-API-KEY": opensandbox.api_key}
    await source.execute_code("import os\nos.mkdir('/tmp/big')\nfor n in range(1000):\n"
                              "    open(f'/tmp/big/{n}', 'w').write(str(n))")
    async with httpx.AsyncClient(timeout=60) as client:
        if held == "a download":
            monkeypatch.setattr(containers, "read_opened", holding(containers.read_opened))
            pending = asyncio.ensure_future(source.download_file("/tmp/big/7", timeout=120))
        else:
            snapshot = (await _snapshot(opensandbox, source)).json()["id"]
            monkeypatch.setattr(standin, "remove_tree", holding(standin.remove_tree))
            pending = asyncio.ensure_future(client.delete(f"{opensandbox.url('api')}/v1/snapshots/{snapshot}",
                                                          headers=key, timeout=120))
        try:
            assert await asyncio.to_thread(entered.wait, 60)
            beside = await client.get(f"{opensandbox.url('api')}/v1/snapshots", headers=key)
            assert beside.status_code == 200, beside.text
        finally:
            released.set()
            done = await pending
    if held == "a download":
        assert done == b"7"
    else:
        assert done.status_code == 204 and snapshot not in opensandbox.snapshots
        for removal in opensandbox._removals:
            await asyncio.to_thread(removal.join, 60)
        assert [os.path.lexists(removed) for removed, in given] == [False]


# A copier that outlasts its bound is ended with it, not left writing into a tree being removed; so is a child of
# it that holds its pipes (bubblewrap's, killed before it has set up its namespaces, is left such an orphan).
@pytest.mark.parametrize("child", [False, True])
async def test_a_copy_that_outlasts_its_bound_ends_its_copier(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                              child: bool) -> None:
    (copier := tmp_path / "copier.py").write_text("import os, time\n" + "os.fork()\n" * child + "time.sleep(600)\n")
    monkeypatch.setattr(containers, "COPIER", copier)
    monkeypatch.setattr(containers, "COPY_LIMIT", 10 if child else 0)  # time for the fork, which then has happened
    (tmp_path / "source").mkdir()
    (tmp_path / "target").mkdir()

    def copiers() -> list[int]:  # wherever they are: an orphan is no longer this process's descendant
        found = []
        for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
                if str(copier).encode() in f.read().split(b"\0") and _alive(pid):
                    found.append(pid)
        return found

    try:
        with pytest.raises(OSError, match="took over [0-9]+ s: given up"):
            await asyncio.wait_for(containers.restore_tree(tmp_path / "source", tmp_path / "target"), 60)
        assert copiers() == []
    finally:
        for pid in copiers():
            os.kill(pid, signal.SIGKILL)


# What runs the sandbox, where it lies under one of the sandbox's own directories, is bound back
# read-only: whole, or entry by entry where it is that directory itself (the sandbox's home, say),
# so that the sandbox still makes files of its own there. The host's temporary files, which hold
# every sandbox's tree, are hidden where they are none of its own, and what runs it bound back there too.
@pytest.mark.parametrize("place", ["its own", "its home", "temporary files"])
def test_what_runs_the_sandbox_is_bound_back_read_only(monkeypatch: pytest.MonkeyPatch, place: str) -> None:
    if place != "its home" and len(ROOT.parts) == 2:
        pytest.skip("a checkout that is a top-level directory (/workspace) is only bound entry by entry")
    monkeypatch.setattr(containers, "HOME", str(ROOT) if place == "its home" else "/nowhere")
    monkeypatch.setattr(tempfile, "tempdir", str(ROOT.parent if place == "temporary files" else ROOT))
    argv = containers._rebinds({"nowhere"} if place == "temporary files" else {ROOT.parts[1]})
    if place == "temporary files":
        assert argv[:2] == ["--tmpfs", str(ROOT.parent.resolve())], argv
        argv = argv[2:]
    binds = [argv[at:at + 3] for at in range(0, len(argv), 3)]
    assert {kind for kind, *_ in binds} <= {"--ro-bind", "--symlink"}, binds
    bound = {where for *_, where in binds}
    home = place == "its home"
    assert (str(ROOT) in bound, {str(entry) for entry in ROOT.iterdir()} <= bound) == (not home, home), binds


# A checkout under /tmp (a clone there) is bound back inside the sandbox's own /tmp, so bubblewrap makes that place
# in the sandbox's tree. A cell renames the first directory of the checkout's path and puts a link to the host in its
# place: neither a snapshot's copier (which runs beside the cell) nor the start of a sandbox restored from that
# snapshot makes anything through it, and both succeed. So does one that puts a read-only directory there, a link
# in it or not: as a regular user too (and root without the capabilities that pass over modes), and it keeps its mode.
FROM_TMP = """import asyncio, json, os, sys
import httpx
from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

first, victim, cell = sys.argv[1:]

async def main():
    report = {}
    with OpenSandboxStandIn() as service:
        options, key = {**service.connection_options(), "create_backoff": 0.0}, {"OPEN-SANDBOX-API-KEY": service.api_key}
        source = await OpenSandbox.create(**options)
        report["moved"] = (await source.execute_command(
            f"mv {first} {first}.moved && {cell.format(first=first, victim=victim)} && echo moved")).stdout.strip()
        async with httpx.AsyncClient(timeout=60) as client:
            taken = await client.post(f"{service.url('api')}/v1/sandboxes/{source.sandbox_id}/snapshots", headers=key,
                                      json={})
        report["snapshot"], report["after the snapshot"] = taken.status_code, os.listdir(victim)
        if taken.status_code == 202:
            while service.snapshots[taken.json()["id"]].state == "Creating":
                await asyncio.sleep(0.05)
            restored = await OpenSandbox.create(**options, snapshot_id=taken.json()["id"])
            report["restored"] = (await restored.execute_command(f"test -d {first}.moved && stat -c %a {first}")
                                  ).stdout.strip()
            report["after the restore"] = os.listdir(victim)
    print(json.dumps(report))

asyncio.run(main())
"""


@pytest.mark.parametrize(("cell", "mode"), [
    ("ln -s /oldroot{victim} {first}", None),  # a directory the stand-in made in its place
    ("mkdir -m 500 {first}", "500"),
    ("mkdir {first} && ln -s /oldroot{victim} {first}/clone && chmod 500 {first}", "500"),
])
def test_a_cells_link_on_the_checkouts_path_makes_nothing_on_the_host(tmp_path: Path, cell: str, mode: str) -> None:
    (victim := tmp_path / "victim").mkdir()
    first = Path(tempfile.mkdtemp(dir="/tmp"))  # under the sandbox's own /tmp, wherever the host's temporary files are
    try:
        (clone := first / "clone" / "tests").mkdir(parents=True)
        shutil.copy(ROOT / "tests" / "__init__.py", clone)
        shutil.copytree(ROOT / "tests" / "fakes", clone / "fakes", ignore=shutil.ignore_patterns("__pycache__"))
        unprivileged = ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"] * (os.geteuid() == 0)
        made = Path("/proc/self/status").read_text().split("Umask:")[1].split()[0]
        ran = subprocess.run([*unprivileged, sys.executable, "-c", FROM_TMP, str(first), str(victim), cell],
                             cwd=clone.parent, capture_output=True, text=True, timeout=300)
    finally:
        shutil.rmtree(first)
    assert ran.returncode == 0, ran.stderr
    assert json.loads(ran.stdout) == {"moved": "moved", "snapshot": 202, "after the snapshot": [], "restored": mode or f"{0o777 & ~int(made, 8):o}",
                                      "after the restore": []}, ran.stdout


# Another client of the machine finds a sandbox's execd by its port and id: without the token the
# sandbox's endpoint was handed out with (none, or another sandbox's), it is refused and runs
# nothing; with it, the same request runs.
@pytest.mark.parametrize(("route", "token", "status"), [
    ("command", None, 401), ("command", "other", 401), ("command", "own", 200),
    ("code", None, 401), ("code", "other", 401), ("code", "own", 200),
    ("jupyter", None, 404), ("jupyter", "other", 401), ("jupyter", "own", 200),
])
async def test_execd_answers_only_the_token_its_sandbox_was_handed_out_with(make_sandbox, opensandbox, route, token,
                                                                            status) -> None:
    own, other = [opensandbox.sandboxes[(await make_sandbox()).sandbox_id] for _ in "12"]
    chosen = {"own": own, "other": other}.get(token)
    base = f"{opensandbox.url('execd')}/execd/{own.id}"
    async with httpx.AsyncClient(timeout=60) as client:
        if route == "jupyter":
            answer = await client.get(f"{opensandbox.url('execd')}/jupyter/{own.id}"
                                      + (f"/{chosen.jupyter_token}" if chosen else "") + "/api")
        else:
            body = {"command": "touch /tmp/ran"} if route == "command" else {
                "code": "open('/tmp/ran', 'w').close()", "context": {"language": "python"}}
            answer = await client.post(f"{base}/{route}", json=body,
                                       headers={TOKEN_HEADER: chosen.token} if chosen else {})
    assert answer.status_code == status, answer.text
    assert own.host_path("/tmp/ran").exists() is (status == 200 and route != "jupyter")


def _ecr_token_request(opensandbox, key: str | None) -> dict:
    """httpx keywords of boto3's ECR token call, signed with the stand-in's credentials, others, or unsigned, or
    with a forged signature."""
    request = AWSRequest("POST", opensandbox.ecr_url + "/", data=b"{}", headers={
        "X-Amz-Target": "AmazonEC2ContainerRegistry_V20150921.GetAuthorizationToken",
        "Content-Type": "application/x-amz-json-1.1"})
    if key is not None:
        credentials = new_credentials() if key == "other" else opensandbox.ecr_credentials
        SigV4Auth(Credentials(credentials["aws_access_key_id"], credentials["aws_secret_access_key"]), "ecr",
                  "eu-west-3").add_auth(request)
    if key == "forged":  # the run's key id, but no signature of its secret
        request.headers.replace_header("Authorization", request.headers["Authorization"][:-64] + "0" * 64)
    return {"content": request.body, "headers": dict(request.headers)}


# Another client of the machine that finds the stand-in's ports: the lifecycle API, the SDK's metrics
# request included, without the run's API key (no header at all, or another key) is refused and does
# nothing (no sandbox made or killed, no sandbox token handed out); ECR's token call is answered only
# when signed with the stand-in's ECR credentials.
@pytest.mark.parametrize(("route", "key", "status"), [
    ("create", None, 401), ("create", "other", 401), ("create", "own", 202),
    ("endpoint", None, 401), ("endpoint", "other", 401), ("endpoint", "own", 200),
    ("info", None, 401), ("info", "own", 200), ("kill", None, 401), ("kill", "own", 204),
    ("snapshot.list", None, 401), ("snapshot.list", "own", 200),
    ("metrics", None, 401), ("metrics", "other", 401), ("metrics", "own", 204),
    ("ecr", None, 403), ("ecr", "other", 403), ("ecr", "forged", 403), ("ecr", "own", 200),
])
async def test_the_lifecycle_api_answers_only_the_runs_key(opensandbox, route, key, status) -> None:
    api, own_key = f"{opensandbox.url('api')}/v1", {"OPEN-SANDBOX-API-KEY": opensandbox.api_key}
    headers = {"own": own_key, "other": {"OPEN-SANDBOX-API-KEY": "osb-" + "0" * 32}}.get(key, {})
    image = {"image": {"uri": "stand-in"}}
    async with httpx.AsyncClient(timeout=60) as client:
        sid = (await client.post(f"{api}/sandboxes", json=image, headers=own_key)).json()["id"] if route in (
            "endpoint", "info", "kill") else ""
        before = set(opensandbox.alive_sandboxes())
        if route == "ecr":
            answer = await client.post(opensandbox.ecr_url + "/", **_ecr_token_request(opensandbox, key))
        else:
            method, path, body = {
                "create": ("POST", "/sandboxes", image), "info": ("GET", f"/sandboxes/{sid}", None),
                "endpoint": ("GET", f"/sandboxes/{sid}/endpoints/{opensandbox_server.EXECD_PORT}", None),
                "kill": ("DELETE", f"/sandboxes/{sid}", None), "snapshot.list": ("GET", "/snapshots", None),
                "metrics": ("POST", "/metrics/events", {"eventType": "sandbox.create", "success": True}),
            }[route]
            answer = await client.request(method, api + path, json=body, headers=headers)
    assert answer.status_code == status, answer.text
    after, served = set(opensandbox.alive_sandboxes()), status < 300
    assert (len(after - before), len(before - after)) == (served and route == "create", served and route == "kill")
    assert (sid != "" and opensandbox.sandboxes[sid].token in answer.text) is (served and route == "endpoint")
    assert ("authorizationToken" in answer.text) is (served and route == "ecr")


# A sandbox whose bubblewrap died: its state says so, and its next command and cell fail saying why.
async def test_a_sandbox_whose_container_ended_says_so_and_runs_nothing(sandbox, opensandbox) -> None:
    held = opensandbox.sandboxes[sandbox.sandbox_id]
    await sandbox.execute_code("x = 1")
    inside = _descendants(held.container.process.pid)  # its agent and code worker, by their host pids
    os.kill(held.container.process.pid, 9)
    deadline = time.monotonic() + 60  # generous: the kernel ends the sandbox's processes first
    while (held.container.alive or any(map(_alive, inside))) and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    assert not held.container.alive and len(inside) >= 2 and not any(map(_alive, inside))  # --die-with-parent
    command, code = await sandbox.execute_command("echo ran"), await sandbox.execute_code("print('ran')")
    async with httpx.AsyncClient(timeout=60) as client:
        info = (await client.get(f"{opensandbox.url('api')}/v1/sandboxes/{held.id}",
                                 headers={"OPEN-SANDBOX-API-KEY": opensandbox.api_key})).json()
    assert info["status"]["state"] == "Failed" and "first process is gone" in info["status"]["message"]
    for result in (command, code):
        assert "ran" not in result.stdout and "first process is gone" in result.error, result
    # A request that passed the check as the sandbox ended is refused with the reason too.
    with pytest.raises(Refuse, match="first process is gone"):
        await opensandbox_server._entered(held, Command.start("true", [], cwd="/", env={}, container=held.container))


def _gone_process() -> tuple[int, str]:
    """The pid and start time of a process that has ended."""
    with subprocess.Popen(["cat"], stdin=subprocess.PIPE) as proc:
        started = standin._started(proc.pid)
        proc.stdin.close()
    return proc.pid, started


# Directories of the pattern of a stand-in's, and whether a start (its sweep) keeps them. A stand-in
# of any version may run: one that holds its directory (locked) but whose name records no process,
# one that holds nothing; a directory of a process that ended is not in use unless held.
@pytest.mark.parametrize(("case", "kept"), [
    ("its process ended", False),
    ("its pid names another process now", False),
    ("its process runs", True),
    ("its process ended, held by another", True),  # a stand-in of another PID namespace, say
    ("no record, its process ended", True),  # an older stand-in's, which may run yet
    ("another user's", True),
    ("a link", True),
    ("a live stand-in's", True),
    ("a live stand-in's, removed from outside", True),
    ("a live stand-in's, opened up from outside", True),
])
def test_a_start_removes_only_the_directories_of_stand_ins_whose_process_ended(tmp_path: Path, case: str,
                                                                               kept: bool) -> None:
    prefix, pid, started = "AStandIn-", *_gone_process()
    entry = tmp_path / f"{prefix}{pid}.{started}.1a2b"
    held, service = [], standin.StandIn()
    if case == "its pid names another process now":
        entry = tmp_path / f"{prefix}{os.getpid()}.{int(standin._started(os.getpid())) + 1}.1a2b"
    elif case == "its process runs":
        entry = tmp_path / f"{prefix}{os.getpid()}.{standin._started(os.getpid())}.1a2b"
    elif case == "no record, its process ended":
        entry = tmp_path / f"{prefix}x8_ub3qz"
    elif case.startswith("a live stand-in's"):
        entry = service.own_directory(prefix, str(tmp_path))
        held = [entry]
    if case == "a link":
        (target := tmp_path / "elsewhere").mkdir()
        (target / "file").write_text("")
        entry.symlink_to(target)
    elif not entry.exists():
        entry.mkdir()
        (entry / "file").write_text("")
    if case == "another user's":
        if os.geteuid() != 0:
            pytest.skip("only root makes another user's directory")
        os.chown(entry, 65534, 65534)
    elif case == "its process ended, held by another":
        held = [entry]
        fd = standin._hold(entry, wait=False)
    try:
        if case.endswith("removed from outside"):
            shutil.rmtree(entry)
            assert service.own(entry) == entry
        elif case.endswith("opened up from outside"):
            entry.chmod(0o755)
            assert service.own(entry) == entry
        # In a process of its own: a sweep that waited for the holder would wait for ever.
        swept = _run(f"from tests.fakes import standin\nstandin.sweep(__import__('pathlib').Path({str(tmp_path)!r}), "
                     f"{prefix!r})")
        assert swept.returncode == 0, swept.stderr
        assert os.path.lexists(entry) == kept
        if case == "a link":
            assert os.listdir(target) == ["file"]
        # What an older stand-in's sweep removes: what it can lock.
        assert [standin._hold(path, wait=False) for path in held] == [None] * len(held)
        if case.startswith("a live stand-in's"):
            assert stat.S_IMODE(entry.lstat().st_mode) == 0o700
    finally:
        if case == "its process ended, held by another":
            os.close(fd)
        service.stop()
        while service._held:
            os.close(service._held.pop())


# A start waits neither for the removal of what a stand-in whose process ended left (a tree however big, removed
# meanwhile, before the stand-in stops) nor, past its limit, for a loop that is held: that start fails saying so.
@pytest.mark.parametrize("held", ["by a sweep", "on its loop"])
def test_a_start_is_held_by_nothing_it_removes_and_a_failed_one_says_why(tmp_path: Path, held: str,
                                                                         monkeypatch: pytest.MonkeyPatch) -> None:
    released, swept, remove_tree, limit = threading.Event(), [], standin.remove_tree, standin.STARTUP_LIMIT

    class Idle(standin.StandIn):
        async def _serve(self) -> None:
            released.wait(limit if held == "on its loop" else 0)

    def removing(path: str | Path) -> None:
        if Path(path) == leftover:
            swept.append(released.wait(limit))
        remove_tree(path)

    leftover = tmp_path / "Idle-{}.{}.1a2b".format(*_gone_process())
    if held == "by a sweep":
        leftover.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr(standin, "remove_tree", removing)
    service = Idle()
    try:
        if held == "on its loop":
            monkeypatch.setattr(standin, "STARTUP_LIMIT", 0.5)
            with pytest.raises(RuntimeError, match="^Idle failed to start$") as failed:
                service.start()
            assert str(failed.value.__cause__).startswith("not serving within 0.5 s, its loop busy at ")
        else:
            service.start()
    finally:
        released.set()
        service.stop()
    assert swept == [True] * (held == "by a sweep") and os.listdir(tmp_path) == []


# A sandbox's tree is removed with it, but never through a link that took its stand-in's directory's
# place (removed from outside, a link planted at its name): what the link leads to stays.
@pytest.mark.parametrize("planted", [False, True])
def test_a_sandbox_tree_is_removed_only_within_its_stand_ins_own_directory(tmp_path: Path, planted: bool) -> None:
    service = standin.StandIn()
    try:
        own = service.own_directory("AStandIn-", str(tmp_path))
        (victim := tmp_path / "victim" / "sbx").mkdir(parents=True)
        (victim / "precious").write_text("")
        (own / "sbx").mkdir()
        if planted:
            shutil.rmtree(own)
            own.symlink_to(victim.parent)
        service.remove(own / "sbx")
        assert [(own / "sbx").exists(), (victim / "precious").exists()] == [planted, True]
    finally:
        service.stop()
        while service._held:
            os.close(service._held.pop())


# A cell that swaps the sandbox's Python environment (/tmp/.python) for a link, dangling or to a directory of the
# host its stand-in's user may write, over and over (rename-exchange) while snapshots are taken: the stand-in writes
# nothing there, every snapshot is taken, and a sandbox made from one that holds the dangling link starts. Nor does
# it make the environment anew where the cell removed it: a cell that swaps each new /tmp/.python/bin for a link
# to the host would have it write there.
@pytest.mark.parametrize("case", ["a dangling link", "a link race", "a removed environment"])
async def test_a_link_at_the_sandboxs_python_is_never_followed(make_sandbox, opensandbox, tmp_path: Path,
                                                               case: str) -> None:
    (outside := tmp_path / "outside").mkdir()
    source = await make_sandbox()
    if case == "a removed environment":
        await source.execute_code(f"import os, shutil, threading\nshutil.rmtree('/tmp/.python')\n" + """
def swap():  # a bin made anew becomes a link to the host, then the whole environment goes again
    while True:
        try:
            os.rename('/tmp/.python/bin', '/tmp/made')
            os.symlink(OUTSIDE, '/tmp/.python/bin')
            for _ in range(10000):
                os.lstat('/tmp/.python/bin')
        except OSError:
            continue
        shutil.rmtree('/tmp/.python', ignore_errors=True)
        shutil.rmtree('/tmp/made', ignore_errors=True)
threading.Thread(target=swap, daemon=True).start()""".replace("OUTSIDE", repr(str(outside))))
    else:
        await source.execute_code(f"import ctypes, os, threading\nos.rename('/tmp/.python', '/tmp/kept')\n"
                                  f"os.symlink({str(outside / 'made')!r}, '/tmp/.python')\n"
                                  f"os.symlink({str(outside)!r}, '/tmp/other')\n" + ("" if case == "a dangling link" else """
renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
def swap():  # RENAME_EXCHANGE: the two links trade places, over and over
    while True:
        renameat2(-100, b'/tmp/.python', -100, b'/tmp/other', 2)
threading.Thread(target=swap, daemon=True).start()"""))
    taken = [await _snapshot(opensandbox, source) for _ in range(1 if case == "a dangling link" else 40)]
    assert ([answer.status_code for answer in taken], os.listdir(outside)) == ([202] * len(taken), []), \
        [answer.text for answer in taken if answer.status_code != 202][:1]
    if case == "a dangling link":
        restored = await make_sandbox(snapshot_id=taken[0].json()["id"])
        assert (await restored.execute_command("readlink /tmp/.python")).stdout.strip() == str(outside / "made")
        assert os.listdir(outside) == []


_PYTHON_NAMES = ["python", "python3", f"python{sysconfig.get_python_version()}", "pip", "pip3",
                 f"pip{sysconfig.get_python_version()}"]


# A cell removes the sandbox's Python environment (a careless `rm -rf /tmp/.[!.]*`) and its code worker dies: the run
# it died in, and each later one, says that the worker cannot be started again and why, never that code ran; a
# command's python3 and pip, by any of their names (in a login shell too), fail saying so, never the host's, and
# never succeed. (AgentCore's commands are code.)
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_code_worker_that_cannot_restart_says_so(request, stand_in: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        killed = await sandbox.execute_code("import os\nos.system('rm -rf /tmp/.[!.]*; kill -9 -1')")
        later = await sandbox.execute_code("print('ran')")
        why = "cannot be started again"
        assert killed.status.value == "error" and "killed by SIGKILL while running this code, and " + why in \
            killed.error and "/tmp/.python/bin/python" in killed.error, killed
        assert later.status.value == "error" and "ran" not in later.stdout and why + ", so this code did not run" in \
            later.error, later
        if stand_in != "agentcore":
            for line in [*(f"{name} --version && echo ok" for name in _PYTHON_NAMES), "bash -lc 'pip3 -V && echo ok'"]:
                ran = await sandbox.execute_command(line)
                assert (ran.status.value, ran.stdout) == ("error", "") and \
                    "not in the sandbox's Python environment" in ran.stderr, ran
    finally:
        await sandbox.terminate()


# Something the sandbox's Python runs before its code worker (a .pth its code put there) prints a line that is not the
# worker's, or says that it is ready, then the worker dies: every later run is answered, with an error saying that the
# worker cannot be started again and why (code that never ran is never reported as run), and so is a new OpenSandbox
# context (500), never a connection cut short.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
@pytest.mark.parametrize(("prints", "why"), [
    ("hello", "the code worker failed to start: its first line was 'hello', not that it was ready"),
    ('{"type": "ready"}', "it ends as soon as it has started"),
])
async def test_a_code_worker_that_dies_as_it_starts_says_so(request, stand_in: str, prints: str, why: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        line = f"import os, sys; sys.stdout.write({prints + chr(10)!r}); sys.stdout.flush(); os._exit(0)\n"
        killed = await sandbox.execute_code(
            "import os, sysconfig\nwith open(sysconfig.get_paths()['purelib'] + '/noisy.pth', 'w') as pth:\n"
            f"    pth.write({line!r})\nos.kill(os.getpid(), 9)")
        later = [await sandbox.execute_code("print('ran')") for _ in range(2)]
        assert killed.status.value == "error" and "killed by SIGKILL while running this code" in killed.error, killed
        if prints == "hello":
            assert "and cannot be started again: " + why in killed.error, killed
        for result in later:
            assert result.status.value == "error" and "ran" not in result.stdout and \
                "cannot be started again, so this code did not run: " + why in result.error, result
        if stand_in == "opensandbox" and prints == "hello":
            service = request.getfixturevalue(stand_in)
            async with httpx.AsyncClient(timeout=60) as client:
                answer = await client.post(f"{service.url('execd')}/execd/{sandbox.sandbox_id}/code/context",
                                           json={"language": "python"},
                                           headers={TOKEN_HEADER: service.sandboxes[sandbox.sandbox_id].token})
            assert (answer.status_code, why in answer.json()["message"]) == (500, True), answer.text
    finally:
        await sandbox.terminate()


# Something the sandbox's Python runs before its code worker hangs, or prints a line longer than the stand-in reads: the
# run the worker died in says why it cannot start again, not only that the stand-in killed it.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
@pytest.mark.parametrize(("pth", "why"), [
    ("import time; time.sleep(600)", "not ready within 10 s"),
    ("import sys; print('y' * 70_000_000)", "it printed a line longer than the stand-in reads"),
])
async def test_a_code_worker_that_cannot_start_says_why(request, monkeypatch, stand_in: str, pth: str, why: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    monkeypatch.setattr(standin, "STARTUP_LIMIT", 10.0)  # the sandbox's own worker has started: only the doomed wait
    try:
        killed = await sandbox.execute_code("import os, sysconfig\nwith open(sysconfig.get_paths()['purelib'] + "
                                            f"'/stuck.pth', 'w') as pth:\n    pth.write({pth + chr(10)!r})\n"
                                            "os.kill(os.getpid(), 9)", timeout=120)
        assert "cannot be started again: the code worker failed to start: " + why in killed.error, killed
    finally:
        await sandbox.terminate()


# A cell writes into its code worker's own pipe what is not an event (not JSON, not an object, an object of no event's
# kind), writes an event line longer than the stand-in reads (as is, or as it is interrupted, however slowly it takes
# that), or dies while a child it forked holds that pipe: its run ends with an error saying so (not a connection cut,
# nor a wait for the client's timeout), and the worker is started anew, so the next run is answered, by a worker that
# knows nothing of the last.
_PROTOCOL = "import gc, io\nx = 1\nproto = next(o for o in gc.get_objects() if isinstance(o, io.TextIOWrapper) " \
            "and not o.closed and o.mode == 'w' and o.fileno() > 2)\nproto.write({!r}); proto.flush()"
_UNFOLLOWED = {  # the cell, and what its run's error says (None: its client gives up on it)
    "not JSON": (_PROTOCOL.format("junk\n"), "sent a line that is not an event: 'junk'"),
    "not an object": (_PROTOCOL.format("[1]\n"), "sent a line that is not an event: '[1]'"),
    "no event": (_PROTOCOL.format('{"nope": 1}\n'), "sent a line that is not an event"),
    "too long": ("x = 1\nraise ValueError('y' * 20_000_000)", "sent a line longer than the stand-in reads"),
    "too long, interrupted": ("import time\nx = 1\ntry:\n    time.sleep(60)\n"
                              "except KeyboardInterrupt:\n    raise ValueError('y' * 20_000_000)", None),
    "too long, interrupted slowly": ("import time\nx = 1\ntry:\n    time.sleep(60)\nexcept KeyboardInterrupt:\n"
                                     "    time.sleep(2)\n    raise ValueError('y' * 20_000_000)", None),
    "killed, its pipe held": ("import os, time\nx = 1\nif os.fork() == 0:\n    os.setsid(); time.sleep(300); "
                              "os._exit(0)\ntime.sleep(0.5); os.kill(os.getpid(), 9)", "killed by SIGKILL"),
}
@pytest.mark.parametrize(("stand_in", "case"), [  # OpenSandbox's code worker reads lines up to 64 MiB
    (stand_in, case) for case in _UNFOLLOWED for stand_in in ["opensandbox", "e2b", "agentcore"]
    if not (case.startswith("too long") and stand_in == "opensandbox")])
async def test_a_code_workers_stream_it_cannot_follow_ends_the_run_saying_so(request, stand_in: str,
                                                                             case: str) -> None:
    code, says = _UNFOLLOWED[case]
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        if says is None:
            with contextlib.suppress(Exception):  # the client gives up after a second
                await sandbox.execute_code(code, timeout=1)
        else:
            ended = await sandbox.execute_code(code, timeout=120)
            assert ended.status.value == "error" and says in ended.error and "restarted" in ended.error, ended
        later = await sandbox.execute_code("print('ran', 'x' in globals())", timeout=120)
        assert later.stdout == "ran False\n", later
    finally:
        await sandbox.terminate()


# A client that interrupts its run and then goes away (as the library does at its time-out, whose interrupt may land
# before the stand-in sees the stream closed) has its cell interrupted once: a second SIGINT would cut the cell's own
# handling of the first. This cell ignores SIGINT, so its worker is ended past a grace cut short here.
async def test_a_run_interrupted_and_then_left_is_interrupted_once(sandbox, opensandbox, monkeypatch) -> None:
    from opensandbox.models.execd import ExecutionHandlers

    codes, interrupted, ids, sent, send = sandbox._interpreter.codes, asyncio.Event(), [], [], standin.send_signal
    monkeypatch.setattr(standin, "send_signal", lambda process, number, group=False: (
        sent.append(number), send(process, number, group))[1])

    async def on_stdout(message: Any) -> None:  # the cell runs: interrupt it, then leave
        for worker in opensandbox.sandboxes[sandbox.sandbox_id].contexts.values():
            worker._grace = 0.1
        await codes.interrupt(ids[0])
        interrupted.set()

    async def on_init(message: Any) -> None:
        ids.append(message.id)

    cell = "import signal, time\nsignal.signal(signal.SIGINT, signal.SIG_IGN)\nprint('go', flush=True)\ntime.sleep(60)"
    run = asyncio.ensure_future(codes.run(cell, handlers=ExecutionHandlers(on_init=on_init, on_stdout=on_stdout)))
    await asyncio.wait({run, asyncio.ensure_future(interrupted.wait())}, return_when=asyncio.FIRST_COMPLETED)
    run.cancel()
    later = await sandbox.execute_code("print('ran')", timeout=120)  # once the left run has ended
    assert (later.stdout, sent.count(signal.SIGINT)) == ("ran\n", 1), (later, sent)


# A client that leaves while its sandbox's code worker, which died since the last run, is started anew (held at a gate
# the sandbox's Python waits on first, which a command opens) leaves no worker behind: the next run's is the only one.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b"])  # AgentCore's commands run through its code worker
async def test_a_run_left_while_its_worker_starts_anew_leaves_no_worker(request, stand_in: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    gate = ("/tmp" if stand_in == "opensandbox" else "/home/user") + "/gate"
    wait = f"import os, time\nwhile not os.path.exists({gate!r}):\n    time.sleep(0.05)"
    held = f"import os; exec({wait!r}, {{}})\n"  # a .pth runs its line in site's own scope: the loop gets one of its own
    try:  # the worker dies once this run has ended, reading the requests it closed
        await sandbox.execute_code("import os, sysconfig\nwith open(sysconfig.get_paths()['purelib'] + '/gate.pth', "
                                   f"'w') as pth:\n    pth.write({held!r})\nos.close(0)")
        left = await sandbox.execute_code("x = 1", timeout=10)  # the worker held at the gate (30 s at most)
        await sandbox.execute_command(f"touch {gate}")
        later = await sandbox.execute_code("print('ran')", timeout=120)
        workers = await sandbox.execute_command("grep -ls '[p]ython_worker' /proc/[0-9]*/cmdline | wc -l")
        assert (left.status.value, later.stdout, workers.stdout.strip()) == ("timeout", "ran\n", "1"), workers
    finally:
        await sandbox.terminate()


# A cell that forks and lets its child return, as a script that never calls os._exit does, leaves one worker: each
# later run is answered by it, with its own output and the state the runs before it left.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_cell_whose_fork_returns_leaves_one_worker(request, stand_in: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        await sandbox.execute_code("import os\nx = 0\npid = os.fork()", timeout=120)
        runs = [(await sandbox.execute_code("x += 1\nprint(x)", timeout=120)).stdout for _ in range(3)]
        assert runs == ["1\n", "2\n", "3\n"], runs
    finally:
        await sandbox.terminate()


# Something the sandbox's Python runs before its code worker prints a few lines and goes on: the worker started anew
# after it was killed passes over them and takes the next run.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_code_worker_starts_after_lines_printed_before_it(request, stand_in: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        killed = await sandbox.execute_code(
            "import os, sysconfig\nwith open(sysconfig.get_paths()['purelib'] + '/noisy.pth', 'w') as pth:\n"
            "    pth.write('import sys; print(\"hello\"); print(\"{}\"); sys.stdout.flush()\\n')\n"
            "os.kill(os.getpid(), 9)")
        later = await sandbox.execute_code("print('ran')")
        assert killed.status.value == "error" and "killed by SIGKILL while running this code" in killed.error, killed
        assert (later.status.value, later.stdout) == ("success", "ran\n"), later
    finally:
        await sandbox.terminate()


# A command's shell, a login shell included, reads none of the host user's dotfiles: its HOME is the sandbox's own,
# and the sandbox's python3 and pip, by each name a virtual environment gives them, come first on PATH again after a
# profile sets PATH anew.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_commands_shell_reads_the_sandboxs_home_and_finds_its_python(request, stand_in: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        ran = await sandbox.execute_command("echo 'PATH=/usr/bin:/bin' > ~/.profile; "
                                            f"bash -lc 'echo $HOME; command -v {' '.join(_PYTHON_NAMES)}'")
        home = "/tmp" if stand_in == "opensandbox" else "/home/user"
        assert ran.stdout.split() == [home, *[f"/tmp/.python/bin/{name}" for name in _PYTHON_NAMES]], ran
    finally:
        await sandbox.terminate()


# A sandbox's PATH, a cell's and a command's, is its own Python's bin, then the system's directories: nothing of the
# stand-in's own PATH (the checkout's venv, a pyenv shim) that would reach the host's interpreters.
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b", "agentcore"])
async def test_a_sandboxs_path_is_none_of_the_hosts(request, monkeypatch, stand_in: str) -> None:
    host = "/opt/host-only/shims"
    monkeypatch.setenv("PATH", f"{host}:{os.environ['PATH']}")
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    try:
        for ran in [await sandbox.execute_code("import os\nprint(os.environ['PATH'])"),
                    await sandbox.execute_command("echo $PATH")]:
            path = ran.stdout.strip().split(":")
            assert path[:2] == ["/tmp/.python/bin", str(containers.PYTHON_GONE)] and host not in path and \
                set(path[2:]) <= set(containers.SYSTEM_PATH.split(":")) | {"/usr/local/games", "/usr/games"}, ran
    finally:
        await sandbox.terminate()


# A burst: 200 commands at once are all answered (the agent's socket takes a few requests at a time; the rest wait
# their turn), and a new sandbox works while the stand-in's process holds over 1,023 descriptors (its agent gets one
# of those numbers).
@pytest.mark.parametrize("stand_in", ["opensandbox", "e2b"])
@pytest.mark.parametrize("case", ["200 commands", "1,100 descriptors"])
async def test_a_sandbox_serves_a_burst_and_many_descriptors(request, stand_in: str, case: str) -> None:
    import resource

    request.getfixturevalue(stand_in)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 2048:
        pytest.skip(f"the hard open-file limit ({hard}) leaves no room for 1,100 more")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100 if case == "1,100 descriptors" else 0)]
    try:
        [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    try:
        count = 200 if case == "200 commands" else 1
        ran = await asyncio.gather(*[sandbox.execute_command(f"echo {n}", timeout=300) for n in range(count)])
        assert [result.stdout.strip() for result in ran] == [str(n) for n in range(count)], ran
    finally:
        await sandbox.terminate()


# A sandbox killed while requests wait their turn at its agent's socket (a burst its agent has not read: here it is
# stopped) wakes every one of them at once, each failing saying that the sandbox has ended, none left waiting.
async def test_a_killed_sandbox_wakes_the_requests_waiting_on_its_agent(tmp_path: Path) -> None:
    container = await containers.Container.start(tmp_path / "tree", {"tmp"})
    [agent] = [pid for pid in _descendants(container.process.pid)
               if b"sandbox_agent.py" in Path(f"/proc/{pid}/cmdline").read_bytes()]
    os.kill(agent, signal.SIGSTOP)
    ending = None
    try:
        asks = []
        while container._sendable is None and len(asks) < 10_000:  # until some wait to send: the socket is full
            asks.append(asyncio.ensure_future(container.mkdir(f"/tmp/d{len(asks)}")))
            await asyncio.sleep(0)
        assert container._sendable is not None, "the agent's socket took every request"
        asks += [asyncio.ensure_future(container.mkdir(f"/tmp/e{n}")) for n in range(50)]  # and these wait with them
        await asyncio.sleep(0)
        ending = asyncio.ensure_future(container.kill())
        _, waiting = await asyncio.wait(asks, timeout=20)  # at once, unless left waiting
        assert not waiting, f"{len(waiting)} of {len(asks)} requests still wait on a sandbox that has ended"
        assert {str(ask.exception()) for ask in asks} == {"the sandbox's container has ended"}
    finally:
        os.kill(agent, signal.SIGCONT)
        await (ending or container.kill())


# A stand-in takes as many open files as its user may have: a regular user's soft limit (often 1,024) is raised to
# the hard one when it starts.
def test_a_stand_in_raises_its_open_file_limit() -> None:
    import resource

    class Bare(standin.StandIn):
        async def _serve(self) -> None:
            pass

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard <= 1024:
        pytest.skip(f"the hard open-file limit is {hard}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
    try:
        with Bare():
            assert resource.getrlimit(resource.RLIMIT_NOFILE) == (hard, hard)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


async def _sent(service, stand_in: str, sandbox_id: str, route: str, body: bytes) -> httpx.Response:
    """``body`` sent raw to ``route`` of ``stand_in``'s stand-in, for the sandbox ``sandbox_id``, with the run's
    credentials (AgentCore's: signed)."""
    if stand_in == "agentcore":
        from tests.fakes.agentcore_server import INTERPRETER_ID, SESSION_HEADER

        path = "sessions/start" if route == "start" else "tools/invoke"
        request = AWSRequest("POST", f"{service.endpoint}/code-interpreters/{INTERPRETER_ID}/{path}", data=body,
                             headers={"Content-Type": "application/json", SESSION_HEADER: sandbox_id})
        SigV4Auth(Credentials(CREDENTIALS["aws_access_key_id"], CREDENTIALS["aws_secret_access_key"]),
                  "bedrock-agentcore", "us-east-1").add_auth(request)
        url, headers = request.url, dict(request.headers)
    elif stand_in == "e2b":
        token = service.sandboxes[sandbox_id].access_token
        url, headers = {"create": (f"{service.api_url}/v2/sandboxes", {}),
                        "set_timeout": (f"{service.api_url}/sandboxes/{sandbox_id}/timeout", {}),
                        "template.request": (f"{service.api_url}/v3/templates", {}),
                        "execute": (f"{service.sandbox_url}/execute",
                                    {"e2b-sandbox-id": sandbox_id, "x-access-token": token}),
                        "files.write": (f"{service.sandbox_url}/files", {
                            "e2b-sandbox-id": sandbox_id, "x-access-token": token,
                            "content-type": "multipart/form-data; boundary=part"})}[route]
        headers = {"x-api-key": service.api_key, **headers}
    elif route in ("create", "renew", "snapshot.create"):
        url = f"{service.url('api')}/v1/sandboxes" + {"create": "", "renew": f"/{sandbox_id}/renew-expiration",
                                                     "snapshot.create": f"/{sandbox_id}/snapshots"}[route]
        headers = {"OPEN-SANDBOX-API-KEY": service.api_key}
    else:
        url = f"{service.url('execd')}/execd/{sandbox_id}/{route.replace('.', '/')}"
        headers = {TOKEN_HEADER: service.sandboxes[sandbox_id].token,
                   **({"content-type": "multipart/form-data; boundary=part"} if route == "files.upload" else {})}
    async with httpx.AsyncClient(timeout=60) as client:
        return await client.post(url, content=body, headers=headers)


# A request whose body a stand-in cannot read, on any route that reads one, is refused (400) saying what is wrong
# (not JSON, not an object, a field missing or of another kind, a number no float holds, a multipart form cut short),
# never answered with a bare 500 or a connection cut,
# and does nothing: no sandbox is made or ended, nothing runs, and the sandbox goes on.
_NOT_JSON = "the request body is not JSON"
_CUT = "the request body ends before its closing boundary: the upload was cut short"
_TIMEOUT = "'timeout' of the request body is not a number a float holds: 1000"
_ENV = "the sandbox cannot start with this 'envVars'"
@pytest.mark.parametrize(("stand_in", "route", "body", "says"), [
    ("opensandbox", "command", b"{", _NOT_JSON + ": Expecting property name"),
    ("opensandbox", "command", b"\xff", _NOT_JSON),
    ("opensandbox", "command", b'["echo"]', "the request body is not a JSON object: ['echo']"),
    ("opensandbox", "command", b'{"command": 5}', "'command' of the request body is not a string: 5"),
    ("opensandbox", "command", b'{"command": "echo", "envs": ["A=1"]}', "'envs' of the request body is not an object"),
    ("opensandbox", "command", b'{"command": "", "timeout": true}', "'timeout' of the request body is not a number"),
    ("opensandbox", "command", b'{"code": 5}', "the request body gives no 'command' (nor 'argv')"),
    ("opensandbox", "code", b"print(1)", _NOT_JSON),
    ("opensandbox", "code", b'{"context": {}}', "the request body gives no 'code'"),
    ("opensandbox", "code", b'{"code": "1", "context": []}', "'context' of the request body is not an object: []"),
    ("opensandbox", "code.context", b"python", _NOT_JSON),
    ("opensandbox", "directories", b"/tmp/d", _NOT_JSON),
    ("opensandbox", "directories", b'["/tmp/d"]', "the request body is not a JSON object: ['/tmp/d']"),
    ("opensandbox", "create", b"python", _NOT_JSON),
    ("opensandbox", "create", b"{}", "the request body gives no 'image'"),
    ("opensandbox", "create", b'{"image": "python"}', "'image' of the request body is not a JSON object"),
    ("opensandbox", "snapshot.create", b"snap", _NOT_JSON),
    ("opensandbox", "renew", b"soon", _NOT_JSON),
    ("opensandbox", "renew", b'{"expiresAt": "soon"}', "'expiresAt' of the request body is not a time"),
    ("e2b", "create", b"base", _NOT_JSON),
    ("e2b", "create", b'{"templateID": 1}', "'templateID' of the request body is not a string: 1"),
    ("e2b", "set_timeout", b"{}", "the request body gives no 'timeout'"),
    ("e2b", "execute", b"[1]", "the request body is not a JSON object: [1]"),
    ("e2b", "execute", b'{"code": "1", "env_vars": "A=1"}', "'env_vars' of the request body is not an object"),
    ("e2b", "template.request", b"name", _NOT_JSON),
    ("agentcore", "start", b"start", _NOT_JSON),
    ("agentcore", "executeCode", b"[1]", "the request body is not a JSON object: [1]"),
    ("agentcore", "executeCode", b'{"name": "executeCode", "arguments": {"language": "python"}}',
     "'arguments' of the request body gives no 'code'"),
    ("agentcore", "writeFiles", b'{"name": "writeFiles", "arguments": {"content": [{"path": "a", "blob": "%%"}]}}',
     "'blob' of item 0 of 'content' is not base64"),
    ("agentcore", "readFiles", b'{"name": "readFiles", "arguments": {"paths": [1]}}',
     "item 0 of 'paths' is not a string: 1"),
    *[(stand_in, route, body, says) for stand_in, route in
      [("opensandbox", "command"), ("e2b", "execute"), ("agentcore", "executeCode")] for body, says in [
          (b"[" * 200_000 + b"]" * 200_000, "the request body is nested too deeply"),
          (b'{"code": "\\ud800"}', _NOT_JSON + r": '\ud800' holds a lone surrogate"),
          (b'{"x": [NaN]}', _NOT_JSON + ": nan is not a JSON number")]],
    ("e2b", "create", b'{"templateID": "base", "timeout": 1e999}', _NOT_JSON + ": inf is not a JSON number"),
    ("e2b", "set_timeout", b'{"timeout": -Infinity}', _NOT_JSON + ": -inf is not a JSON number"),
    *[("e2b", "execute", b'{"code": "1", "env_vars": %s}' % env, "'env_vars' of the request body is not an object of "
       "strings, each named without '=' or NUL") for env in [b'{"A": 1}', b'{"A": null}', b'{"A=B": "1"}',
                                                              b'{"A\\u0000": "1"}', b'{"": "1"}']],
    ("e2b", "create", b'{"templateID": "base", "envVars": {"A": "\\u0000"}}', "'envVars' of the request body is not"),
    ("opensandbox", "create", b'{"image": {"uri": "python"}, "env": {"A=B": "1"}}', "'env' of the request body is not"),
    ("opensandbox", "create", b'{"image": {"uri": "python"}, "entrypoint": [1, null]}',
     "'entrypoint' of the request body is not an array of strings"),
    ("opensandbox", "command", b'{"command": "true", "envs": {"A": null}}', "'envs' of the request body is not"),
    ("opensandbox", "command", b'{"argv": [null, {}]}', "'argv' of the request body is not an array of strings"),
    ("opensandbox", "directories", b'{"/tmp/a": "notaperm"}',
     "the permissions of '/tmp/a' is not a JSON object: 'notaperm'"),
    ("opensandbox", "directories", b'{"/tmp/a": {"mode": "rwx"}}',
     "'mode' of the permissions of '/tmp/a' is not a number"),
    ("opensandbox", "directories", b'{"": {"mode": 493}}', "the request body names a directory with an empty path"),
    ("opensandbox", "files.upload", b'--part\r\nContent-Disposition: form-data; name="file"; filename="a"\r\n\r\n'
     b'data\r\n--part--\r\n', "a file part comes with no metadata part before it naming its path"),
    ("opensandbox", "files.upload", b'--part\r\nContent-Disposition: form-data; name="metadata"\r\n\r\n'
     b'{"path": "/tmp/a"}\r\n--part\r\nContent-Disposition: form-data; name="file"; filename="a"\r\n\r\ndata', _CUT),
    ("e2b", "files.write", b'--part\r\nContent-Disposition: form-data; name="file"; filename="/home/user/a"\r\n\r\n'
     b'data', _CUT),
    ("e2b", "set_timeout", b'{"timeout": %d}' % 10**400, _TIMEOUT),
])
async def test_a_malformed_request_body_is_refused_saying_why(request, stand_in: str, route: str, body: bytes,
                                                              says: str) -> None:
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1)
    service = request.getfixturevalue(stand_in)
    alive = lambda: getattr(service, "live_sessions", getattr(service, "alive_sandboxes", None))()  # noqa: E731
    try:
        before = set(alive())
        await sandbox.execute_code("kept = 1")
        answer = await _sent(service, stand_in, sandbox.sandbox_id, route, body)
        assert (answer.status_code, answer.json()["message"][:len(says)]) == (400, says), answer.text
        assert set(alive()) == before
        assert (await sandbox.execute_command("echo alive")).stdout.strip() == "alive"
        assert (await sandbox.execute_code("print(kept)")).stdout == "1\n"  # its code worker untouched
    finally:
        await sandbox.terminate()


def _sandbox_processes() -> set[str]:
    """The pids of the sandboxes (bubblewrap) this process has started that have not ended."""
    found = set()
    for children in Path("/proc/self/task").glob("*/children"):
        with contextlib.suppress(OSError):  # a thread ended meanwhile, or a child
            for pid in children.read_text().split():
                with contextlib.suppress(OSError):
                    found |= {pid} if Path("/proc", pid, "comm").read_text() == "bwrap\n" else set()
    return found


# A request refused, whatever it carried, is answered 4xx saying why, never a bare 500, and leaves nothing of what it
# would have begun: no directory, no process (the sandbox a create would make, the command a command would run).
@pytest.mark.parametrize(("stand_in", "route", "body", "says"), [
    ("opensandbox", "command", lambda: {"command": "sleep 3001", "timeout": 10**400}, _TIMEOUT),
    ("opensandbox", "/v1/sandboxes", lambda: {"image": {"uri": "python"}, "timeout": 10**400}, _TIMEOUT),
    ("opensandbox", "/v1/snapshots?pageSize=0", None, "'pageSize' of the query is not a whole number of at least 1"),
    *[("e2b", "/v2/sandboxes", lambda env=env: {"templateID": "base", **env()}, says) for env, says in [
        (lambda: {"timeout": 10**400}, _TIMEOUT), (lambda: {"envVars": {"A": "x" * 50_000_000}}, _ENV),
        (lambda: {"envVars": {f"V{number}": "1" for number in range(300_000)}}, _ENV)]],
    *[("e2b", "/v2{build}", lambda step=step: {"steps": [step]}, "step 0 of the request body, a COPY, gives no 'args'")
      for step in ({"type": "COPY", "args": []}, {"type": "COPY"})],
    ("e2b", "{build}/status?logsOffset=x", None, "'logsOffset' of the query is not a whole number of at least 0"),
])
async def test_a_refused_request_leaves_nothing_behind(request, stand_in: str, route: str, body, says: str) -> None:
    service = request.getfixturevalue(stand_in)
    [(sandbox, _)] = await _sandboxes(request, stand_in, 1) if route == "command" else [(None, None)]
    tree = service.tmp if stand_in == "e2b" else service._trees  # where a removal is first moved aside
    ours = lambda: ({name for name in os.listdir(tree) if not name.startswith(".removed-")},  # noqa: E731
                    _sandbox_processes())
    before = ours()
    base, key = (service.api_url, "x-api-key") if stand_in == "e2b" else (service.url("api"), "OPEN-SANDBOX-API-KEY")
    try:
        async with httpx.AsyncClient(base_url=base, headers={key: service.api_key}, timeout=120) as client:
            if "{build}" in route:
                made = (await client.post("/v3/templates", json={"name": "leftovers"})).json()
                route = route.format(build=f"/templates/{made['templateID']}/builds/{made['buildID']}")
            answer = await (_sent(service, stand_in, sandbox.sandbox_id, route, json.dumps(body()).encode())
                            if sandbox else client.request("POST" if body else "GET", route, json=body and body()))
        assert (answer.status_code, answer.json()["message"][:len(says)]) == (400, says), answer.text[:300]
        assert sandbox is None or (await sandbox.execute_command("pgrep -f 'sleep 300[1]'")).exit_code == 1
        assert [now - then for now, then in zip(ours(), before)] == [set(), set()]
    finally:
        if sandbox is not None:
            await sandbox.terminate()


# A body nested deeper than a decoder should recurse is refused before one sees it, on E2B's command route too, whose
# codec (in C) would overflow its thread's stack and end the stand-in's process: run in a process of its own.
DEEP = """import httpx, struct
from tests.fakes.e2b_server import E2BStandIn
with E2BStandIn() as service:
    made = httpx.post(service.api_url + "/v2/sandboxes", json={"templateID": "base"},
                      headers={"x-api-key": service.api_key}).json()
    body = b'{"process": {"cmd": "true", "envs": {"A": ' + b"[" * 100_000 + b"]" * 100_000 + b"}}}"
    print(httpx.post(service.sandbox_url + "/process.Process/Start", content=struct.pack(">BI", 0, len(body)) + body,
                     headers={"content-type": "application/connect+json", "e2b-sandbox-id": made["sandboxID"],
                              "x-access-token": made["envdAccessToken"]}, timeout=60).content[5:].decode())
"""


def test_a_body_nested_too_deeply_is_refused_before_any_decoder() -> None:
    run = subprocess.run([sys.executable, "-c", DEEP], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, (run.returncode, run.stderr[-2000:])
    assert json.loads(run.stdout)["error"] == {
        "code": "invalid_argument", "message": "the request body is nested too deeply (over 1,000 levels)"}


# The depth check reads a body once, however its strings end: a string of escaped quotes that never closes (each of
# its quotes one a string could start at) is refused as soon as any other body, never holding the stand-in's loop.
@pytest.mark.timeout(60)
@pytest.mark.parametrize("body", [b"[" * 1001 + b'"' + b'\\"' * 500_000, b'"' + b'\\"' * 500_000 + b"[" * 1001])
def test_a_body_whose_string_never_ends_is_read_once(body: bytes) -> None:
    with pytest.raises(Refuse, match="the request body is"):
        standin.json_object(body)


# A snapshot's copier holds a few descriptors however deep the tree: one deeper than its open files allow is copied
# whole, what is beside the walk on the way back up too.
def test_a_tree_is_copied_whatever_its_depth(tmp_path: Path) -> None:
    level = tmp_path / "tree"
    for depth in range(1100):
        (level := level / "d").mkdir(parents=True)
        (level.parent / "file").write_text(str(depth))
    (copy := tmp_path / "copy").mkdir()
    run = subprocess.run(["prlimit", "--nofile=128:128", sys.executable, "-I", "-S", tree_copy.__file__,
                          tmp_path / "tree", copy], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[:300]
    found = subprocess.run(["find", "-name", "file"], cwd=copy, capture_output=True, text=True).stdout.split()
    assert sorted(Path(copy, path).read_text() for path in found) == sorted(map(str, range(1100)))


# What a sandbox's code leaves, its tree goes whole: one deeper than the descriptors a login's soft limit leaves
# (1,024 open files, 200 of them open) and than Python's stack, directories its user may not enter (root too:
# the removal runs without the capabilities that pass over modes), and a link out, never followed. The removing
# process opens a few descriptors, not one a level: the stand-in's other sandboxes are served on those meanwhile.
@pytest.mark.parametrize("tree", ["deep", "shut", "deep and shut"])
def test_a_tree_is_removed_whatever_its_depth_and_modes(tmp_path: Path, tree: str) -> None:
    (outside := tmp_path / "outside").mkdir()
    (outside / "kept").write_text("kept")
    outside.chmod(0o500)
    levels = [root := tmp_path / "tree"]
    for _ in range(1100 if "deep" in tree else 3):
        levels.append(levels[-1] / "d")
    for level in levels:
        level.mkdir()
    (levels[-1] / "out").symlink_to(outside)
    if "shut" in tree:
        for level in reversed(levels):
            level.chmod(0)
    unprivileged = ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"] * (os.geteuid() == 0)
    program = f"""import os, resource, sys
from tests.fakes import standin
resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
held = [os.open(os.devnull, os.O_RDONLY) for _ in range(200)]
opened = []
sys.addaudithook(lambda event, _: event == "open" and opened.append(event))
standin.remove_tree({str(root)!r})
print(len(opened))"""
    try:
        removal = subprocess.run([*unprivileged, sys.executable, "-c", program], cwd=ROOT, capture_output=True,
                                 text=True, timeout=120)
        assert removal.returncode == 0, removal.stderr
        assert not os.path.lexists(root) and int(removal.stdout) < 10, removal.stdout
        assert (outside / "kept").read_text() == "kept" and stat.S_IMODE(outside.stat().st_mode) == 0o500
    finally:
        outside.chmod(0o700)
        if os.path.lexists(root):  # what a failed removal left, which pytest's own clean-up may not remove
            for argv in (["chmod", "-R", "u+rwx", root], ["rm", "-rf", root]):
                subprocess.run(argv, stderr=subprocess.DEVNULL)


# What find reached as a directory may have become a link by the time it is opened up (a sandbox's process still
# running swaps one): only the directory itself is opened up, never what a link in its place points at.
def test_a_directory_is_opened_up_but_a_link_in_its_place_is_not_followed(tmp_path: Path) -> None:
    (outside := tmp_path / "outside").mkdir()
    (outside / "file").write_text("kept")
    (tmp_path / "to a directory").symlink_to(outside)
    (tmp_path / "to a file").symlink_to(outside / "file")
    (shut := tmp_path / "shut").mkdir()
    for entry, mode in ((outside / "file", 0o400), (outside, 0o500), (shut, 0)):
        entry.chmod(mode)
    try:
        for name in ("to a directory", "to a file", "shut"):
            subprocess.run([*standin._OPEN_UP, f"./{name}"], cwd=tmp_path, stderr=subprocess.DEVNULL, timeout=60)
        modes = [stat.S_IMODE(entry.stat().st_mode) for entry in (outside / "file", outside, shut)]
        assert modes == [0o400, 0o500, 0o700]
    finally:
        outside.chmod(0o700)


# A link's path with trailing slashes or ending in "." or ".." would lead rm and chmod to what it points at (or above):
# the link goes, or the path is refused, and what it points at stays as it was, its mode too.
@pytest.mark.parametrize("written", ["/", "//", "/.", "/.."])
def test_a_link_is_never_followed_however_its_path_is_written(tmp_path: Path, written: str) -> None:
    (target := tmp_path / "target" / "d").mkdir(parents=True)
    (target / "kept").write_text("kept")
    (link := tmp_path / "link").symlink_to(target)
    for directory in (target, target.parent):
        directory.chmod(0o500)
    try:
        with pytest.raises(ValueError, match="names no entry") if "." in written else contextlib.nullcontext():
            standin.remove_tree(f"{link}{written}")
        assert (target / "kept").read_text() == "kept"
        assert [stat.S_IMODE(directory.stat().st_mode) for directory in (target, target.parent)] == [0o500] * 2
        assert os.path.lexists(link) == ("." in written)
    finally:
        for directory in (target.parent, target):
            directory.chmod(0o700)


# A stop interrupted (Ctrl-C) while it waits for a removal leaves the stand-in's directory: stopping once more
# finishes it, and lets go of what held it.
def test_a_stop_interrupted_is_finished_by_the_next(monkeypatch: pytest.MonkeyPatch) -> None:
    class Quiet(standin.StandIn):
        async def _serve(self) -> None:
            pass

    service, going, remove = Quiet(), threading.Event(), standin.remove_tree
    monkeypatch.setattr(standin, "remove_tree", lambda path: going.wait(60) and remove(path))
    service.start()
    try:
        (service.tmp / "sbx" / "d").mkdir(parents=True)
        service.remove(service.tmp / "sbx")
        [removal] = service._removals

        def interrupted(timeout: float | None = None) -> None:
            del removal.join
            raise KeyboardInterrupt

        removal.join = interrupted
        with pytest.raises(KeyboardInterrupt):
            service.stop()
        assert os.path.isdir(service.tmp) and service._held
    finally:
        going.set()
        service.stop()
    assert not os.path.lexists(service.tmp) and not service._held


# A sandbox's tree 25,000 levels deep goes whole when it is terminated, while another sandbox's command is served,
# and so does one left to the stand-in's stop, which waits for every removal however long it takes, raises nothing
# and removes nothing on its loop (which would hold up the rest of its stop and every other request).
async def test_a_deep_tree_goes_whole_at_terminate_and_at_stop(monkeypatch: pytest.MonkeyPatch) -> None:
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

    def deep(top: Path) -> None:  # by descriptors: a path 25,000 levels long is longer than a path may be
        fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
        for _ in range(25_000):
            os.mkdir("d", dir_fd=fd)
            fd, above = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
            os.close(above)
        os.close(fd)

    service, on_loop, remove = opensandbox_server.OpenSandboxStandIn(), [], standin.remove_tree

    def watched(path) -> None:
        on_loop.append(threading.current_thread() is service._thread)
        remove(path)

    for module in (standin, opensandbox_server):  # and wherever a stand-in would call it itself
        monkeypatch.setattr(module, "remove_tree", watched, raising=False)
    await asyncio.to_thread(service.start)
    try:
        one, other = [await OpenSandbox.create(**service.connection_options(), create_backoff=0.0) for _ in "12"]
        for sandbox in (one, other):
            await asyncio.to_thread(deep, service.sandboxes[sandbox.sandbox_id].root / "tmp")
        await one.terminate()
        served = await other.execute_command("echo served")
    finally:
        await asyncio.to_thread(service.stop)
    assert served.stdout.strip() == "served", served
    assert not [directory for directory in (service.tmp, service._trees) if os.path.lexists(directory)]
    assert on_loop and not any(on_loop), on_loop
