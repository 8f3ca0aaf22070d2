# The package step of scripts/setup.sh, run against stand-in apt-get, dpkg, id and sudo first on
# a PATH from which the real ones are hidden, so the machine's package manager is never touched;
# the set-up itself, in a copy, with a stand-in python3.13 whose headers the test places, and an rm
# that can be cut short.
# The stand-in apt-get takes its locks as apt 2.6 does (flock here): install waits for the dpkg
# lock when given DPkg::Lock::Timeout, update never waits for the lists lock.

from __future__ import annotations

import errno
import fcntl
import getpass
import grp
import os
import pwd
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest

from tests.fakes.standin import DEFAULT_SIGNALS, remove_tree

ROOT = Path(__file__).resolve().parents[1]
PACKAGES = ["g++", "make", "cmake", "pkg-config", "libpcre2-dev", "python3-venv", "bubblewrap", "libvectorscan-dev"]
HIDDEN = {"apt-get", "apt", "dpkg", "id", "sudo"}

FAKE_APT = r"""#!/bin/bash
wait=0 op=
while (($#)); do
    case $1 in
        -o) [[ $2 == DPkg::Lock::Timeout=* ]] && wait=${2#*=}; shift 2 ;;
        update|install) op=$1; shift; break ;;
        *) shift ;;
    esac
done
[ -n "$op" ] || exit 0
echo "${FAKE_VIA:-direct} $op $wait" >> "$FAKE_DIR/calls"
[ "$op" != "$FAKE_FAIL_OP" ] || { printf '%s\n' "$FAKE_FAIL" >&2; exit 100; }
if [ "$op" = update ]; then lock=$FAKE_DIR/lists.lock wait=0; else lock=$FAKE_DIR/frontend.lock; fi
exec 8>>"$lock"
if ! flock -n 8; then
    pid=$(cat "$lock")
    echo "$op" >> "$FAKE_DIR/contended"
    if ((wait == 0)); then
        echo "E: Could not get lock $lock. It is held by process $pid ($(cat /proc/$pid/comm))" >&2
        exit 100
    fi
    flock -w "$wait" 8 || { echo "E: Unable to acquire the dpkg frontend lock ($lock)" >&2; exit 100; }
fi
echo $$ > "$lock"
# Held, in the two-run case, until the test has seen the other run contend.
[ ! -e "$FAKE_DIR/gate" ] || flock "$FAKE_DIR/gate" true
[ "$op" = update ] || for arg; do [[ $arg == -* ]] || echo "$arg"; done >> "$FAKE_DIR/installed"
[[ -z $FAKE_DEV_HEADERS || " $* " != *" python3.13-dev "* ]] || touch "$FAKE_DIR/include/Python.h"
"""
FAKE_DPKG = r"""#!/bin/bash
[ "$1" = -s ] && grep -qxF -- "$2" "$FAKE_DIR/installed" 2>/dev/null && exit
[ "$1" = -S ] && [[ $FAKE_OWNED == *": $2" ]] && echo "$FAKE_OWNED"
"""
FAKE_ID = """#!/bin/bash\necho "$FAKE_UID"\n"""
# Answers the set-up's queries (real path, version and include directory; sys.version; the import
# check, true once pip ran, which first points .venv to FAKE_CHECK_RELINK if set); leaves what it asks of
# ACLs to the real Python (first sending the set-up and itself the signal FAKE_ACL_KILL names, if set);
# records where pytest runs and its arguments; logs anything else, which fails unless FAKE_VENV is set:
# then "-m venv" (first, with FAKE_VENV_SIGNAL set to INT or TERM, sending that signal to itself, or with
# " group" after it, to its process group, as Ctrl-C does) makes a .venv of pyvenv.cfg and a link to it (then points
# .venv to FAKE_VENV_RELINK if set, then kills the set-up and itself if FAKE_VENV_CUT is set, or fails if
# FAKE_VENV_FAILS is), and pip
# (first, with FAKE_PIP_GATE set, saying so in pip-started, written by the shell itself: a Ctrl-C sent once it
# shows would reach a `touch` still ending, which bash takes for one its child caught, and goes on; and waiting
# for the lock on pip-gate, which with FAKE_PIP_GATE=caught a SIGINT ends as pip ends on Ctrl-C, with 1) logs
# where it installs, as Python finds its prefix when it starts (then, with FAKE_PIP_RELINK set, points
# .venv there and writes a file where it installs; and for the editable build, runs FAKE_BUILD, if set,
# in the real Python), and succeeds unless FAKE_PIP_FAILS is set or FAKE_BUILD fails.
FAKE_PYTHON = r"""#!/bin/bash
touch "$FAKE_DIR/python-ran"
if [ "$1" = -c ]; then
    case $2 in
        *posix_acl*) [ -z "$FAKE_ACL_KILL" ] || kill -"$FAKE_ACL_KILL" "$PPID" $$; exec "$FAKE_REAL_PYTHON" "$@" ;;
        *sysconfig*) printf '%s\n' "$(realpath "$0")" 3.13 "$FAKE_DIR/include" ;;
        *sys.version*) echo 3.13 ;;
        *) [ -z "$FAKE_CHECK_RELINK" ] || ln -sfnT "$FAKE_CHECK_RELINK" .venv
           [ -e "$FAKE_DIR/installed-editable" ] ;;
    esac
    exit
fi
[ "$1 $2 $3" != "-P -m pytest" ] || { printf '%s\n' "$PWD" "${@:4}" > "$FAKE_DIR/pytest"; exit; }
echo "$*" >> "$FAKE_DIR/python"
[ -n "$FAKE_VENV" ] || exit 1
case $2 in
    venv) [ ! -L "$3" ] || { echo "Error: Unable to create directory '$3'" >&2; exit 1; }  # as venv does
          [ -z "$FAKE_VENV_SIGNAL" ] || exec "$FAKE_REAL_PYTHON" -c 'import os, signal, sys
sent = signal.Signals["SIG" + sys.argv[1]]
signal.signal(sent, signal.SIG_DFL)
os.kill(0 if sys.argv[2:] == ["group"] else os.getpid(), sent)' $FAKE_VENV_SIGNAL
          mkdir -p "$3/bin" && touch "$3/pyvenv.cfg" && ln -s "$(realpath "$0")" "$3/bin/python"
          [ -z "$FAKE_VENV_RELINK" ] || ln -sfnT "$FAKE_VENV_RELINK" .venv
          [ -z "$FAKE_VENV_CUT" ] || kill -KILL $PPID $$
          [ -z "$FAKE_VENV_FAILS" ] ;;
    pip) [ "$FAKE_PIP_GATE" != caught ] || trap 'echo "ERROR: Operation cancelled by user" >&2; exit 1' INT
         [ -z "$FAKE_PIP_GATE" ] || { : > "$FAKE_DIR/pip-started"; flock "$FAKE_DIR/pip-gate" true; }
         home=$(dirname "$(dirname "$0")")
         [ -f "$home/pyvenv.cfg" ] || home=$(dirname "$(dirname "$(realpath "$0")")")
         [ -z "$FAKE_PIP_RELINK" ] || { ln -sfnT "$FAKE_PIP_RELINK" .venv && touch "$home/written"; }
         realpath "$home" >> "$FAKE_DIR/pip-into"
         [[ -z $FAKE_BUILD || " $* " != *" --no-build-isolation "* ]] || "$FAKE_REAL_PYTHON" -c "$FAKE_BUILD" || exit
         [ -z "$FAKE_PIP_FAILS" ] && touch "$FAKE_DIR/installed-editable" ;;
esac
"""
# Removes as rm does, but when FAKE_RM_CUT is set (to paths from the directory that holds the first
# tree it is given, maybe none), kills the set-up and itself while removing a tree that is there:
# after removing those.
FAKE_RM = r"""#!/bin/bash
if [ "$1" = -rf ] && [ -n "${FAKE_RM_CUT+set}" ] && [ -e "$2" ]; then
    for entry in $FAKE_RM_CUT; do "$FAKE_DIR/system/rm" -rf "$(dirname "$2")/$entry"; done
    kill -KILL $PPID $$
fi
exec "$FAKE_DIR/system/rm" "$@"
"""
FAKE_SUDO = r"""#!/bin/bash
[ -z "$FAKE_SUDO_PASSWORD" ] || { echo "sudo: a password is required" >&2; exit 1; }
[ "$1" = -n ] || { echo "fake sudo: would prompt for a password" >&2; exit 1; }
shift
while [[ $1 == *=* ]]; do export "$1"; shift; done
FAKE_VIA=sudo exec "$@"
"""


@pytest.fixture
def world(tmp_path: Path) -> Path:
    """A PATH of the usual tools (links) with the package tools and Python replaced by stand-ins."""
    system = tmp_path / "system"
    system.mkdir()
    for directory in os.environ["PATH"].split(os.pathsep):
        if os.path.isdir(directory):
            for name in os.listdir(directory):
                target, link = os.path.join(directory, name), system / name
                if not (name in HIDDEN or name.startswith("python") or link.exists()) and os.access(target, os.X_OK):
                    link.symlink_to(target)
    fakes = tmp_path / "fakes"
    fakes.mkdir()
    fake = {"apt-get": FAKE_APT, "dpkg": FAKE_DPKG, "id": FAKE_ID, "sudo": FAKE_SUDO, "python3.13": FAKE_PYTHON,
            "rm": FAKE_RM}
    for name, text in fake.items():
        (fakes / name).write_text(text)
        (fakes / name).chmod(0o755)
    return tmp_path


