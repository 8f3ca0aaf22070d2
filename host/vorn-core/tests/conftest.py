"""The reference engine and the credential corpus are plain modules beside the tests."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
