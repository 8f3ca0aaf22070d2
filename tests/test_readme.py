# The README and docs/ hold: every import they show, every block run as written once pointed at a stand-in,
# and every link, anchor and repository path they name.

from __future__ import annotations

import ast
import asyncio
import builtins
import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import warnings
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from tests.fakes.agentcore_fixtures import CREDENTIALS, agentcore, agentcore_service  # noqa: F401 - shared fixtures
from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - shared fixtures
from tests.fakes.lite_daemon import image_env
from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - shared fixtures
from tests.fakes.run_python_launcher import write_launcher

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
#: The README first, then the reference beside it.
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
_PYTHON_BLOCK = re.compile(r"^ *```python\n(.*?)^ *```", re.MULTILINE | re.DOTALL)


def _dedent(block: str) -> str:
    indent = min((len(line) - len(line.lstrip()) for line in block.splitlines() if line.strip()), default=0)
    return "\n".join(line[indent:] for line in block.splitlines())


def readme_imports(*texts: str) -> list[str]:
    """The import statements of the Python blocks of ``texts``, each block's in order, duplicates once."""
    statements: list[str] = []
    for block in (block for text in texts for block in readme_blocks(text)):
        # The examples await at top level, as inside an app's coroutine; only compiling refuses that.
        for node in ast.walk(ast.parse(block.source)):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                statement = ast.unparse(node)
                if statement not in statements:
                    statements.append(statement)
    return statements


def test_readme_imports_run() -> None:
    statements = readme_imports(*(page.read_text(encoding="utf-8") for page in PAGES))
    # The import list names the interpreter, every backend and the MCP client at least.
    names = {alias.name for s in statements for alias in ast.parse(s).body[0].names}
    assert {"SandboxCodeInterpreter", "E2BSandbox", "OpenSandbox", "OpenSandboxLite", "BedrockAgentCoreSandbox",
            "Attachment", "BaseLMInvoker", "register_secret", "LangchainMCPClient"} <= names  # fmt: skip
    program = "\n".join(statements) + "\nprint('imported', " + str(len(statements)) + ")"
    # At the root: where the tests run (tests/, say), tests/e2b would hide the SDK of that name.
    proc = subprocess.run([sys.executable, "-c", program], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr, proc.stdout.strip()) == (0, "", f"imported {len(statements)}")


def test_readme_imports_finds_every_form() -> None:
    # Indented blocks (inside a list item), parenthesized imports and top-level await all count.
    text = (
        "```python\nimport sys\nfrom a.b import (\n    C,\n    d,\n)\nx = await f()\n```\n"
        "- item\n\n  ```python\n  from e import F  # note\n  import sys\n  ```\n"
    )
    assert readme_imports(text) == ["import sys", "from a.b import C, d", "from e import F"]


# ------------------------------------------------------------------------------------------------
# Every block runs. A block is a whole program (it ends in `asyncio.run(main())`), the body of an
# app's coroutine (it awaits at top level) or plain code. It runs in this process, unchanged but
# for one thing: each call that connects (below) gets the stand-in's options merged over the
# keyword arguments it was written with, as a newcomer puts in their own. Where the provider's SDK
# reads its connection from the environment (Bedrock AgentCore, the E2B template builder), the
# environment points it instead and the call stays as written.

#: The calls that reach a service: ``Name(...)`` or ``Name.create(...)``.
CONNECTS = frozenset({
    "E2BSandbox.create", "OpenSandbox.create", "OpenSandboxLite.create", "BedrockAgentCoreSandbox",
    "PydanticExecutorSandbox", "E2BTemplateBuilder", "OpenSandboxTemplateBuilder",
})  # fmt: skip
#: A block and its awaits end within this, well before pytest-timeout's last resort.
BLOCK_BOUND = 90.0
SALES = b"region,amount\nnorth,10\n"  # the `attachments` of the E2B example