def start(
    world: Path,
    uid: int = 0,
    script: Path = ROOT / "scripts" / "_packages.sh",
    as_nobody: bool = False,
    under: tuple[str, ...] = (),
    args: tuple[str, ...] = (),
    cwd: Path | None = None,
    **env: str,
) -> subprocess.Popen[str]:
    env |= {"PATH": f"{world / 'fakes'}:{world / 'system'}", "FAKE_DIR": str(world), "FAKE_UID": str(uid),
            "FAKE_REAL_PYTHON": sys.executable}
    # As nobody, who may read anything (tmp_path's parents are root's alone) but write nothing of root's.
    caps = "--inh-caps=+dac_read_search --ambient-caps=+dac_read_search"
    nobody = f"setpriv --reuid=65534 --regid=65534 --clear-groups {caps}".split() if as_nobody else []
    argv = [*nobody, *under, "bash", str(script), *args]
    return subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def mounted(source: Path, target: Path, *options: str, userns: bool = True) -> tuple[str, ...]:
    """A command that runs the rest with `source` bind-mounted at `target` (with `options`), in a mount
    namespace of its own (and a user namespace, unless `userns` is false: root's), so that the mount goes
    when it ends."""
    remount = f'mount -o remount,bind,{",".join(options)} "$2" && ' if options else ""
    script = f'mount --bind "$1" "$2" && {remount}shift 2 && exec "$@"'
    return ("unshare", *["--map-root-user"] * userns, "--mount", "bash", "-c", script, "mounted", str(source),
            str(target))


def finish(run: subprocess.Popen[str]) -> tuple[int, str]:
    try:
        _, err = run.communicate(timeout=60)
    finally:
        run.kill()
    return run.returncode, err


@contextmanager
def held(path: Path) -> Iterator[None]:
    """Holds `path` as another package manager run would, writing our pid into it."""
    with open(path, "a+") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        f.truncate(0)
        f.write(str(os.getpid()))
        f.flush()
        yield


def await_contention(world: Path, *runs: subprocess.Popen[str], op: str = "", log: str = "contended") -> None:
    """Until apt-get (`op`, or any) has found its lock held (or, with log="calls", has been called)."""
    deadline = time.monotonic() + 30
    while not (world / log).exists() or op not in (world / log).read_text():
        assert all(run.poll() is None for run in runs), [run.communicate() for run in runs]
        assert time.monotonic() < deadline, f"no apt-get {op} in {log}"
        time.sleep(0.05)


def calls(world: Path) -> list[tuple[str, str, int]]:
    """(direct or sudo, update or install, DPkg::Lock::Timeout) for each apt-get call."""
    return [(via, op, int(wait)) for via, op, wait in map(str.split, (world / "calls").read_text().splitlines())]


@pytest.mark.parametrize("lock", ["lists", "frontend"])
def test_waits_for_a_held_lock_and_says_so_once(world: Path, lock: str) -> None:
    with held(world / f"{lock}.lock"):
        run = start(world)
        await_contention(world, run)
    code, err = finish(run)
    assert code == 0, err
    waiting = [line for line in err.splitlines() if "waiting" in line]
    assert len(waiting) == 1 and f"process {os.getpid()}" in waiting[0], err
    assert (world / "installed").read_text().split() == PACKAGES
    # The step that found the lock held tried again, letting apt wait the rest of the 300 s.
    contended = (world / "contended").read_text().split()[0]
    assert any(op == contended and 0 < wait <= 300 for _, op, wait in calls(world)), calls(world)


# One wait for both steps, from when a lock is first found held: what update waited for its lock
# is not waited again for the dpkg lock; the time update takes to run, no lock held, is not counted.
@pytest.mark.parametrize(("update_held_by", "install_wait"), [("lists.lock", range(1, 28)), ("gate", range(28, 31))])
def test_both_steps_share_one_wait(world: Path, update_held_by: str, install_wait: range) -> None:
    with held(world / "frontend.lock"):
        with held(world / update_held_by):
            run = start(world, VORN_SETUP_LOCK_WAIT="30")
            await_contention(world, run, op="update", log="contended" if update_held_by == "lists.lock" else "calls")
            time.sleep(4)  # update waits for the lists lock, or runs, that long at least
        await_contention(world, run, op="install")
    code, err = finish(run)
    assert code == 0 and (world / "installed").read_text().split() == PACKAGES, err
    install_waits = [wait for _, op, wait in calls(world) if op == "install" and wait]
    assert install_waits and all(wait in install_wait for wait in install_waits), calls(world)


# The wait is read as decimal seconds, a leading zero included.
@pytest.mark.parametrize(("wait", "seconds"), [("2", 2), ("08", 8)])
def test_a_lock_held_past_the_wait_names_its_holder(world: Path, wait: str, seconds: int) -> None:
    with held(world / "frontend.lock"):
        code, err = finish(start(world, VORN_SETUP_LOCK_WAIT=wait))
    verdict = [line for line in err.splitlines() if "still holds" in line]
    assert code != 0 and len(verdict) == 1, err
    assert f"process {os.getpid()}" in verdict[0] and "run scripts/setup.sh again" in verdict[0], err
    assert f"lock after {seconds} s." in verdict[0], err
    assert not (world / "installed").exists()
    assert all(wait <= seconds for _, _, wait in calls(world)), calls(world)


# Refused even when nothing is missing, before any apt call.
@pytest.mark.parametrize(
    ("wait", "installed"),
    [("soon", []), ("-1", []), ("1.5", PACKAGES), (" 5", []), ("0x10", []), ("2147483648", PACKAGES)],
)
def test_a_wait_that_is_not_whole_seconds_is_refused(world: Path, wait: str, installed: list[str]) -> None:
    (world / "installed").write_text("".join(f"{p}\n" for p in installed))
    code, err = finish(start(world, VORN_SETUP_LOCK_WAIT=wait))
    assert code != 0 and "VORN_SETUP_LOCK_WAIT must be a whole number of seconds" in err, err
    assert f"'{wait}'" in err, err
    assert not (world / "calls").exists()


# Failures apt reports about a lock it cannot open (no right to it, a read-only disk) are not
# another run holding it: waiting would not help.
@pytest.mark.parametrize(
    ("op", "message"),
    [
        ("install", "E: Unable to locate package libvectorscan-dev"),
        ("update", "E: Could not open lock file /var/lib/apt/lists/lock - open (13: Permission denied)\n"
                   "E: Unable to lock directory /var/lib/apt/lists/"),
        ("install", "E: Could not open lock file /var/lib/dpkg/lock-frontend - open (30: Read-only file system)"
                    "\nE: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend),"
                    " are you root?"),
    ],
)
def test_an_apt_failure_other_than_a_held_lock_fails_at_once(world: Path, op: str, message: str) -> None:
    code, err = finish(start(world, VORN_SETUP_LOCK_WAIT="1", FAKE_FAIL_OP=op, FAKE_FAIL=message))
    assert code != 0 and message in err, err
    assert "waiting" not in err and "still holds" not in err, err
    assert [o for _, o, _ in calls(world)] == (["update"] if op == "update" else ["update", "install"]), err
    assert not (world / "installed").exists()


@pytest.mark.parametrize(
    ("uid", "sudo", "outcome"),
    [
        (0, "missing", "direct"),
        (1000, "yes", "sudo"),
        (1000, "missing", "apt-get update && apt-get install -y " + " ".join(PACKAGES)),
        (1000, "password", "sudo apt-get update && sudo apt-get install -y " + " ".join(PACKAGES)),
    ],
)
def test_root_sudo_or_the_line_to_run(world: Path, uid: int, sudo: str, outcome: str) -> None:
    if sudo == "missing":
        (world / "fakes" / "sudo").unlink()
    code, err = finish(start(world, uid, **({"FAKE_SUDO_PASSWORD": "1"} if sudo == "password" else {})))
    if outcome in ("direct", "sudo"):
        assert code == 0, err
        assert [(via, op) for via, op, _ in calls(world)] == [(outcome, "update"), (outcome, "install")], err
        assert (world / "installed").read_text().split() == PACKAGES
    else:
        assert code != 0 and outcome in err and not (world / "calls").exists(), err


def test_nothing_missing_calls_no_apt(world: Path) -> None:
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    code, err = finish(start(world, 1000, FAKE_SUDO_PASSWORD="1"))
    assert (code, err) == (0, "")
    assert not (world / "calls").exists()


def test_two_set_ups_at_once_both_install(world: Path) -> None:
    with held(world / "gate"):
        runs = [start(world), start(world)]
        await_contention(world, *runs)
    results = [finish(r) for r in runs]
    assert [code for code, _ in results] == [0, 0], results
    assert (world / "installed").read_text().split() == PACKAGES * 2


def checkout(world: Path) -> Path:
    """A checkout holding the set-up scripts and a pinned file; its scripts directory."""
    scripts = world / "checkout" / "scripts"
    scripts.mkdir(parents=True)
    for name in ("setup.sh", "test.sh", "_packages.sh"):
        shutil.copy(ROOT / "scripts" / name, scripts)
    (world / "checkout" / "constraints.txt").write_text("a==1\n")
    (world / "include").mkdir()
    return scripts


