"""Pure-Python reference of the bounded output sink, for tests and the benchmark."""

from collections import deque

MAX_CHARS = 256 * 1024
NOTICE = "[... earlier output truncated, keeping the last 256K characters ...]"


class ReferenceSink:
    """Keeps the newest lines within MAX_CHARS, each line costing its length plus one."""

    def __init__(self) -> None:
        self._lines: deque[str] = deque()
        self._size = 0
        self._truncated = False

    def append(self, line: str) -> None:
        self._lines.append(line)
        self._size += len(line) + 1
        while self._size > MAX_CHARS and len(self._lines) > 1:
            self._size -= len(self._lines.popleft()) + 1
            self._truncated = True

    def render(self) -> str:
        if not self._lines:
            return ""
        body = "\n".join(self._lines)
        return NOTICE + "\n" + body if self._truncated else body