@dataclass(frozen=True)
class Block:
    heading: str  # the section it stands in
    line: int  # page line of its first line of code
    source: str  # dedented
    page: Path = README

    @property
    def tree(self) -> ast.Module:
        tree = ast.parse(self.source, filename=str(self.page))
        ast.increment_lineno(tree, self.line - 1)  # tracebacks name the page's own lines
        return tree


def readme_blocks(text: str, page: Path = README) -> list[Block]:
    """The Python blocks of ``text``, each with the heading of the section it stands in."""
    headings: list[tuple[int, str]] = []  # (offset, title) outside code fences
    offset, fenced = 0, False
    for line in text.splitlines(keepends=True):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced and (heading := re.match(r"#{1,6} +(.+?)\s*$", line)):
            headings.append((offset, heading.group(1)))
        offset += len(line)
    blocks = []
    for match in _PYTHON_BLOCK.finditer(text):
        heading = next((title for at, title in reversed(headings) if at < match.start()), "(top)")
        line = text.count("\n", 0, match.start(1)) + 1
        blocks.append(Block(heading, line, _dedent(match.group(1)), page))
    return blocks


def _block_ids(blocks: list[Block]) -> list[str]:
    seen: Counter[str] = Counter()
    ids = []
    for block in blocks:
        name = block.heading if block.page == README else f"{block.page.relative_to(ROOT)}: {block.heading}"
        seen[name] += 1
        ids.append(name + (f" #{seen[name]}" if seen[name] > 1 else ""))
    return ids


def _call_name(func: ast.expr) -> str:
    if isinstance(func, ast.Name):
        return func.id
    if isinstance(func, ast.Attribute) and isinstance(func.value, ast.Name):
        return f"{func.value.id}.{func.attr}"
    return ""


def point(tree: ast.Module, pointed: dict[str, dict[str, Any]]) -> Counter[str]:
    """Rewrite ``X(a=1, **more)`` into ``X(**{**dict(a=1, **more), **__standin__["X"]})`` in place.

    Positional arguments stay. Returns how often each call was rewritten; a connecting
    call without options fails, so no block reaches a real service.
    """
    found: Counter[str] = Counter()
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call) or (name := _call_name(node.func)) not in CONNECTS:
            continue
        assert name in pointed, f"line {node.lineno}: {name}(...) is not pointed at a stand-in"
        found[name] += 1
        written = ast.Call(ast.Name("dict", ast.Load()), [], node.keywords)
        options = ast.Subscript(ast.Name("__standin__", ast.Load()), ast.Constant(name), ast.Load())
        node.keywords = [ast.keyword(None, ast.Dict([None, None], [written, options]))]
    ast.fix_missing_locations(tree)
    return found


def free_names(tree: ast.Module) -> set[str]:
    """Names the block reads but neither binds nor imports (nor are builtins)."""
    read, bound = set(), set(dir(builtins))
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            (read if isinstance(node.ctx, ast.Load) else bound).add(node.id)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            bound.add(node.name)
        elif isinstance(node, ast.arg):
            bound.add(node.arg)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            bound.update((alias.asname or alias.name).split(".")[0] for alias in node.names)
    return read - bound


def definitions(blocks: list[Block], names: set[str]) -> ast.Module:
    """For names a block takes from another ("the later examples reuse it"): the defining
    block's imports and each top-level statement that binds one of them."""
    body: list[ast.stmt] = []
    for name in sorted(names):
        for block in blocks:
            tree = block.tree
            binds = [stmt for stmt in tree.body
                     if isinstance(stmt, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name
                                                             for t in stmt.targets)]  # fmt: skip
            if binds:
                body += [stmt for stmt in tree.body if isinstance(stmt, (ast.Import, ast.ImportFrom))] + binds
                break
        else:
            raise AssertionError(f"the block uses {name!r}, which no block of the README or docs/ defines")
    return ast.Module(body, [])


@dataclass
class Pointing:
    """What a block runs against: options per connecting call, and environment."""

    calls: dict[str, dict[str, Any]] = field(default_factory=dict)
    env: dict[str, str] = field(default_factory=dict)


