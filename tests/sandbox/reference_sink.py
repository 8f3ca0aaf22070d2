"""Pure-Python references of the bounded output sink and the streamed-output record, for tests and the benchmark."""

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


def reference_streamed(text: str) -> str:
    """What the streamed-output record of one stream renders once ``text`` has been printed.

    Within the bound, the text itself. Beyond it, the notice and then the longest
    tail of at most MAX_CHARS characters that starts right after a line break;
    when the last line (the unfinished one, or the last complete one if nothing
    follows it) is too long for any, its newest MAX_CHARS characters.
    """
    if len(text) <= MAX_CHARS:
        return text
    line_break = text.find("\n", len(text) - MAX_CHARS - 1)
    start = line_break + 1 if 0 <= line_break < len(text) - 1 else len(text) - MAX_CHARS
    return NOTICE + "\n" + text[start:]
