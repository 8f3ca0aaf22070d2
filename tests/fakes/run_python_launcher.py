"""A launcher that starts the run-python stand-in as ``PydanticExecutorSandbox``'s server.

Pass what :func:`write_launcher` returns as ``mcp_server_path``. The stand-in runs each program
in its server's own interpreter on this host, not in Pyodide's file system: the launcher keeps what a
program writes under the sandbox paths (``/data``, ``/files``, ``/home``, ``/mnt``, ``/output``,
``/outputs``, ``/workspace``), uploads included, inside ``<directory>/fs`` instead of the host's.
"""

from __future__ import annotations

import shlex
import sys
from pathlib import Path

FAKES = Path(__file__).resolve().parent

_PROGRAM = """import runpy, sys
sys.path.insert(0, {fakes!r})
import python_worker
del sys.path[0]
python_worker.SANDBOX_TOPS |= {{"data"}}
python_worker._install_path_mapping({root!r})
runpy.run_path({server!r}, run_name="__main__")
"""


def write_launcher(directory: Path | str) -> Path:
    """Write the launcher (and the program it runs) into ``directory``; its path."""
    directory = Path(directory)
    (directory / "fs").mkdir(parents=True, exist_ok=True)
    program = directory / "run_python.py"
    program.write_text(_PROGRAM.format(fakes=str(FAKES), root=str(directory / "fs"),
                                       server=str(FAKES / "run_python_server.py")))  # fmt: skip
    launcher = directory / "run-python"
    launcher.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} {shlex.quote(str(program))} "$@"\n')
    launcher.chmod(0o755)
    return launcher