# Run through a link (~/bin/setup.sh, say), each sets up the checkout it belongs to, not the link's;
# pytest runs there.
@pytest.mark.parametrize("name", ["setup.sh", "test.sh"])
def test_through_a_link_it_sets_up_its_own_checkout(world: Path, name: str) -> None:
    scripts, link = checkout(world), world / "elsewhere" / "bin" / name
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    link.parent.mkdir(parents=True)
    link.symlink_to(scripts / name)
    code, err = finish(start(world, os.getuid(), link, FAKE_VENV="1", PYENV_ROOT=str(world)))
    assert code == 0 and err.endswith("[setup] done\n"), err
    assert (world / "checkout" / ".venv").is_dir() and not (world / "elsewhere" / ".venv").exists()
    if name == "test.sh":
        assert (world / "pytest").read_text().splitlines()[0] == str(world / "checkout")


# A POSIX ACL as the kernel keeps it (system.posix_acl_access or _default), as `setfacl -m u:nobody:rwx`
# leaves it on a 755 directory: rwx for the owner, nobody and the mask, r-x for the group and others.
NOBODY_MAY_WRITE = struct.pack("<I", 2) + b"".join(
    struct.pack("<HHI", tag, perm, who)
    for tag, perm, who in ((0x01, 7, 2**32 - 1), (0x02, 7, 65534), (0x04, 5, 2**32 - 1), (0x10, 7, 2**32 - 1),
                           (0x20, 5, 2**32 - 1))
)


def let_nobody_write(path: Path, kind: str) -> None:
    """Gives `path` an ACL (`kind`: access, or default: for what is made in it) that lets nobody write."""
    try:
        os.setxattr(path, f"system.posix_acl_{kind}", NOBODY_MAY_WRITE)
    except OSError as error:
        if error.errno != errno.EOPNOTSUPP:
            raise
        pytest.skip(f"the file system of {path} takes no ACLs")


# Whatever the caller's umask, or a default ACL on the checkout's directory (which umask does not
# narrow), what the set-up makes is the caller's alone: it goes on with the venv it made, and no one
# else may change the programs it runs. A SIGTERM as it makes .venv there is ignored for that moment; a SIGKILL
# then leaves .venv empty, 700 and with the ACL, which the next run makes anew rather than refuse.
@pytest.mark.parametrize(
    "lax", ["umask 000", "a default ACL", "a default ACL, and SIGTERM", "a default ACL, and SIGKILL"]
)
def test_the_venv_the_set_up_makes_is_the_callers_alone(world: Path, lax: str) -> None:
    scripts, venv = checkout(world), world / "checkout" / ".venv"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    under = ("sh", "-c", 'umask 000 && exec "$@"', "lax") if lax == "umask 000" else ()
    if lax.startswith("a default ACL"):
        let_nobody_write(world / "checkout", "default")
    kill = lax.partition("SIG")[2]
    for signal_name in (kill, "") if kill else ("",):
        code, err = finish(start(world, os.getuid(), scripts / "setup.sh", under=under, FAKE_VENV="1",
                                 PYENV_ROOT=str(world), FAKE_ACL_KILL=signal_name))
        if signal_name == "KILL":
            assert code == -signal.SIGKILL and stat.S_IMODE(venv.stat().st_mode) == 0o700 and os.listxattr(venv), err
    assert code == 0 and err.endswith(("[setup] done\n", "[setup] up to date\n")), err
    for made in (venv, venv / "bin"):
        assert stat.S_IMODE(made.stat().st_mode) == 0o755 and not os.listxattr(made), made


# The set-up runs what a .venv holds (its bin/python): one that others could write is refused before
# anything in it runs, however they could (an ACL; a default ACL, on what is made in it; the group's
# bits, whoever's group it is; another user's own; anyone's), in one line naming who and what to run:
# made anew, since what is in it may be theirs; only an empty one may be kept (setfacl only where installed).
# As root, the shared group is nobody's (nogroup), whose .venv another member of that group filled. A group
# is named, another user's too; one without a name by its number; where anyone may write, anyone, not the group.
@pytest.mark.parametrize(
    ("case", "mode", "told"),
    [
        ("an ACL", 0o755, "yours, with an ACL (ls -ld shows +) that may let others write (mode 775): {rule}; {remove}"),
        ("a default ACL", 0o755, "yours, with an ACL (ls -ld shows +) that may let others write (mode 755): {rule};"
                                 " {remove}"),
        ("a primary group shared with another user", 0o775, "yours, but group {group} can write it (mode 775):"
                                                            " {rule}; {remove}"),
        ("another user's", 0o755, "nobody's, not yours (mode 755): {rule}; {remove}"),
        ("another user's, its group's too", 0o775, "nobody's, not yours, and group {group} can write it (mode 775):"
                                                   " {rule}; {remove}"),
        ("another user's, anyone's", 0o777, "nobody's, not yours, and anyone can write it (mode 777): {rule};"
                                            " {remove}"),
        ("a group with no name", 0o775, "yours, but group {group} can write it (mode 775): {rule}; {remove}"),
        ("anyone's", 0o777, "yours, but anyone can write it (mode 777): {rule}; {remove}"),
        ("an empty one with an ACL", 0o755, "yours, with an ACL (ls -ld shows +) that may let others write"
                                            " (mode 775): {rule}; {remove}"),
        ("an empty one with a default ACL", 0o755, "yours, with an ACL (ls -ld shows +) that may let others write"
                                                   " (mode 755): {rule}; run setfacl -R -b .venv, or {remove}"),
        ("an empty one anyone's", 0o777, "yours, but anyone can write it (mode 777): {rule}; run chmod -R go-w"
                                         " .venv, or {remove}"),
        # 700, as a kill while the set-up made it leaves it, but holding files, or not the caller's: not removed.
        ("yours, 700, with a default ACL", 0o700, "yours, with an ACL (ls -ld shows +) that may let others write"
                                                  " (mode 700): {rule}; {remove}"),
        ("another user's, empty", 0o700, "nobody's, not yours (mode 700): {rule}; {remove}"),
    ],
    ids=["ACL", "default ACL", "shared group", "another user's", "another user's, group", "another user's, anyone's",
         "nameless group", "anyone's",
         "empty, ACL", "empty, default ACL", "empty, anyone's", "700, default ACL", "another user's, empty"],
)  # fmt: skip
def test_a_venv_others_could_write_is_refused(world: Path, case: str, mode: int, told: str) -> None:
    scripts, copy = checkout(world), world / "checkout"
    venv, uid, as_root = copy / ".venv", os.getuid(), os.getuid() == 0
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    venv.mkdir()
    if "empty" not in case:
        (venv / "bin").mkdir()
        (venv / "pyvenv.cfg").write_text("home = /usr/bin\n")
        (venv / "bin" / "python").write_text(f"#!/bin/sh\ntouch {world}/ran\n")
        (venv / "bin" / "python").chmod(mode | 0o111)
        (venv / "bin").chmod(mode)
    venv.chmod(mode)
    if case.endswith("ACL"):
        let_nobody_write(venv, "default" if case.endswith("default ACL") else "access")
        # setfacl is offered where it is installed (here, with the default ACL), not where it is not.
        (world / "system" / "setfacl").unlink(missing_ok=True)
        if case.endswith("default ACL"):
            (world / "fakes" / "setfacl").write_text("#!/bin/sh\nexit 1\n")
            (world / "fakes" / "setfacl").chmod(0o755)
    elif case.startswith("another user's") or (case.startswith("a primary group") and as_root):
        if not as_root:
            pytest.skip("only root can give a directory away")
        for path in (venv, *venv.rglob("*")):
            os.chown(path, 65534, 65534)
        if case.startswith("a primary group"):  # the checkout nobody's, its python another member's of nobody's group
            os.chown(copy, 65534, 65534)
            os.chown(venv / "bin" / "python", 4242, 65534)
            uid = 65534
    elif case == "a group with no name":
        if not as_root:
            pytest.skip("only root can give a directory to a group it is not in")
        named = {group.gr_gid for group in grp.getgrall()}
        for path in (venv, *venv.rglob("*")):
            os.chown(path, uid, next(gid for gid in range(4242, 65534) if gid not in named))
    before = {path: path.stat().st_mtime_ns for path in (venv, *venv.rglob("*"))}
    code, err = finish(start(world, uid, scripts / "setup.sh", as_nobody=uid != os.getuid(), FAKE_VENV="1",
                             PYENV_ROOT=str(world)))
    rule = "the set-up installs only where no one else can write"
    remove = "remove it (rm -rf .venv) for the set-up to make anew, yours alone; then run scripts/setup.sh again"
    told = told.format(rule=rule, remove=remove, group=group_name(venv.stat().st_gid))
    assert (code, err) == (1, f"[setup] .venv is {told}\n")
    assert {path: path.stat().st_mtime_ns for path in before} == before
    assert not (world / "ran").exists()


