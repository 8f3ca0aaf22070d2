# The package metadata declares ranges and CI installs the exact versions of constraints.txt:
# the pins must lie inside the ranges, and the built wheels must install into an application's
# environment that already holds the oldest pydantic and httpx the ranges admit, keep them, and
# run the quickstart there.

from __future__ import annotations

import ast
import functools
import importlib.metadata
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name

ROOT = Path(__file__).resolve().parents[1]
PYPROJECTS = [ROOT / "pyproject.toml", *sorted(ROOT.glob("host/*/pyproject.toml"))]
QUICKSTART = ROOT / "examples" / "quickstart.py"

# The floors of the declared ranges, and what the wheel check installs first: raising a floor
# without a reason, or lowering it below what is tested, shows here.
OLDEST = {"pydantic": "2.11.0", "httpx": "0.27.1"}

# Read before the autouse fixture strips them: pip may need a proxy to reach the index (the
# fixture's NO_PROXY keeps the quickstart's local stand-ins off it).
_PROXY_ENV = {k: v for k, v in os.environ.items() if k.lower() in ("http_proxy", "https_proxy", "all_proxy")}


def _pins() -> dict[str, str]:
    pins = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, _, version = line.partition("==")
            pins[canonicalize_name(name)] = version.strip()
    return pins


def _declared() -> list[tuple[str, Requirement]]:
    """Every third-party requirement of the three distributions, with the file declaring it."""
    found = []
    for path in PYPROJECTS:
        project = tomllib.loads(path.read_text())["project"]
        extras = project.get("optional-dependencies", {}).values()
        for text in [*project.get("dependencies", []), *(r for group in extras for r in group)]:
            requirement = Requirement(text)
            if not canonicalize_name(requirement.name).startswith("vorn-"):
                found.append((str(path.relative_to(ROOT)), requirement))
    return found


def test_declared_ranges_admit_the_pins_ci_installs() -> None:
    pins = _pins()
    problems = []
    for where, requirement in _declared():
        name, spec = canonicalize_name(requirement.name), requirement.specifier
        if any(s.operator in ("==", "===") for s in spec) or not any(s.operator == "<" for s in spec):
            problems.append(f"{where}: {requirement} should be a range up to the next major release")
        if name not in pins:
            problems.append(f"{where}: {requirement.name} has no pin in constraints.txt")
        elif pins[name] not in spec:
            problems.append(f"{where}: constraints.txt pins {name}=={pins[name]}, outside {spec}")
        if name in OLDEST and {s.version for s in spec if s.operator == ">="} != {OLDEST[name]}:
            problems.append(f"{where}: {requirement} should start at the tested {OLDEST[name]}")
    for name, version in pins.items():
        try:
            installed = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            installed = None
        if installed != version:
            problems.append(f"constraints.txt pins {name}=={version}, the test environment has {installed}")
    if problems:
        pytest.fail("\n".join(problems))