@dataclass
class Ran:
    """What a block left: its globals, what it printed, the warnings it raised, its stand-ins."""

    tree: ast.Module
    names: dict[str, Any]
    printed: str
    warned: list[warnings.WarningMessage]
    request: pytest.FixtureRequest
    tmp: Path

    def stand_in(self, fixture: str) -> Any:
        return self.request.getfixturevalue(fixture)


@dataclass(frozen=True)
class Runner:
    setup: Callable[[pytest.FixtureRequest, Path], Pointing]
    check: Callable[[Ran], None]


# ---------------------------------------------------------------------------- pointing


def _nothing(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    return Pointing()


def _e2b(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    options = request.getfixturevalue("e2b").connection_options()
    return Pointing({"E2BSandbox.create": options})


def _opensandbox(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    return Pointing({"OpenSandbox.create": request.getfixturevalue("opensandbox").connection_options()})


def _lite(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    # The stand-in's sandboxes run the tests' interpreter as their `python3`, which has IPython.
    options = request.getfixturevalue("opensandbox").connection_options()
    return Pointing({"OpenSandboxLite.create": {**options, "env": image_env()}})


def _agentcore(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    # The fixture points "bedrock-agentcore" clients at the stand-in; the credentials come
    # through the AWS SDK's own lookup, so the call keeps what it was written with.
    request.getfixturevalue("agentcore")
    env = {"AWS_ACCESS_KEY_ID": CREDENTIALS["aws_access_key_id"],
           "AWS_SECRET_ACCESS_KEY": CREDENTIALS["aws_secret_access_key"]}  # fmt: skip
    return Pointing({"BedrockAgentCoreSandbox": {}}, env)


def _server_pids(log: Path) -> list[int]:
    entries = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []
    return [entry["pid"] for entry in entries if isinstance(entry, dict) and "pid" in entry]


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)  # a zombie answers too: terminate must have reaped it
    except ProcessLookupError:
        return False
    return True


def _run_python(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    # The run-python stand-in in place of "deno"; the upload paths land under tmp/fs, never on
    # the host's /data.
    launcher = write_launcher(tmp)
    log = tmp / "server.log"

    def kill_left() -> None:  # a block that failed before its terminate leaves its server
        for pid in filter(_alive, _server_pids(log)):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(pid, signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):
                os.waitpid(pid, 0)

    request.addfinalizer(kill_left)
    env = {"FAKE_RUN_PYTHON_LOG": str(log), "FAKE_RUN_PYTHON_MODE": ""}
    return Pointing({"PydanticExecutorSandbox": {"mcp_server_path": str(launcher)}}, env)


def _own_launcher(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    # The block writes its launcher into a temporary directory of its own: made under tmp/made here,
    # to see it removed. The block puts the checkout root on sys.path; the test's own is put back.
    pointing = _run_python(request, tmp)
    monkeypatch = request.getfixturevalue("monkeypatch")
    monkeypatch.setattr(sys, "path", [*sys.path])
    (tmp / "made").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp / "made"))
    return Pointing({"PydanticExecutorSandbox": {}}, pointing.env)


def _templates(request: pytest.FixtureRequest, tmp: Path) -> Pointing:
    e2b_service, opensandbox_service = request.getfixturevalue("e2b"), request.getfixturevalue("opensandbox")
    e2b_service.aliases.clear()
    # E2B's SDK reads the API address from the environment. pip in the OpenSandbox build
    # sandbox is the tests' own: it may find what is installed, and never an index.
    env = {"E2B_API_URL": e2b_service.api_url, "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
           "AWS_ENDPOINT_URL_ECR": opensandbox_service.ecr_url}
    osb = {**opensandbox_service.connection_options(), "snapshot_poll_interval": 0.05}
    return Pointing({"E2BTemplateBuilder": {"api_key": e2b_service.api_key}, "OpenSandboxTemplateBuilder": osb}, env)


# ------------------------------------------------------------------------------ checks


def _imported(ran: Ran) -> None:
    imported = {alias.asname or alias.name for s in ran.tree.body if isinstance(s, ast.ImportFrom)
                for alias in s.names}  # fmt: skip
    assert {"SandboxCodeInterpreter", "E2BSandbox", "LangchainMCPClient"} <= imported <= ran.names.keys()


def _interpreted(ran: Ran) -> None:
    assert ran.printed == "The code printed 42 []\n"
    assert ran.stand_in("e2b").alive_sandboxes() == []  # terminated


def _e2b_ran(ran: Ran) -> None:
    # A command sees the sandbox's /files, where the code and the upload wrote.
    assert ran.printed == f"success {SALES!r} report.csv\nsales.csv\n\n"
    assert ran.stand_in("e2b").alive_sandboxes() == []


def _opensandbox_ran(ran: Ran) -> None:
    result, data, listing = (ran.names[name] for name in ("result", "data", "listing"))
    assert (result.status.value, result.stdout, data) == ("success", "2\n", SALES)
    assert (listing.status.value, listing.stdout.split()) == ("success", ["sales.csv"])
    assert ran.stand_in("opensandbox").alive_sandboxes() == []


def _lite_ran(ran: Ran) -> None:
    result = ran.names["result"]
    assert (result.status.value, result.stdout) == ("success", "42\n")
    assert ran.stand_in("opensandbox").alive_sandboxes() == []


def _agentcore_ran(ran: Ran) -> None:
    result, data, listing = (ran.names[name] for name in ("result", "data", "listing"))
    assert (result.status.value, result.stdout, data) == ("success", "2\n", SALES)
    assert listing.status.value == "success" and "sales.csv" in listing.stdout.split()
    assert ran.stand_in("agentcore").live_sessions() == []


def _run_python_ran(ran: Ran) -> None:
    result = ran.names["result"]
    assert (result.status.value, result.stdout.splitlines()[-1]) == ("success", "1")
    assert (ran.tmp / "fs" / "data" / "sales.csv").read_bytes() == SALES
    pids = _server_pids(ran.tmp / "server.log")
    assert len(pids) == 1 and not _alive(pids[0])  # terminated and reaped
    assert any(issubclass(w.category, DeprecationWarning) for w in ran.warned)


def _own_launcher_ran(ran: Ran) -> None:
    assert ran.printed == "success 42\n"
    pids = _server_pids(ran.tmp / "server.log")
    assert len(pids) == 1 and not _alive(pids[0])  # terminated and reaped
    assert list((ran.tmp / "made").iterdir()) == []  # its temporary directory removed


def _streamed(ran: Ran) -> None:
    assert ran.names["streamed"].render("stdout") == "partial line"  # the block ran to its end


def _templates_ran(ran: Ran) -> None:
    *_, last = ran.printed.splitlines()
    assert last == '{"provider":"opensandbox","value":"analytics-v3"}'
    assert ran.stand_in("e2b").aliases["analytics-v3"]["tags"] == ["default"]  # built on E2B as well
    snapshots = ran.stand_in("opensandbox").snapshots.values()
    assert [(s.name, s.state) for s in snapshots] == [("analytics-v3", "Ready")]


def _mcp_ran(ran: Ran) -> None:
    assert ran.names["result"] == "42"
    assert {tool.name for tool in ran.names["tools"]} == {"add", "word_count"}


#: By section heading: how each block is pointed and what it must have done.
RUNNERS: dict[str, Runner] = {
    "Imports": Runner(_nothing, _imported),
    "Code interpreter": Runner(_e2b, _interpreted),
    "E2B": Runner(_e2b, _e2b_ran),
    "OpenSandbox": Runner(_opensandbox, _opensandbox_ran),
    "OpenSandbox Lite": Runner(_lite, _lite_ran),
    "Bedrock AgentCore": Runner(_agentcore, _agentcore_ran),
    "Pydantic executor (deprecated)": Runner(_run_python, _run_python_ran),
    "The run-python stand-in": Runner(_own_launcher, _own_launcher_ran),
    "Writing a backend": Runner(_nothing, _streamed),
    "Building templates and snapshots": Runner(_templates, _templates_ran),
    "MCP client": Runner(_nothing, _mcp_ran),
}
#: Blocks that cannot run, each with the reason.
NOT_RUNNABLE: dict[str, str] = {}

_BLOCKS = [block for page in PAGES for block in readme_blocks(page.read_text(encoding="utf-8"), page)]


@pytest.fixture
def bounded_asyncio_run(monkeypatch: pytest.MonkeyPatch) -> Iterator[Callable[..., Any]]:
    """``asyncio.run`` for the blocks (theirs included): bounded, so a hung block fails alone."""
    run = asyncio.run

    async def bounded(coro: Any) -> Any:
        bound = asyncio.timeout(BLOCK_BOUND)
        try:
            async with bound:
                return await coro
        except TimeoutError as exc:
            if bound.expired():
                raise TimeoutError(f"the block still ran after {BLOCK_BOUND:.0f} s") from exc
            raise

    def bounded_run(coro: Any, **options: Any) -> Any:
        return run(bounded(coro), **options)

    monkeypatch.setattr(asyncio, "run", bounded_run)
    yield bounded_run


@pytest.mark.parametrize("block", _BLOCKS, ids=_block_ids(_BLOCKS))
def test_readme_block_runs(block: Block, request: pytest.FixtureRequest, tmp_path: Path,
                           monkeypatch: pytest.MonkeyPatch, capfd: pytest.CaptureFixture[str],
                           bounded_asyncio_run: Callable[..., Any]) -> None:  # fmt: skip
    if block.heading in NOT_RUNNABLE:
        pytest.skip(NOT_RUNNABLE[block.heading])
    runner = RUNNERS.get(block.heading)
    assert runner is not None, f"no runner for the block under {block.heading!r}: add one to RUNNERS or NOT_RUNNABLE"
    pointing = runner.setup(request, tmp_path)
    for name, value in pointing.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.chdir(ROOT)  # the MCP example names its server by a path in this checkout
    tree = block.tree
    found = point(tree, pointing.calls)
    assert found.keys() == pointing.calls.keys(), f"the block no longer makes the calls its runner points: {found}"
    # Run as a script saved at the checkout root, as a newcomer saves one.
    names: dict[str, Any] = {"__name__": "__readme__", "__file__": str(ROOT / "example.py"),
                             "__standin__": pointing.calls}  # fmt: skip
    needed = free_names(tree) - names.keys()
    if needed:
        exec(compile(definitions([b for b in _BLOCKS if b is not block], needed), str(block.page), "exec"), names)
    code = compile(tree, str(block.page), "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
    capfd.readouterr()
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        body = eval(code, names)  # a coroutine when the block awaits at top level
        if body is not None:
            bounded_asyncio_run(body)
    printed = capfd.readouterr().out
    runner.check(Ran(tree, names, printed, warned, request, tmp_path))


# A key a block is written with is a placeholder: copied as written, it must fail as a wrong key
# does, not with an encoding error before any request (a header carries no "…").

async def _refused(call: str, key: str, request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """What ``call``, made with ``key`` against its stand-in, gives as a text: its error, or its failed build."""
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_sandbox import OpenSandboxLite
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox
    from vorn_tools.code_interpreter.code_template import TemplateSpec
    from vorn_tools.code_interpreter.code_template.e2b_template_builder import E2BTemplateBuilder
    from vorn_tools.code_interpreter.code_template.opensandbox_template_builder import OpenSandboxTemplateBuilder
    from vorn_tools.code_interpreter.errors import SandboxStartError

    e2b_service, opensandbox_service = request.getfixturevalue("e2b"), request.getfixturevalue("opensandbox")
    monkeypatch.setenv("E2B_API_URL", e2b_service.api_url)
    e2b_options = {**e2b_service.connection_options(), "api_key": key, "create_backoff": 0.0}
    osb_options = {**opensandbox_service.connection_options(), "api_key": key}
    spec = TemplateSpec(template_id="keyed", image="acme/keyed:1")
    builders = {"E2BTemplateBuilder": lambda: E2BTemplateBuilder(api_key=key),
                "OpenSandboxTemplateBuilder": lambda: OpenSandboxTemplateBuilder(**osb_options)}  # fmt: skip
    if call in builders:
        result = await asyncio.to_thread(builders[call]().ensure, spec)
        return f"{result.status.value}: {result.detail}"
    creates = {"E2BSandbox.create": lambda: E2BSandbox.create(**e2b_options),
               "OpenSandbox.create": lambda: OpenSandbox.create(**osb_options, create_backoff=0.0),
               "OpenSandboxLite.create": lambda: OpenSandboxLite.create(**osb_options, create_backoff=0.0)}  # fmt: skip
    with pytest.raises(SandboxStartError) as info:
        await creates[call]()
    return f"{type(info.value.__cause__).__name__}: {info.value}"


def written_keys(blocks: list[Block]) -> dict[str, set[str]]:
    """The ``api_key`` each connecting call of ``blocks`` is written with."""
    keys: dict[str, set[str]] = {}
    for block in blocks:
        for node in ast.walk(block.tree):
            if isinstance(node, ast.Call) and (name := _call_name(node.func)) in CONNECTS:
                for keyword in node.keywords:
                    if keyword.arg == "api_key" and isinstance(keyword.value, ast.Constant):
                        keys.setdefault(name, set()).add(keyword.value.value)
    return keys


@pytest.mark.parametrize("call", ["E2BSandbox.create", "OpenSandbox.create", "OpenSandboxLite.create",
                                  "E2BTemplateBuilder", "OpenSandboxTemplateBuilder"])  # fmt: skip
async def test_a_written_key_fails_as_a_wrong_key_does(call: str, request: pytest.FixtureRequest,
                                                       monkeypatch: pytest.MonkeyPatch) -> None:  # fmt: skip
    written = written_keys(_BLOCKS).get(call)
    assert written, f"no block writes a key for {call}: drop it here"
    wrong = await _refused(call, "not-the-stand-ins-key", request, monkeypatch)
    assert "401" in wrong  # the stand-in's refusal of a key, not an error of the call
    assert {key: await _refused(call, key, request, monkeypatch) for key in written} == dict.fromkeys(written, wrong)


def awaits_at_top_level(tree: ast.Module) -> bool:
    """Whether ``tree`` awaits outside any function of its own: it runs only inside a coroutine."""
    pending: list[ast.AST] = list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, ast.Await):
            return True
        if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
            pending.extend(ast.iter_child_nodes(node))
    return False


def lead_in(block: Block) -> str:
    """The prose of the block's section (its "##" heading's) up to the block: where a note on it stands."""
    before = "".join(block.page.read_text(encoding="utf-8").splitlines(keepends=True)[: block.line - 1])
    return re.split(r"^## ", _prose(before), flags=re.MULTILINE)[-1]


def test_a_block_that_awaits_says_where_it_runs() -> None:
    # Copied into a script as it stands, a top-level await is a SyntaxError: the section says to run it
    # from a coroutine.
    awaiting = [block for block in _BLOCKS if awaits_at_top_level(block.tree)]
    assert {"E2B", "MCP client"} <= {block.heading for block in awaiting}
    assert [block.heading for block in awaiting if "coroutine" not in lead_in(block)] == []
    assert not awaits_at_top_level(ast.parse("async def f():\n    await g()\nasyncio.run(f())"))


def test_every_runner_has_its_block() -> None:
    headings = {block.heading for block in _BLOCKS}
    assert (RUNNERS.keys() | NOT_RUNNABLE.keys()) - headings == set()
    assert not RUNNERS.keys() & NOT_RUNNABLE.keys()


def test_block_pointing() -> None:
    # Written keywords stay unless the stand-in gives them; positional arguments stay; any
    # other connecting call in a block fails before it runs.
    tree = ast.parse('s = await E2BSandbox.create("k", api_key="e2b_…", sandbox_timeout=600, **extra)\nx = f(a=1)')
    assert point(tree, {"E2BSandbox.create": {"api_key": "real"}}) == Counter({"E2BSandbox.create": 1})
    assert ast.unparse(tree).splitlines() == [
        "s = await E2BSandbox.create('k', **{**dict(api_key='e2b_…', sandbox_timeout=600, **extra), "
        "**__standin__['E2BSandbox.create']})",
        "x = f(a=1)",
    ]
    with pytest.raises(AssertionError, match="OpenSandbox.create"):
        point(ast.parse("s = OpenSandbox.create(domain='x')"), {})
    assert free_names(ast.parse("import a.b\nx = y + len(a.b)\ndef f(z):\n    return z, w")) == {"y", "w"}


def test_readme_blocks_know_their_section() -> None:
    # A "#" line inside a block is code, not a heading; ids keep blocks of one section apart.
    text = "# Top\n\n## One\n\n```python\n# a comment\nx = 1\n```\n\n- item\n\n  ```python\n  y = 2\n  ```\n"
    blocks = readme_blocks(text)
    assert [(b.heading, b.line, b.source) for b in blocks] == [("One", 6, "# a comment\nx = 1"), ("One", 13, "y = 2")]
    assert _block_ids(blocks) == ["One", "One #2"]


# ------------------------------------------------------------------------------- links

_LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
_REPO_PATH = re.compile(r"(?<![\w./-])((?:tests|src|host|bench|examples|scripts|docs|\.ci)/[\w./*-]*)")
#: Paths the pages name that only the set-up makes.
_MADE_BY_SETUP = {"host/*/build"}


def _prose(text: str) -> str:
    """``text`` without its fenced code blocks, whose "#" lines and brackets are code."""
    return re.sub(r"^ *```.*?^ *```", "", text, flags=re.MULTILINE | re.DOTALL)


def anchors(text: str) -> set[str]:
    """The anchors GitHub gives the headings of ``text``: lower case, punctuation dropped, spaces
    as hyphens, and a repeated one numbered."""
    seen: Counter[str] = Counter()
    found = set()
    for title in re.findall(r"^#{1,6} +(.+?)\s*$", _prose(text), re.MULTILINE):
        slug = re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")
        found.add(f"{slug}-{seen[slug]}" if seen[slug] else slug)
        seen[slug] += 1
    return found


def test_anchors_as_github_makes_them() -> None:
    # Apostrophes, backticks and brackets go, a repeat is numbered, and a "#" line in a code block is code.
    text = "# vorn-tools\n## Another user's checkout\n### `OpenSandbox` in detail (deprecated)\n## Output\n## Output\n"
    assert anchors(text + "```\n# x\n```\n") == {
        "vorn-tools", "another-users-checkout", "opensandbox-in-detail-deprecated", "output", "output-1"}  # fmt: skip


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_links_and_paths_resolve(page: Path) -> None:
    # Each page's links (to a file, a heading of one, or a heading of its own) and the repository
    # paths it names, as a newcomer follows them from a checkout.
    text = page.read_text(encoding="utf-8")
    broken = []
    for target in _LINK.findall(_prose(text)):
        if re.match(r"[a-z]+:", target):  # another site
            continue
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.is_file() or (anchor and anchor not in anchors(linked.read_text(encoding="utf-8"))):
            broken.append(target)
    named = {path.rstrip(".") for path in _REPO_PATH.findall(text)} - _MADE_BY_SETUP
    broken += sorted(path for path in named if not any(ROOT.glob(path)))
    assert broken == []


def test_readme_links_every_doc() -> None:
    # A page under docs/ that the README does not link is one no reader finds.
    targets = _LINK.findall(_prose(README.read_text(encoding="utf-8")))
    assert set(PAGES[1:]) - {(ROOT / target.partition("#")[0]).resolve() for target in targets} == set()


def test_every_doc_links_back_to_the_readme() -> None:
    def targets(page: Path) -> set[Path]:
        return {(page.parent / t.partition("#")[0]).resolve() for t in _LINK.findall(_prose(page.read_text("utf-8")))}

    assert [page.name for page in PAGES[1:] if README not in targets(page)] == []