# scikit-build-core gives the first cmake on PATH 5 s to tell its version, and finds none if it takes
# longer (a pyenv shim on a busy machine): the build is given Debian's, which answers at once, or the one the
# user names in CMAKE_EXECUTABLE (a relative one from where the set-up is run, not from the checkout; one the shell
# left beginning with ~/ from home); one that names nothing to run is refused before pip runs, in a line naming it.
@pytest.mark.parametrize("given", ["", "the user's", "./mine/cmake", "mine/cmake", "~/mine/cmake", "/nonexistent/cmake"])
def test_the_build_finds_cmake_past_a_slow_one_first_on_path(world: Path, given: str) -> None:
    scripts, mine = checkout(world), world / "mine" / "cmake"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    (world / "fakes" / "cmake").write_text('#!/bin/sh\nsleep 6\nexec /usr/bin/cmake "$@"\n')
    (world / "fakes" / "cmake").chmod(0o755)
    mine.parent.mkdir()
    mine.write_text('#!/bin/sh\nexec /usr/bin/cmake "$@"\n')
    mine.chmod(0o755)
    env = {"CMAKE_EXECUTABLE": str(mine) if given == "the user's" else given} if given else {}
    build = ("import os; from packaging.specifiers import SpecifierSet; from scikit_build_core.cmake import CMake;"
             " found = CMake.default_search(version=SpecifierSet('>=3.18'), env=os.environ).cmake_path;"
             " open(os.path.join(os.environ['FAKE_DIR'], 'cmake-found'), 'w').write(str(found))")
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", cwd=world, FAKE_VENV="1", PYENV_ROOT=str(world),
                             FAKE_BUILD=build, HOME=str(world), **env))
    if given.startswith("/"):
        assert code == 1 and err.endswith(
            f"[setup] CMAKE_EXECUTABLE is {given}, which is not a program you can run: point it at a cmake, or unset"
            " it for Debian's; then run scripts/setup.sh again\n") and "installing" not in err, err
        return
    assert code == 0 and err.endswith("[setup] done\n"), err
    assert (world / "cmake-found").read_text() == str(mine if given else "/usr/bin/cmake")


# A project of nothing, built as the set-up builds vorn-core and vorn-tools.
NOTHING = {
    "pyproject.toml": '[build-system]\nrequires = ["scikit-build-core"]\nbuild-backend = "scikit_build_core.build"\n'
                      '[project]\nname = "nothing"\nversion = "0"\n'
                      '[tool.scikit-build]\nbuild-dir = "build/{wheel_tag}"\nwheel.packages = []\n',
    "CMakeLists.txt": "cmake_minimum_required(VERSION 3.18)\nproject(${SKBUILD_PROJECT_NAME} LANGUAGES NONE)\n",
}
BUILD_NOTHING = "from scikit_build_core.build import build_wheel; build_wheel('dist')"


# scikit-build-core gives the first ninja on PATH 5 s to answer too, and builds for make when it does not; the
# ninja that answers the next time would then be given make's files to run, and fail, every time. However slow the
# ninja first on PATH, each set-up that rebuilds ends done, after another set-up's build too ("older": one that let
# scikit-build-core choose, whose build for ninja, or for make left for that ninja to run, it configures anew), and
# after the user's choice of ninja ("Ninja", in CMAKE_GENERATOR), which it keeps, and after a build for a gmake first
# on PATH (which CMake takes before make) that is gone the next time, or is there but no longer runs (its
# interpreter gone; here found on a PATH of before).
@pytest.mark.parametrize(
    "runs",
    [("slow", "quick", "slow", "quick"), ("quick", "slow", "quick", "slow"),
     ("older, slow", "older, quick, stuck", "quick"), ("older, quick", "slow", "Ninja", "quick"), ("gmake", "quick"),
     ("quick", "unrunnable gmake", "quick")],
    ids=["slow first", "quick first", "older, stuck", "older, for ninja", "a make since gone",
         "a make that no longer runs"],
)  # fmt: skip
def test_a_rebuild_ends_done_however_quickly_ninja_answers(world: Path, runs: tuple[str, ...]) -> None:
    ninja = shutil.which("ninja", path=os.defpath)
    if ninja is None:
        pytest.skip("no ninja installed for the one first on PATH to run")
    scripts, copy = checkout(world), world / "checkout"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    for name, text in NOTHING.items():
        (copy / name).write_text(text)
    (world / "fakes" / "ninja").write_text(f'#!/bin/sh\n[ -z "$FAKE_NINJA_SLOW" ] || sleep 8\nexec {ninja} "$@"\n')
    (world / "fakes" / "ninja").chmod(0o755)
    for run in runs:
        (world / "fakes" / "gmake").unlink(missing_ok=True)
        if run == "gmake":
            (world / "fakes" / "gmake").write_text('#!/bin/sh\nexec make "$@"\n')
            (world / "fakes" / "gmake").chmod(0o755)
        if run == "unrunnable gmake":
            (world / "gmake").write_text("#!/nonexistent/sh\n")
            (world / "gmake").chmod(0o755)
            [cache] = copy.glob("build/*/CMakeCache.txt")
            made = "CMAKE_MAKE_PROGRAM:FILEPATH="
            cache.write_text(cache.read_text().replace(made, f"{made}{world}/gmake\n#"))  # as a PATH of before left it
            continue
        slow = {"FAKE_NINJA_SLOW": "1"} if "slow" in run else {"CMAKE_GENERATOR": "Ninja"} if run == "Ninja" else {}
        if run.startswith("older"):
            env = {"PATH": f"{world / 'fakes'}:{world / 'system'}", "CMAKE_EXECUTABLE": "/usr/bin/cmake", **slow}
            older = subprocess.run([sys.executable, "-c", BUILD_NOTHING], cwd=copy, env=env, capture_output=True,
                                   text=True, timeout=60)
            assert (older.returncode != 0) == run.endswith("stuck"), older.stdout + older.stderr
            continue
        (copy / ".setup-stamp").unlink(missing_ok=True)  # so that it rebuilds
        code, err = finish(start(world, os.getuid(), scripts / "setup.sh", FAKE_VENV="1", PYENV_ROOT=str(world),
                                 FAKE_BUILD=BUILD_NOTHING, **slow))
        assert code == 0 and err.endswith("[setup] done\n"), (run, err)
        [cache] = copy.glob("build/*/CMakeCache.txt")
        assert f"CMAKE_GENERATOR:INTERNAL={'Ninja' if run == 'Ninja' else 'Unix Makefiles'}\n" in cache.read_text()


# A build that fails with the user's own CMAKE_GENERATOR or CMAKE_EXECUTABLE (a typo; a ninja, or the user's cmake,
# that does not answer scikit-build-core in time, here one that fails) ends, below pip's output, in one line naming
# what they set that the set-up's own build does not use; without either, or with the set-up's own values (a project
# CMake fails on), in pip's output alone.
@pytest.mark.parametrize(
    ("given", "pip_said"),
    [({"CMAKE_GENERATOR": "Unix Makefile"}, "CMake configuration failed"),
     ({"CMAKE_GENERATOR": "Ninja"}, "NinjaNotFoundError"),
     ({"CMAKE_GENERATOR": "Unix Makefiles", "CMAKE_EXECUTABLE": "{mine}"}, "CMakeNotFoundError"),
     ({}, "broken here"),
     ({"CMAKE_GENERATOR": "Unix Makefiles", "CMAKE_EXECUTABLE": "/usr/bin/cmake"}, "broken here")],
    ids=["typo", "ninja", "cmake", "neither", "the set-up's own"],
)  # fmt: skip
def test_a_failed_build_names_the_users_cmake_settings(world: Path, given: dict[str, str], pip_said: str) -> None:
    scripts, copy, mine = checkout(world), world / "checkout", world / "mine" / "cmake"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    for name, text in NOTHING.items():
        (copy / name).write_text(text)
    if pip_said == "broken here":
        (copy / "CMakeLists.txt").write_text(NOTHING["CMakeLists.txt"] + 'message(FATAL_ERROR "broken here")\n')
    mine.parent.mkdir()
    for failing in (mine, world / "fakes" / "ninja"):
        failing.write_text("#!/bin/sh\nexit 1\n")
        failing.chmod(0o755)
    env = {name: value.format(mine=mine) for name, value in given.items()}
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", FAKE_VENV="1", PYENV_ROOT=str(world),
                             FAKE_BUILD=BUILD_NOTHING, **env))
    assert code == 1 and pip_said in err, err
    last = [line for line in err.splitlines() if line.startswith("[setup]")][-1]
    own = {"CMAKE_GENERATOR": "Unix Makefiles", "CMAKE_EXECUTABLE": "/usr/bin/cmake"}
    yours = " and ".join(f'{name}="{value}"' for name, value in env.items() if value != own[name])
    if not yours:
        assert last == "[setup] installing vorn-core, vorn-inference and vorn-tools (editable, with test extras)", err
        return
    assert last == (f"[setup] the build failed; you set {yours}, which the set-up's own build does not use: if that is"
                    " why, unset or correct it; then run scripts/setup.sh again"), err
    assert err.endswith(last + "\n") and err.index(pip_said) < err.index(last), err


# Runs the rest as the leader of a session of its own, every signal at its default and unblocked there, however
# the test run was started (a background job ignores SIGINT; a parent may leave it blocked in the inherited mask).
LEADER = (*DEFAULT_SIGNALS, sys.executable, "-c", "import os, sys; os.setsid(); os.execvp(sys.argv[1], sys.argv[1:])")


# The rows that signal a set-up under LEADER pass in a test run started with the signals they send blocked.
def test_the_rows_that_signal_a_set_up_hold_in_a_run_started_with_those_signals_blocked(tmp_path: Path) -> None:
    block = "import signal, sys, pytest; signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})"
    run = subprocess.run([sys.executable, "-c", f"{block}; sys.exit(pytest.main(sys.argv[1:]))", __file__, "-q",
                          f"--basetemp={tmp_path}", "-k", "an_interrupt"], cwd=ROOT, capture_output=True, text=True,
                         timeout=100)
    assert run.returncode == 0, run.stdout + run.stderr


