"""The reference engine and the credential corpus are plain modules beside the tests."""

import subprocess
import sys
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))


def run_isolated(code: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Run ``code`` in a fresh interpreter, bounded in time.

    For checks that could hang or crash inside native code, where neither
    pytest-timeout's signal method nor an exception would stop them.
    """
    argv = [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