def _run_all(commands: dict[str, list[str]], *, timeout: float, **options: object) -> dict[str, str]:
    """Runs the commands side by side, each in its own process group; returns their output."""
    started = {label: subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                       start_new_session=True, **options)
               for label, cmd in commands.items()}  # fmt: skip
    deadline, outputs, failed = time.monotonic() + timeout, {}, []
    try:
        for label, process in started.items():
            try:
                outputs[label], _ = process.communicate(timeout=max(1.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                failed.append(f"{label}: still running after {timeout:.0f} s")
                continue
            if process.returncode:
                failed.append(f"{label} exited with {process.returncode}:\n{outputs[label][-4000:]}")
    finally:
        for process in started.values():
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.communicate()
    assert not failed, "\n\n".join(failed)
    return outputs


def _quickstart_imports() -> str:
    tree = ast.parse(QUICKSTART.read_text())
    nodes = [node for node in tree.body if isinstance(node, ast.ImportFrom) and node.module
             and node.module.split(".")[0] in ("vorn_tools", "vorn_inference", "vorn_core")]  # fmt: skip
    assert nodes, f"no vorn_* imports found in {QUICKSTART}"
    return "\n".join(ast.unparse(node) for node in nodes)


@pytest.mark.timeout(600)
def test_wheel_installs_beside_older_pydantic_and_httpx() -> None:
    work = Path(tempfile.mkdtemp(prefix="vorn-wheel-"))
    try:
        _check_wheel_install(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _check_wheel_install(work: Path) -> None:
    dist, venv, scratch = work / "dist", work / "venv", work / "tmp"
    scratch.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_CONSTRAINT") and k != "PYTHONPATH"}
    # pip's cache too stays in the run's own directory, out of the home of whoever runs the tests.
    env |= _PROXY_ENV | {"TMPDIR": str(scratch), "PIP_CACHE_DIR": str(scratch / "pip-cache"),
                         "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INPUT": "1"}
    run = functools.partial(_run_all, cwd=work, env=env)
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120, env=env)
    python = str(venv / "bin" / "python")
    # This environment's build tools and pip serve the new one, which saves a build
    # isolation per wheel and a pip bootstrap.
    pip = [sys.executable, "-m", "pip"]
    build = [*pip, "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(dist)]
    # setuptools writes build/ and egg-info next to the sources: build from a copy.
    inference = work / "vorn-inference"
    shutil.copytree(ROOT / "host" / "vorn-inference", inference,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))  # fmt: skip
    older = [f"{name}=={version}" for name, version in OLDEST.items()]
    run(
        {
            "building the vorn-core wheel":
                [*build, "--config-settings", f"build-dir={work / 'build-core'}", str(ROOT / "host" / "vorn-core")],
            "building the vorn-tools wheel":
                [*build, "--config-settings", f"build-dir={work / 'build-tools'}", str(ROOT)],
            "building the vorn-inference wheel": [*build, str(inference)],
            "installing the older pydantic and httpx from PyPI": [*pip, "--python", python, "install", "-q", *older],
        },
        timeout=240,
    )  # fmt: skip
    (wheel,) = dist.glob("vorn_tools-*.whl")
    install = [*pip, "--python", python, "install", "-q", "--find-links", str(dist), f"{wheel}[e2b,opensandbox]"]
    run({"installing the vorn-tools wheel (dependencies from PyPI)": install}, timeout=180)

    probe = _quickstart_imports() + (
        "\nimport importlib.metadata, json, sys"
        "\nprint(json.dumps({'versions': {n: importlib.metadata.version(n) for n in %r},"
        " 'files': sorted({m.__file__ for n, m in sys.modules.items() if n.split('.')[0]"
        " in ('vorn_tools', 'vorn_inference', 'vorn_core') and getattr(m, '__file__', None)})}))" % sorted(OLDEST)
    )
    report = json.loads(run({"the quickstart's imports": [python, "-I", "-B", "-c", probe]}, timeout=60).popitem()[1])
    assert report["versions"] == OLDEST, "pip replaced the application's pydantic or httpx"
    outside = [f for f in report["files"] if not Path(f).is_relative_to(venv)]
    assert report["files"] and not outside, f"modules loaded from outside the installed wheels: {outside}"

    # The quickstart takes the test stand-ins from the checkout and everything else from the wheels.
    output = run({"the quickstart": [python, "-I", "-B", str(QUICKSTART)]}, timeout=90).popitem()[1]
    statuses = re.findall(r"^execute_(?:code|command): (\w+)", output, re.MULTILINE)
    assert statuses and set(statuses) == {"success"}, output[-4000:]
    # Its masking part stages an error: a note says so first, and names only masks the error shows.
    note, logged, rest = output.partition("ERROR [create] sandbox start failed")
    shown = re.findall(r"\[(?:SECRET|MASKED \w+)\]", note)
    assert logged and "staged on purpose" in note and shown and all(form in rest for form in shown), output[:4000]
