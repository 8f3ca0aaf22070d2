# Every import the README shows works: a renamed or moved name fails here, not in a newcomer's app.

import ast
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"
_PYTHON_BLOCK = re.compile(r"^ *```python\n(.*?)^ *```", re.MULTILINE | re.DOTALL)


def readme_imports(text: str) -> list[str]:
    """The import statements of the README's Python blocks, each block's in order, duplicates once."""
    statements: list[str] = []
    for match in _PYTHON_BLOCK.finditer(text):
        block = match.group(1)
        indent = min((len(line) - len(line.lstrip()) for line in block.splitlines() if line.strip()), default=0)
        source = "\n".join(line[indent:] for line in block.splitlines())
        # The examples await at top level, as inside an app's coroutine; only compiling refuses that.
        tree = ast.parse(source)
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                statement = ast.unparse(node)
                if statement not in statements:
                    statements.append(statement)
    return statements


def test_readme_imports_run() -> None:
    statements = readme_imports(README.read_text(encoding="utf-8"))
    # The README's import list names the interpreter, every backend and the MCP client at least.
    names = {alias.name for s in statements for alias in ast.parse(s).body[0].names}
    assert {"SandboxCodeInterpreter", "E2BSandbox", "OpenSandbox", "OpenSandboxLite", "BedrockAgentCoreSandbox",
            "Attachment", "BaseLMInvoker", "register_secret", "LangchainMCPClient"} <= names  # fmt: skip
    program = "\n".join(statements) + "\nprint('imported', " + str(len(statements)) + ")"
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr, proc.stdout.strip()) == (0, "", f"imported {len(statements)}")


def test_readme_imports_finds_every_form() -> None:
    # Indented blocks (inside a list item), parenthesized imports and top-level await all count.
    text = (
        "```python\nimport sys\nfrom a.b import (\n    C,\n    d,\n)\nx = await f()\n```\n"
        "- item\n\n  ```python\n  from e import F  # note\n  import sys\n  ```\n"
    )
    assert readme_imports(text) == ["import sys", "from a.b import C, d", "from e import F"]