# Ctrl-C, and a kill's SIGTERM, are ignored only while .venv is made and rid of a default ACL: after that
# (here, as pip installs) either stops the set-up. Sent as a terminal sends Ctrl-C, to the set-up's process
# group, under LEADER. pip ends on Ctrl-C with 1 ("caught"): the set-up still ends as Ctrl-C ends it.
@pytest.mark.parametrize(("sent", "gate"), [(signal.SIGINT, "1"), (signal.SIGTERM, "1"), (signal.SIGINT, "caught")],
                         ids=["SIGINT", "SIGTERM", "SIGINT caught by pip"])
def test_an_interrupt_once_the_venv_is_made_stops_the_set_up(world: Path, sent: signal.Signals, gate: str) -> None:
    scripts = checkout(world)
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    with held(world / "pip-gate"):
        run = start(world, os.getuid(), scripts / "setup.sh", under=LEADER, FAKE_VENV="1", PYENV_ROOT=str(world),
                    FAKE_PIP_GATE=gate)
        await_contention(world, run, log="pip-started")
        os.killpg(run.pid, sent)
    code, err = finish(run)
    assert code == -sent and "installing build tools" in err and "done" not in err, err


# Ctrl-C, or a kill, that stops `python -m venv` is not the Python's fault: the set-up says it was interrupted and
# stops with the signal's status, sent to python alone (as `kill` sends it; the set-up runs on, SIGINT ignored in a
# background job), or stops with python at once, the signal sent to the set-up's process group as Ctrl-C sends it.
# The next run makes .venv anew.
@pytest.mark.parametrize("sent", ["INT", "TERM", "INT group"])
def test_an_interrupt_while_the_venv_is_made_says_so(world: Path, sent: str) -> None:
    scripts = checkout(world)
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    env = {"FAKE_VENV": "1", "PYENV_ROOT": str(world)}
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", under=LEADER, FAKE_VENV_SIGNAL=sent, **env))
    signum = signal.Signals["SIG" + sent.split()[0]]
    if sent.endswith("group"):
        assert (code, err) == (-signum, f"[setup] creating .venv with {world}/fakes/python3.13\n")
    else:
        assert code == 128 + signum and err.endswith(
            "[setup] interrupted while making .venv: run scripts/setup.sh again\n") and "could not" not in err, err
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", **env))
    assert code == 0 and err.endswith("[setup] done\n"), err
    assert "[setup] removing .venv, which a set-up that was cut short left unfinished" in err.splitlines(), err


# Within the checkout (reached through a link to it, too), test.sh runs pytest where it is run, with the
# checkout's root directory and configuration, and the arguments as given, so that pytest takes each (a
# path, one with a blank, a path::test, an option's value) as it would there; from outside (a sibling
# whose name begins with the checkout's, too), at the root, where with no path it runs every test.
@pytest.mark.parametrize(
    ("where", "given"),
    [
        ("checkout/tests", ["test_x.py::test_a[b]", "sub dir", "-q"]),
        ("checkout/tests/sub", ["--deselect", "test_x.py::test_a", "--junitxml", "out.xml", "-vk", "sub", "nowhere"]),
        ("linked/tests", ["test_readme.py"]),
        ("checkout", []),
        ("elsewhere", []),
        ("checkout-old", []),
    ],
)
def test_test_sh_leaves_the_arguments_to_pytest(world: Path, where: str, given: list[str]) -> None:
    scripts, here, copy = checkout(world), world / where, world / "checkout"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    (world / "linked").symlink_to(copy)
    here.mkdir(parents=True, exist_ok=True)
    env = {"FAKE_VENV": "1", "PYENV_ROOT": str(world), "PWD": str(here)}  # as a shell that cd'd through the link
    code, err = finish(start(world, os.getuid(), scripts / "test.sh", args=tuple(given), cwd=here, **env))
    assert code == 0, err
    ran = (world / "pytest").read_text().splitlines()
    inside = here.resolve().is_relative_to(copy)
    assert ran == [str(here if inside else copy), f"--rootdir={copy}", "-c", f"{copy}/pyproject.toml", *given]


# A set-up that fails stops test.sh, with the set-up's own line and code: pytest never runs.
def test_test_sh_stops_where_the_set_up_does(world: Path) -> None:
    scripts = checkout(world)  # without headers, the set-up stops before it makes .venv
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    code, err = finish(start(world, os.getuid(), scripts / "test.sh", PYENV_ROOT=str(world)))
    assert (code, err) == (1, f"[setup] {world}/fakes/python3.13 has no headers (no Python.h in {world}/include), which"
                              " the C++ build needs. Install them for that Python; then run scripts/setup.sh again\n")
    assert not (world / "pytest").exists()


# A test run keeps to a temporary directory of its own. Once the run passes, or holds no session (--help), it goes,
# whatever a test left there (a tree deeper than Python 3.11's removal takes, a directory shut), and nothing outside
# changes (a hard link's mode is its file's); what other runs left in pytest's directory shared by this user's runs
# is not its to remove. A run ended by an internal error, which pytest gives no summary, says where it kept it.
LEAVES = """import os
def test_leaves(tmp_path):
    level = os.open(tmp_path, os.O_RDONLY)
    for _ in range(1100):
        os.mkdir("d", dir_fd=level)
        level, above = os.open("d", os.O_RDONLY, dir_fd=level), level
        os.close(above)
    (tmp_path / "shut").mkdir()
    os.link(OUTSIDE, tmp_path / "shut" / "linked")
    (tmp_path / "shut").chmod(0)
"""


@pytest.mark.parametrize("ended", ["passed", "--help", "in an internal error"])
def test_a_test_run_keeps_to_its_own_temporary_directory(tmp_path: Path, ended: str) -> None:
    shared, left = tmp_path / f"pytest-of-{getpass.getuser()}", ["garbage-1", "pytest-1", "pytest-2", "pytest-3"]
    for name in left:
        (shared / name / "kept").mkdir(parents=True)
    shared.chmod(0o700)
    (outside := tmp_path / "outside").write_text("kept")
    outside.chmod(0o600)
    (given := tmp_path / "given").mkdir()
    (given / "test_given.py").write_text(LEAVES.replace("OUTSIDE", repr(str(outside))))
    (given / "breaks.py").write_text("def pytest_runtest_logreport(report):\n    raise RuntimeError('broken')\n")
    options = {"passed": [], "--help": ["--help"], "in an internal error": ["-p", "breaks"]}[ended]
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "tests.conftest", *options,
                          given / "test_given.py"], cwd=ROOT, capture_output=True, text=True, timeout=100,
                         env={**os.environ, "TMPDIR": str(tmp_path), "PYTHONPATH": str(given)})
    own = [tmp_path / name for name in os.listdir(tmp_path) if name.startswith("vorn-tools-tests-")]
    said = [line for line in run.stdout.splitlines() if line.startswith("temporary directories kept in ")]
    kept = ended == "in an internal error"
    assert (run.returncode, len(own), said) == (3 * kept, kept, [f"temporary directories kept in {d}" for d in own]), \
        run.stdout + run.stderr
    assert sorted(os.listdir(shared)) == left and (stat.S_IMODE(outside.stat().st_mode), outside.read_text()) == \
        (0o600, "kept")
    for directory in own:
        remove_tree(directory)


# Debian's python3.13-dev joins the missing packages when the headers are; when they are still
# missing after the package step, the set-up stops before it makes .venv (or runs pip).
@pytest.mark.parametrize(
    ("owner", "headers", "asks_dev", "goes_on"),
    [
        ("python3.13-minimal", "from the package", True, True),
        ("python3.13-minimal", "never", True, False),
        ("python3.13-minimal", "there", False, True),
        ("", "never", False, False),  # not Debian's
    ],
)
def test_interpreter_headers(world: Path, owner: str, headers: str, asks_dev: bool, goes_on: bool) -> None:
    scripts, python = checkout(world), world / "fakes" / "python3.13"
    if headers == "there":
        (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    owned = f"{owner}: {python}" if owner else ""
    dev_headers = "1" if headers == "from the package" else ""
    env = {"FAKE_OWNED": owned, "FAKE_DEV_HEADERS": dev_headers}  # neither PYENV_ROOT nor HOME set
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", **env))
    assert (world / "installed").read_text().split()[len(PACKAGES):] == ["python3.13-dev"] * asks_dev, err
    # The stand-in makes no venv, so a run that went on past the headers still ends there.
    assert code != 0 and not (world / "checkout" / ".setup-stamp").exists(), err
    if goes_on:
        assert (world / "python").read_text().startswith(f"-m venv {world}/checkout/.venv"), err
    else:
        assert not (world / "python").exists() and f"{python} has no headers" in err, err
        assert ("though python3.13-dev is installed" in err) == (owner != ""), err


# A .venv whose making, or whose removal, was cut short at any point is made anew by the next run,
# and pip runs in it alone; so is one whose Python is gone, in the same run. A .venv that is a mount
# point (a volume, "mounted"), or a link, is emptied in place (the link kept), and used as it is while
# empty. Each run says why it removes .venv, if it does, blaming no set-up where none was cut short. A finished set-up is up to date without asking for headers or
# packages, and removes what a removal left; an install cut short leaves no stamp, so the next run
# installs again even with the inputs of the last finished one.
CUT_SHORT = "which a set-up that was cut short left unfinished"
NOT_MADE = "which holds no finished venv (no pyvenv.cfg), to make it anew"


@pytest.mark.parametrize(
    ("left", "cuts", "told"),
    [
        ("", [{"FAKE_VENV_CUT": "1"}], f"removing .venv, {CUT_SHORT}"),  # while it was made
        # then while removed, the marker gone
        ("", [{"FAKE_VENV_CUT": "1"}, {"FAKE_RM_CUT": ".venv.removing/.setup-making"}], None),
        ("", [{"FAKE_VENV_FAILS": "1", "FAKE_RM_CUT": ".venv.removing/.setup-making"}], None),  # as making it failed
        # without pyvenv.cfg, as a removal by an earlier set-up left it
        (".venv/bin/python -> fakes/python3.13", [], f"removing .venv, {NOT_MADE}"),
        (".venv -> volume/", [], None),  # a link to an empty directory
        (".venv -> volume/", [{"FAKE_VENV_CUT": "1"}], f"emptying .venv (a link to {{world}}/volume), {CUT_SHORT}"),
        (".venv -> volume, ../volume/pyvenv.cfg, ../volume/.gitignore, ../volume/bin/python -> nowhere", [],
         "emptying .venv (a link to {world}/volume), whose Python ({world}/nowhere) is gone, to make it anew"),
        # then cut short while emptied, its pyvenv.cfg gone: still known as the set-up's own
        (".venv -> volume, ../volume/pyvenv.cfg, ../volume/bin/python -> nowhere", [{"FAKE_RM_CUT": ""}],
         f"emptying .venv (a link to {{world}}/volume), {CUT_SHORT}"),
        (".venv/pyvenv.cfg, .venv/bin/python -> nowhere", [], "removing .venv, whose Python ({world}/nowhere) is gone,"
                                                              " to make it anew"),
        ("mounted", [], None),
        # emptied, cut short after its pyvenv.cfg went
        ("mounted", [{"FAKE_VENV_CUT": "1"}, {"FAKE_RM_CUT": ""}], f"emptying .venv (a mount point), {CUT_SHORT}"),
    ],
    ids=["making", "removing", "removing-after-failed-making", "without-pyvenv.cfg", "linked", "linked-making",
         "linked-python-gone", "linked-emptying", "python-gone", "mounted", "mounted-emptying"],
)
def test_up_to_date_only_after_a_finished_install(
    world: Path, left: str, cuts: list[dict[str, str]], told: str | None
) -> None:
    scripts, venv = checkout(world), world / "checkout" / ".venv"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    env = {"FAKE_VENV": "1", "PYENV_ROOT": str(world)}
    under: tuple[str, ...] = ()
    if left == "mounted":
        venv.mkdir()
        (world / "volume").mkdir()
        under = mounted(world / "volume", venv)

    def run(**more: str) -> tuple[int, str]:
        # Under a mount, the set-up runs as root of a user namespace of its own, as id says there.
        return finish(start(world, 0 if under else os.getuid(), scripts / "setup.sh", under=under, **env, **more))

    stamp, constraints = world / "checkout" / ".setup-stamp", world / "checkout" / "constraints.txt"
    for entry in filter(None, left.split(", ")):
        path, arrow, target = entry.partition(" -> ")
        if path != "mounted":
            (world / "checkout" / path).parent.mkdir(parents=True, exist_ok=True)
            if arrow:
                (world / "checkout" / path).symlink_to(world / target)
                if target.endswith("/"):
                    (world / target).mkdir()
            else:
                (world / "checkout" / path).touch()
    for cut in cuts:
        code, err = run(**cut)
        assert code == -signal.SIGKILL, err
    code, err = run()
    assert code == 0 and err.endswith("[setup] done\n") and stamp.exists(), err
    assert "creating .venv" in err and not (world / "checkout" / ".venv.removing").exists(), err
    # Emptied whole (dot-files too), the venv made there alone.
    assert sorted(os.listdir(world / "volume" if under else venv)) == ["bin", "pyvenv.cfg"], err
    removals = [line for line in err.splitlines() if line.startswith(("[setup] removing", "[setup] emptying"))]
    assert removals == ([f"[setup] {told.format(world=world)}"] if told else []), err
    (world / "include" / "Python.h").unlink()
    (world / "installed").unlink()
    (world / "checkout" / ".venv.removing" / "bin").mkdir(parents=True)  # what a removal cut short left
    assert run() == (0, "[setup] up to date\n")
    assert not (world / "calls").exists() and not (world / "checkout" / ".venv.removing").exists()
    constraints.write_text("a==2\n")
    code, err = run(FAKE_PIP_FAILS="1")
    assert code != 0 and "no headers" in err and "installing build tools" not in err, err
    (world / "include" / "Python.h").touch()
    code, err = run(FAKE_PIP_FAILS="1")
    assert code != 0 and "installing build tools" in err and not stamp.exists(), err
    constraints.write_text("a==1\n")
    code, err = run()
    assert code == 0 and "installing vorn-core" in err and stamp.exists(), err
    assert set((world / "pip-into").read_text().splitlines()) == {str(venv.resolve())}
    assert venv.is_symlink() == left.startswith(".venv ->")


# Removing a .venv whose interpreter has no headers helps only when another would be found instead.
@pytest.mark.parametrize(
    ("made_with", "also", "offered"),
    [
        ("fakes/python3.13", "", False),  # the only one
        ("fakes/python3.13", "versions/3.13.1/bin/python3.13", True),  # another, taken first
        ("fakes/python3.13", "versions/3.13.1/bin/python3.13 -> fakes/python3.13", False),  # the same one
        ("fakes/python3.12", "", False),  # found with a warning, which is not shown
    ],
)
def test_remove_venv_only_for_another_interpreter(world: Path, made_with: str, also: str, offered: bool) -> None:
    scripts = checkout(world)
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    (world / "fakes" / "python3.13").rename(world / made_with)
    if also:
        path, _, target = also.partition(" -> ")
        (world / path).parent.mkdir(parents=True)
        if target:
            (world / path).symlink_to(world / target)
        else:
            shutil.copy(world / made_with, world / path)
    (world / "checkout" / ".venv" / "bin").mkdir(parents=True)
    (world / "checkout" / ".venv" / "pyvenv.cfg").touch()
    (world / "checkout" / ".venv" / "bin" / "python").symlink_to(world / made_with)
    code, err = finish(start(world, os.getuid(), scripts / "setup.sh", PYENV_ROOT=str(world)))
    assert code != 0 and f"{world / made_with} has no headers" in err and "WARNING" not in err, err
    assert ("or remove .venv, which was made with it" in err) == offered, err


# A checkout root cloned and set up, then gave a user: .venv's Python is root's, there but out of the
# user's reach (here: in a directory the caller may not enter, root without the right to pass over that).
# It is made anew, in a line that says so, not that the Python is gone.
def test_a_venv_whose_python_is_out_of_reach_is_made_anew(world: Path) -> None:
    scripts, venv, closed = checkout(world), world / "checkout" / ".venv", world / "closed"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    closed.mkdir()
    shutil.copy(world / "fakes" / "python3.13", closed)
    (venv / "bin").mkdir(parents=True)
    (venv / "pyvenv.cfg").touch()
    (venv / "bin" / "python").symlink_to(closed / "python3.13")
    closed.chmod(0)
    bounded = ("setpriv", "--bounding-set=-dac_override,-dac_read_search") if os.getuid() == 0 else ()
    try:
        code, err = finish(start(world, os.getuid(), scripts / "setup.sh", under=bounded, FAKE_VENV="1",
                                 PYENV_ROOT=str(world)))
    finally:
        closed.chmod(0o755)
    assert code == 0 and err.endswith("[setup] done\n"), err
    assert (f"[setup] removing .venv, whose Python ({closed}/python3.13) is out of your reach (another user's, say),"
            " to make it anew") in err.splitlines(), err
    assert (venv / "bin" / "python").resolve() == world / "fakes" / "python3.13"


def user_name(uid: int) -> str:
    return next((user.pw_name for user in pwd.getpwall() if user.pw_uid == uid), f"uid {uid}")


def group_name(gid: int) -> str:
    return next((group.gr_name for group in grp.getgrall() if group.gr_gid == gid), str(gid))


# Root (sudo) in another user's checkout, and anyone in a checkout, or with a .venv or a build
# directory, they cannot write (root's, say), stop at once, though another set-up holds the checkout,
# before changing anything. As root, the test gives the copy away (to a uid with a name, and to one
# without), or runs the set-up as nobody; as a user, whose copy is already theirs, it takes the right
# to write away, and the stand-in id calls the caller someone else. What is the caller's own ("own":
# made read-only, or "unsearchable": without the right to enter it) is named as theirs, with no one
# else to ask. An entry that links elsewhere ("linked") is judged by where it leads, and the link
# named as the caller's to change; one that links nowhere is named so; one within an entry is judged
# by its own owner.
@pytest.mark.parametrize(
    ("given_to", "unwritable"),
    [
        (65534, ""),
        (4242, ""),
        (None, ""),
        (None, "checkout"),
        (None, ".venv"),
        (None, ".venv/lib"),
        (None, ".venv.removing"),
        (None, "build"),
        (None, "host/vorn-core/build"),
        (None, "linked .venv"),
        (None, "linked build"),
        (None, "nowhere .venv"),
        (None, "nowhere build"),
        (None, "own checkout"),
        (None, "own .venv/lib"),
        (None, "unsearchable .venv/lib"),
    ],
)
def test_root_only_in_its_own_checkout(world: Path, given_to: int | None, unwritable: str) -> None:
    scripts, copy, as_root = checkout(world), world / "checkout", os.getuid() == 0
    (world / "include" / "Python.h").touch()
    # Mounted as Debian's root file system often is: read-only only after an error, writable now.
    (world / "fakes" / "findmnt").write_text('#!/bin/bash\n[[ " $* " != *" OPTIONS "* ]] || exec echo'
                                             ' rw,relatime,errors=remount-ro\nexec "$FAKE_DIR/system/findmnt" "$@"\n')
    (world / "fakes" / "findmnt").chmod(0o755)
    kind, _, what = unwritable.rpartition(" ")
    mine, linked, mode = kind in ("own", "unsearchable"), kind == "linked", 0o666 if kind == "unsearchable" else 0o555
    entry = copy if what in ("", "checkout") else copy / what
    taken = world / kind if kind in ("linked", "nowhere") else entry
    if kind != "nowhere":
        taken.mkdir(parents=True, exist_ok=True)
    if kind in ("linked", "nowhere"):
        entry.parent.mkdir(parents=True, exist_ok=True)
        entry.symlink_to(taken)
    lock = copy / ".setup-lock"  # another set-up's
    lock.touch(0o600)
    if kind == "nowhere":
        pass  # the caller's own link, to nothing
    elif given_to is not None and as_root:
        os.chown(copy, given_to, given_to)
    elif unwritable and not as_root:
        taken.chmod(mode)
    elif mine or what not in ("", "checkout"):  # nobody's checkout, with root's directory or nobody's read-only one
        for path in {copy, *(copy / parent for parent in entry.relative_to(copy).parents), *[entry] * linked}:
            os.chown(path, 65534, 65534, follow_symlinks=False)
        if mine:
            os.chown(taken, 65534, 65534)
            taken.chmod(mode)
    if unwritable and kind != "nowhere":
        uid = 65534 if as_root else os.getuid() if mine else 4242
    else:
        uid = os.getuid() if given_to is None else 0
    env = {"FAKE_VENV": "1", "PYENV_ROOT": str(world)}
    if given_to is None and not unwritable:  # root in root's checkout (CI), or a user in their own
        code, err = finish(start(world, uid, scripts / "setup.sh", **env))
        assert code == 0 and err.endswith("[setup] done\n") and (world / "calls").exists(), err
        return
    before, caller = set(world.rglob("*")), user_name(uid)
    owner = user_name(taken.stat().st_uid) if taken.exists() else ""
    with open(lock) as held_lock:
        fcntl.flock(held_lock, fcntl.LOCK_EX)
        as_nobody = as_root and bool(unwritable) and kind != "nowhere"
        code, err = finish(start(world, uid, scripts / "setup.sh", as_nobody=as_nobody, **env))
    if kind == "nowhere":
        expected = (f"[setup] {what} is a link to {os.path.realpath(taken)}, which does not exist: make that"
                    " directory, or remove the link; then run scripts/setup.sh again\n")
    elif linked:
        expected = (f"[setup] {what} belongs to {owner}, and you ({caller}) cannot write it: remove the link {what}"
                    f" (to {os.path.realpath(taken)}), or point it elsewhere; then run scripts/setup.sh again\n")
    elif mine:
        expected = {
            "checkout": f"[setup] this checkout is yours ({caller}), but you cannot write it (read-only permissions"
                        " or file system): make it writable, or clone it where you can write; then run"
                        " scripts/setup.sh again\n",
            ".venv/lib": f"[setup] .venv/lib is yours ({caller}), but you cannot write it: make it writable"
                         " (chmod -R u+rwX .venv); then run scripts/setup.sh again\n",
        }[what]
    elif what in ("", "checkout"):
        expected = {
            "": f"[setup] this checkout belongs to {owner}; run scripts/setup.sh as that user, without sudo:"
                " it calls sudo itself for the Debian packages it needs\n",
            "checkout": f"[setup] this checkout belongs to {owner}, and you ({caller}) cannot write it: clone it as"
                        f" yourself, or run scripts/setup.sh as {owner}\n",
        }[what]
    else:
        top = what.split("/")[0] if what.startswith(".venv/") else what
        expected = (f"[setup] {what} belongs to {owner}, and you ({caller}) cannot write it: have {owner} remove"
                    f" {top}, or clone the checkout as yourself; then run scripts/setup.sh again\n")
    assert code != 0 and err == expected, err
    assert set(world.rglob("*")) == before


def await_waiting_for(path: Path, *runs: subprocess.Popen[str]) -> None:
    """Until /proc/locks lists a process waiting for a lock on `path`."""
    made, deadline = path.stat(), time.monotonic() + 30
    lock_id = f"{os.major(made.st_dev):02x}:{os.minor(made.st_dev):02x}:{made.st_ino}"
    while not any(" -> " in line and f" {lock_id} " in line for line in Path("/proc/locks").read_text().splitlines()):
        assert all(run.poll() is None for run in runs), [finish(run) for run in runs]
        assert time.monotonic() < deadline, f"no set-up waited for {path}"
        time.sleep(0.05)


# A lock file moved aside, another in its place, while a set-up waited for it: what the set-up then
# holds is no longer the lock, and it waits for the one in its place.
def test_a_lock_moved_aside_while_waited_for_is_not_held(world: Path) -> None:
    scripts, lock = checkout(world), world / "checkout" / ".setup-lock"
    (world / "include" / "Python.h").touch()
    lock.touch(0o600)
    with open(lock) as first:
        fcntl.flock(first, fcntl.LOCK_EX)
        run = start(world, os.getuid(), scripts / "setup.sh", FAKE_VENV="1", PYENV_ROOT=str(world))
        await_waiting_for(lock, run)
        lock.rename(world / "aside")
        lock.touch(0o600)
        with open(lock) as second:
            fcntl.flock(second, fcntl.LOCK_EX)
            first.close()
            await_waiting_for(lock, run)
    code, err = finish(run)
    assert code == 0 and err.count("waiting") == 1 and err.endswith("[setup] done\n"), err


# Two set-ups at once take turns, though both found no lock: the one held between its look and its
# making of the lock, while the other made it and installs, then waits for the other, and finds the
# checkout up to date.
def test_two_set_ups_at_once_take_turns(world: Path) -> None:
    scripts, tmp, lock = checkout(world), world / "tmp", world / "checkout" / ".setup-lock"
    (world / "include" / "Python.h").touch()
    tmp.mkdir()
    (world / "fakes" / "mktemp").write_text(
        '#!/bin/bash\n[[ $1 != .setup-lock.* ]] || ! mkdir "$FAKE_DIR/paused" 2>/dev/null || flock "$FAKE_DIR/pause" true\n'
        'exec "$FAKE_DIR/system/mktemp" "$@"\n')
    (world / "fakes" / "mktemp").chmod(0o755)
    env = {"FAKE_VENV": "1", "PYENV_ROOT": str(world), "TMPDIR": str(tmp)}
    with held(world / "gate"):
        with held(world / "pause"):
            late = start(world, os.getuid(), scripts / "setup.sh", **env)
            await_waiting_for(world / "pause", late)
            first = start(world, os.getuid(), scripts / "setup.sh", **env)
            await_contention(world, first, late, op="update", log="calls")
        await_waiting_for(lock, first, late)
    code, err = finish(first)
    assert code == 0 and err.endswith("[setup] done\n"), err
    assert "waiting" not in err
    assert finish(late) == (0, "[setup] waiting for another set-up of this checkout to finish\n[setup] up to date\n")
    assert not os.listdir(tmp)


# Only the checkout's owner can hold its set-up: the lock is a file none but they can open. A lock on
# the checkout's directory (`flock <checkout>`, as anyone who can read it can take) holds nothing; a
# lock file others could have opened (one readable by others, a link) is made anew, held or not;
# what another user put at its name in a checkout anyone may write (a file, a directory with a file
# in it, a FIFO, never opened, a link to the caller's file) is moved aside and removed, in one line
# that names whose it was (and, only where others may still write the checkout, how to keep them out);
# in a checkout not the caller's, the owner's lock file is named as theirs, and nothing changes, not
# even which file it is. What takes the lock's place between the look and the opening (another run moved
# it aside, and a FIFO, or another user's file they hold, came in its place) is neither waited on nor held.
@pytest.mark.parametrize(
    "held_by",
    ["directory", "readable by others", "link", "a directory in its place", "the owner",
     "another user's regular empty file", "another user's directory", "another user's fifo",
     "another user's symbolic link", "a fifo after the look", "another user's regular empty file after the look",
     "another user's regular empty file left in a checkout now the owner's alone"],
)  # fmt: skip
def test_only_the_owner_holds_the_set_up(world: Path, held_by: str) -> None:
    scripts, copy = checkout(world), world / "checkout"
    lock, target = copy / ".setup-lock", world / "target"
    kind, _, private = held_by.removeprefix("another user's ").partition(" left in a checkout")
    what = kind.removesuffix(" after the look")
    if kind != held_by:
        if os.getuid() != 0:
            pytest.skip("only root can give a file away")
        copy.chmod(0o755 if private else 0o1777)
    (world / "include" / "Python.h").touch()
    target.touch(0o600)
    if held_by == "link" or kind == "symbolic link":
        lock.symlink_to(target)
    elif held_by in ("a directory in its place", "another user's directory"):
        lock.mkdir()
        (lock / "x").touch()
    elif kind == "fifo":
        os.mkfifo(lock)
    elif held_by != "directory":
        lock.touch(0o644 if held_by == "readable by others" else 0o600)
    if kind != held_by:
        for path in (lock, *lock.glob("*")):
            os.chown(path, 65534, 65534, follow_symlinks=False)
    held = copy if held_by == "directory" or kind in ("fifo", "symbolic link") else lock
    if kind.endswith(" after the look"):
        lock.unlink()
        lock.touch(0o600)
        held = world / "theirs"
        held.touch(0o600)
        if kind != held_by:
            os.chown(held, 65534, 65534)
        swap = "mkfifo .setup-lock" if kind == held_by else f'ln "{held}" .setup-lock'
        (world / "fakes" / "stat").write_text(
            '#!/bin/bash\nif [[ " $* " == *" .setup-lock "* ]] && mkdir "$FAKE_DIR/looked" 2>/dev/null; then\n'
            f'    "$FAKE_DIR/system/stat" "$@"; mv .setup-lock "$FAKE_DIR/aside"; {swap}; exit\nfi\n'
            'exec "$FAKE_DIR/system/stat" "$@"\n')
        (world / "fakes" / "stat").chmod(0o755)
    caller = 4242 if held_by == "the owner" else os.getuid()
    before, lock_id = set(world.rglob("*")), lock.lstat().st_ino if lock.exists() else None
    held_fd = os.open(held, os.O_RDONLY)
    try:
        fcntl.flock(held_fd, fcntl.LOCK_EX)
        code, err = finish(start(world, caller, scripts / "setup.sh", FAKE_VENV="1", PYENV_ROOT=str(world)))
    finally:
        os.close(held_fd)
    if held_by == "the owner":
        owner = user_name(os.getuid())
        assert code == 1 and err == (
            f"[setup] .setup-lock, which locks this checkout's set-ups, is {owner}'s, not yours"
            f" ({user_name(caller)}): run scripts/setup.sh as {owner}, or clone the checkout as yourself\n"), err
        assert set(world.rglob("*")) == before and lock.lstat().st_ino == lock_id
        return
    assert code == 0 and err.endswith("[setup] done\n") and "waiting" not in err, err
    made = lock.lstat()
    assert stat.S_ISREG(made.st_mode) and stat.S_IMODE(made.st_mode) == 0o600 and made.st_uid == os.getuid()
    assert target.stat().st_mode & 0o777 == 0o600 and not target.read_bytes()
    assert [path.name for path in copy.glob(".setup-lock*")] == [".setup-lock"]  # nothing left aside
    moved = [line for line in err.splitlines() if "moved it aside" in line]
    advice = f"; keep this checkout writable by you alone (chmod go-w {copy}), so that no one else can get in its set-up's way"
    if kind != held_by:
        assert moved == [f"[setup] .setup-lock, where set-ups of this checkout take turns, was nobody's {what}: moved"
                         f" it aside, and removed it{advice * (not private)}"], err
    else:
        assert not moved, err


# What the set-up may not empty or write stops it before anything there is removed, in one line that
# says what to do: a .venv on a read-only file system (no change of permissions would help); one with a
# mount inside it, named with what is mounted where; a link to, or a volume mounted at .venv, holding
# files but no venv (dot-files too), which are not the set-up's to remove, even with a marker there that
# is not the caller's own regular file ("marked by"); a link changed while the set-up made the venv
# where it led, while pip installed there (which wrote nowhere else), or while a set-up found it up to
# date; root's volume at another user's .venv, which only its owner or another volume can mend (a mount
# point cannot be removed).
RELINKED = "[setup] .venv was changed while the set-up ran (it led to {volume}, now to {world}/other): run scripts/setup.sh again\n"
RELINK = {"relinked": "FAKE_VENV_RELINK", "relinked while pip ran": "FAKE_PIP_RELINK",
          "relinked while checked": "FAKE_CHECK_RELINK"}
KEEP_OUT = ("holds what is not a venv ({first}, say; no pyvenv.cfg), which the set-up does not remove: empty it,"
            " or {fix}; then run scripts/setup.sh again\n")


@pytest.mark.parametrize(
    ("case", "told"),
    [
        ("read-only", "[setup] .venv is on a read-only file system (mounted at {venv}): mount it writable, or clone"
                      " the checkout where you can write; then run scripts/setup.sh again\n"),
        ("nested", "[setup] {venv}/lib is mounted inside .venv, which the set-up has to empty: unmount it; then run"
                   " scripts/setup.sh again\n"),
        ("linked", "[setup] .venv (a link to {volume}) " + KEEP_OUT.format(first=".hidden", fix="point the link elsewhere")),
        ("mounted", "[setup] .venv (a mount point) " + KEEP_OUT.format(first=".hidden", fix="mount another volume there")),
        ("relinked", "[setup] creating .venv with {world}/fakes/python3.13\n" + RELINKED),
        ("relinked while pip ran", "[setup] creating .venv with {world}/fakes/python3.13\n"
                                   "[setup] installing build tools\n" + RELINKED),
        ("relinked while checked", RELINKED),
        *[(f"marked by {kind}", "[setup] {volume}/.setup-making, which marks a venv a set-up has yet to finish, is"
                                f" {kind}, not one a set-up of yours left: remove it; then run scripts/setup.sh"
                                " again\n")
          for kind in ("nobody's regular empty file", "{me}'s symbolic link", "{me}'s fifo", "{me}'s directory")],
        # Where others can write, what the set-up would run (bin/python) may be theirs.
        ("shared", "[setup] .venv (a link to {volume}) is yours, but anyone can write it (mode 1777): the set-up"
                   " installs only where no one else can write; point the link elsewhere; then run"
                   " scripts/setup.sh again\n"),
        ("root's volume", "[setup] .venv belongs to root, and you (nobody) cannot write it: have root give you the"
                          " volume mounted at .venv (chown -R nobody on it), or mount one you own there; then run"
                          " scripts/setup.sh again\n"),
    ],
)  # fmt: skip
def test_what_the_set_up_may_not_empty_is_named(world: Path, case: str, told: str) -> None:
    scripts, copy, volume = checkout(world), world / "checkout", world / "volume"
    venv = copy / ".venv"
    (world / "include" / "Python.h").touch()
    (world / "installed").write_text("\n".join(PACKAGES) + "\n")
    (volume / "lib").mkdir(parents=True)
    (world / "other").mkdir()
    (world / "other" / "mine").write_text("the user's")
    if case in ("read-only", "nested"):
        (volume / "pyvenv.cfg").touch()  # a venv whose Python is gone: to be emptied
    elif case in ("linked", "mounted") or case.startswith("marked by"):
        (volume / ".hidden").touch()
        (volume / "lib" / "data").touch()
    uid, under, env = 0, (), {"FAKE_VENV": "1", "PYENV_ROOT": str(world)}  # root of its namespace, under a mount
    marker, kind = volume / ".setup-making", case.rpartition(" ")[2]
    if kind == "link":
        marker.symlink_to(world / "other" / "mine")
    elif kind == "fifo":
        os.mkfifo(marker)
    elif kind == "directory":
        marker.mkdir()
    elif kind == "file":
        if os.getuid() != 0:
            pytest.skip("only root can give a file away")
        marker.touch()
        os.chown(marker, 65534, 65534)
    if case == "shared":
        (volume / "bin").mkdir()
        (volume / "pyvenv.cfg").write_text("home = /usr/bin\n")
        (volume / "bin" / "python").write_text(f"#!/bin/sh\ntouch {world}/ran\n")
        (volume / "bin" / "python").chmod(0o755)
        volume.chmod(0o1777)
    if case.startswith(("linked", "relinked", "marked by", "shared")):
        venv.symlink_to(volume)
        uid = os.getuid()
        if case in RELINK:
            (volume / "lib").rmdir()  # empty: used as it is
            if case == "relinked while checked":
                assert finish(start(world, uid, scripts / "setup.sh", **env))[0] == 0  # up to date from now on
                (world / "pip-into").unlink()
            env[RELINK[case]] = str(world / "other")
    else:
        venv.mkdir()
        under = mounted(volume, venv, *["ro"] * (case == "read-only"), userns=case != "root's volume")
    if case == "nested":
        under = (*under, *mounted(world / "other", venv / "lib"))
    if case == "root's volume":
        if os.getuid() != 0:
            pytest.skip("only root can give a checkout away")
        for path in (copy, venv):
            os.chown(path, 65534, 65534)
        uid = 65534
        caps = "--inh-caps=+dac_read_search --ambient-caps=+dac_read_search"
        under = (*under, *f"setpriv --reuid=65534 --regid=65534 --clear-groups {caps}".split())
    watched = (world / "other", *(world / "other").rglob("*"), *volume.rglob("*"))
    before = {path: path.stat().st_mtime_ns for path in watched}
    code, err = finish(start(world, uid, scripts / "setup.sh", under=under, **env))
    me = user_name(os.getuid())
    assert code == 1 and err == told.format(venv=venv.resolve(), volume=volume, world=world, me=me), err
    assert {path: path.stat().st_mtime_ns for path in before if path.exists()} == before
    pip_into = world / "pip-into"
    assert (pip_into.read_text() if pip_into.exists() else "") == f"{volume}\n" * (case == "relinked while pip ran")
    assert not (world / "ran").exists()
