"""OpenSandboxLite: OpenSandbox's execution results without the Jupyter server.

The sandbox boots a no-op start command. At creation the library writes an
IPython interpreter daemon into it and starts the daemon through the relay
client, a program that travels on the command line of every call. Each
execution runs the relay once as a shell command through the sandbox's command
service: the relay hands the cell to the daemon over a Unix socket, says when
the daemon took it, streams the cell's output back as the command's output
(one JSON string per line) and ends with one report line that this module maps
to an ``ExecutionResult``. On a timeout the relay command is stopped, the
daemon interrupts the cell, and a "settle" run of the relay waits for the
interpreter to be idle again, restarting it when the cell will not stop. A
call that lets go of its cell any other way (cancelled, say) leaves the same
stop and settle running in the background; the next call waits for it.

A settle kills whatever holds the interpreter once its grace has passed, so it
is started only where no other call's cell can be running: by the call whose
cell the daemon took (the relay says so as soon as it does), when it lets go
of it; and, once, by a call that finds the session busy while no call of this
instance holds a cell or is settling one (the cell then holding the
interpreter is an orphan, one whose own settle failed); that settle kills
nothing while a relay of the sandbox still runs, since the cell may be another
client's running call. While a call of this instance runs its relay (its
cell may hold the interpreter before the relay's note saying so arrives),
any other call of it is "session is busy" at once, without running the relay,
so no call ever replaces an interpreter that is running another call's cell.
"""

import asyncio
import collections
import inspect
import json
import re
import shlex
import time
import uuid
from collections.abc import Callable
from datetime import timedelta
from typing import Any, NamedTuple, Self

try:
    from opensandbox import Sandbox
    from opensandbox.exceptions import SandboxConnectionException, SandboxTimeoutException
    from opensandbox.models.execd import Execution, ExecutionHandlers, RunCommandOpts
    from opensandbox.models.filesystem import WriteEntry
except ImportError as _import_error:
    raise ImportError(
        "opensandbox and opensandbox-code-interpreter packages are required. "
        "Install them with: pip install 'vorn-tools[opensandbox]'"
    ) from _import_error

from vorn_core.masking.rules import BuiltInMaskingRule, placeholder
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.constants import DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS, Language
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxErrorMessage as ErrorMessage
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxLiteConfig as LiteConfig
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxLiteErrorMessage as LiteErrorMessage
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_scripts import CLIENT_SOURCE, DAEMON_SOURCE
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import (
    OpenSandbox,
    _joined_lines,
    _never_written,
    _StreamEndedEarly,
)
from vorn_tools.code_interpreter.code_sandbox.utils import (
    _MAX_STREAMED_OUTPUT_CHARS,
    GuardedCallback,
    StreamedOutput,
    check_code,
    check_teardown_cap,
    failure_reason,
    finish_result,
    resolve_timeout,
    with_callback_failures,
)
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxStartError, Stage
from vorn_tools.code_interpreter.observability import (
    SpanAttr,
    SpanName,
    set_current_span_attributes,
    traced,
)
from vorn_tools.code_interpreter.redaction import get_redacting_logger, redact

logger = get_redacting_logger(__name__)

_PREFIX = LiteConfig.RUNTIME_PREFIX
_DAEMON_PATH = _PREFIX + "_daemon.py"
# A cell travels on the relay's command line while that line stays within this size:
# the command service hands the whole line to "bash -c" as one argument, and Linux
# takes at most 128 KiB per argument.
_INLINE_COMMAND_BYTES = 96 * 1024
_REPORT_MARK = "ZIB_LITE_REPORT:"
# What the relay writes after a call's marker when the daemon takes that call's cell.
_STARTED = "started"

# The relay's "launch" returns at once and its "settle" within the grace plus
# a kill wait; a command stream that stalls must not hold the caller longer
# than this, so both are awaited under it.
_RELAY_BOUND = LiteConfig.INTERRUPT_GRACE_SECONDS + LiteConfig.STREAM_GRACE_SECONDS + 5
# A relay stop that does not land within this many seconds is given up (with
# a warning); the settle that follows bounds the rest.
_INTERRUPT_TIMEOUT = 5

_STREAM_NAMES = {"out": "stdout", "err": "stderr"}
# The command service takes whole milliseconds, and 0 would mean no limit at all.
_MIN_COMMAND_LIMIT = timedelta(milliseconds=1)

# Everything a report says is written by programs that the sandbox's own code
# can reach, so it is checked before anything is read from it.
_MALFORMED_REPORT = (
    "OpenSandboxLite could not read the outcome of the code: the sandbox sent a malformed report ({}). "
    "The code may have run."
)
_REPORT_TYPES: dict[str, type] = {"busy": bool, "restarted": bool, "result": str, "daemon": str, "log": str}
_DAEMON_STATES = ("died", "failed", "error")
_UNREADABLE = object()  # a report line of this call whose JSON does not parse
# The start of a relayed line: its opening quote, whole characters and escapes of
# a JSON string as the relay writes it (ASCII, control characters escaped), and
# perhaps an escape cut in two.
_CUT_RELAYED = re.compile(r'"((?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*+)(?:\\(?:u[0-9a-fA-F]{0,3})?)?')


class _RelayWords:
    """What the relay wrote of its own (its traceback, say): never output of the cell.

    Its newest whole lines within the output's bound, counted with the line
    feeds that join them; the newest line is always kept. Whole lines only, so
    that masking sees each of them whole: a line longer than the bound is
    replaced by a note of its length. A private key is the one secret that
    masking finds across lines, and only from its BEGIN line, which the bound
    may leave out: so each line is judged as it arrives, whole, and a line of a
    key is kept only as the mask (one for a run of them), never as written. The
    note of the lines left out counts every delivered line left out, those that
    a mask stood for included. The command service splits a line at a carriage return as well: the
    piece before one goes on in the next with no line feed between them, as the
    relay wrote it. The words of more than one relay (a call that ran its code
    again) go on one after another.
    """

    __slots__ = ("_lines", "_size", "_dropped", "_key")

    def __init__(self) -> None:
        # Each entry: its text, what follows it when joined, and how many delivered lines it stands for.
        self._lines: collections.deque[tuple[str, str, int]] = collections.deque()
        self._size = 0  # the entries' characters and a line feed for each
        self._dropped = 0  # the delivered lines left out
        self._key: str | None = None  # how a key that the lines leave open stands (see ``_key_state``)

    def add(self, text: str) -> None:
        """Keep ``text``, one line as delivered, with or without its line feed."""
        bound = _MAX_STREAMED_OUTPUT_CHARS
        line = text.rstrip("\n")
        after_mask = bool(self._lines) and self._lines[-1][0] is _KEY_MASKED
        masked, self._key = _key_state(line, self._key, after_mask)
        if masked and after_mask:
            self._lines[-1] = (_KEY_MASKED, "\n", self._lines[-1][2] + 1)
            return
        if masked:
            entry = (_KEY_MASKED, "\n", 1)
        elif len(line) > bound:
            entry = (f"[a line of {len(line)} characters, left out]", "\n", 1)
        else:
            # A piece that the command service split off at a carriage return goes on in the next.
            entry = (line, "" if line == text and line.endswith("\r") else "\n", 1)
        self._lines.append(entry)
        self._size += len(entry[0]) + 1
        # Joined, the entries take one line feed fewer than they are counted with.
        while self._size > bound + 1:
            left_out, _, count = self._lines.popleft()
            self._size -= len(left_out) + 1
            self._dropped += count

    def text(self) -> str:
        """The lines joined as the relay wrote them, masked; "" when they hold nothing but white space."""
        text = "".join(line + end for line, end, _ in self._lines).rstrip("\n")
        if not text.strip():
            return ""
        if self._dropped:
            text = f"[{self._dropped} earlier lines left out]\n" + text
        return redact(text)


# What masking writes for a private key; what the relay's words keep of each run of a key's lines.
_KEY_MASKED = placeholder(BuiltInMaskingRule.PRIVATE_KEY_BLOCK.name)
# A header of a PEM key (after its BEGIN line, before its base64), taken broadly, since a wider guess
# only masks more: "Proc-Type: 4,ENCRYPTED", also quoted, escaped or listed. Header names are
# capitalised, the relay's own messages ("relay: retrying") are not.
_KEY_HEADER = re.compile(r"""(?:[\s'",\\]|b['"])*+[A-Z][A-Za-z-]*+:""")
# Key material: a run of base64 that mixes digits, capitals and small letters, as words seldom do,
# wherever it stands in its line (after a list item or a prefix, before a comment), unless a file
# name extension follows within 256 characters, as in a path; a line that ends in a piece of base64
# (see ``_last_piece``), alone or behind a prefix; or, right after a masked line, a line that is
# nothing but base64, words and numbers included, as the short last line of a key or one cut short
# is: one piece, perhaps quoted, escaped, indented, a YAML list item or in brackets, or several
# quoted pieces (a list printed compact).
_KEY_RUN = re.compile(
    r"(?<![\w+/-])(?=[\w+/-]{20})(?=[\w+/-]*?[0-9])(?=[\w+/-]*?[A-Z])(?=[\w+/-]*?[a-z])(?![\w+/-]{0,255}+\.\w)",
    re.ASCII,
)
_BASE64 = r"(?:[A-Za-z0-9+/=]|\\++[nr/])*+"
_KEY_LINE = re.compile(
    rf"""\s*+(?:- )?[\[({{]*+(?:b?'{_BASE64}'[\s,+]*+|b?"{_BASE64}"[\s,+]*+)*+b?['"]?{_BASE64}['"]?[\s,+\])}}\\]*+"""
)
# A word or a number, as a whole run of base64 (capitalised words joined included); key material is a
# padded run or any other.
_WORD = r"(?>[a-z]++|[A-Z]++(?![a-z])|[0-9+/]++|(?:[A-Z][a-z]++)++)(?![A-Za-z0-9+/=])"
_NO_WORD = rf"(?:[A-Za-z0-9+/]++=++|(?!{_WORD})[A-Za-z0-9+/]++)"
# What may close a quoted, listed or printed piece: blanks, quotes, closing brackets, punctuation and
# escapes written out ("\\n'," in a printed list of lines); and what may open one.
_CLOSERS = r"""(?:[\s'"`,;.:!?)\]}>+]|\\++[nrt]?)*+"""
_OPENERS = r"""(?:b(?=['"]))?['"`(\[{<]*+"""
# A line's last word that is a piece of key material: four characters or more, or padded; and, right
# after a masked line, also a word of eight letters or more with a capital after a small letter.
_PIECE = rf"(?=[A-Za-z0-9+/]{{4}}|[A-Za-z0-9+/]++=){_NO_WORD}"
_LAST_PIECE = re.compile(_OPENERS + _PIECE + _CLOSERS)
_LAST_PIECE_AFTER_MASK = re.compile(rf"{_OPENERS}(?:{_PIECE}|(?=[A-Za-z]*?[a-z][A-Z])[A-Za-z]{{8,}}+){_CLOSERS}")
# An END marker, whole or as far as a write or a wrap left it in its line; and what may follow a key's
# own END marker.
_END_MARKER = re.compile(r"-----END[A-Z0-9 ]*+(?:(-----)|-{0,4}+)")
_CLOSING = re.compile(_CLOSERS)
# What may come before a key's own END line: blanks, quotes, opening brackets, commas, escapes and
# key material; a word ("relay", "missing", "E") makes it a message.
_BEFORE_END = re.compile(rf"""(?:[\s'"`(\[{{<,+=-]|\\++[nrt]?|b(?=['"])|{_NO_WORD})*+""")
# "PRIVATE KEY-----" of a BEGIN line whose "-----BEGIN" a write of another process split.
_KEY_LABEL_END = "PRIVATE KEY-----"


def _key_state(line: str, key: str | None, after_mask: bool) -> tuple[bool, str | None]:
    """Whether ``line`` is part of a key, to be masked, and how a key stands after it.

    ``key`` is None when no key is open; "head" after a PEM key's BEGIN line
    while headers may follow; "value" when the line before named a header
    whose value may come on this line, folded (indented or quoted); "key" in
    its base64. A key opens at its BEGIN line, or at a line holding
    "PRIVATE KEY-----" that no END marker labels (PuTTY's at its first line
    or at "Private-Lines:"), and goes on to its END line (PuTTY's
    "Private-MAC:", which is no part of it and stays where only quotes or
    blanks come before it, and which, named in a message, ends nothing as an
    END marker does not), also where one line ends a key and begins the
    next. An END marker, whole or split by a write or a wrap, ends a key
    only where nothing but closers (see ``_CLOSERS``) follow it and no word
    comes before it (see ``_BEFORE_END``); where a key opens in its line too,
    also a whole one with words after it. One that a message names
    (``expected "-----END RSA PRIVATE KEY-----"``, ``relay -----END …
    missing``) ends nothing, lest the key's later lines show. Within a key,
    its BEGIN, END and header lines and every line of key material are
    masked, and a blank line after a masked one; any other line (the relay's
    own messages) is kept, and ends the headers. A line that holds a whole
    key (a quoted one) is left to masking, whole.
    """
    # "-----" is in every BEGIN and END marker, split or not.
    if (
        line.rfind("-----") >= 0
        or line.rfind("Private-Lines:") >= 0
        or line.rfind("PuTTY-User-Key-File") >= 0
        or (key is not None and line.rfind("Private-MAC:") >= 0)
    ):
        begun = line.rfind("-----BEGIN")
        label = line.rfind(_KEY_LABEL_END)
        if label > begun and not line.startswith("-----END", max(line.rfind("-----", 0, label), 0)):
            begun = label
        opened = max(begun, line.rfind("Private-Lines:"), line.rfind("PuTTY-User-Key-File"))
        closed = line.rfind("-----END")
        if closed >= 0:
            marker = _END_MARKER.match(line, closed)
            at_end = _CLOSING.fullmatch(line, marker.end()) is not None
            if opened >= 0:  # a whole key in the line, unless a message names both markers
                ends = at_end or marker[1] is not None
            else:
                ends = at_end and _BEFORE_END.fullmatch(line, 0, closed) is not None
            if not ends:
                closed = -1  # an END marker named in a message ends nothing
        mac = line.rfind("Private-MAC:")
        if mac >= 0 and _BEFORE_END.fullmatch(line, 0, mac) is None:
            mac = -1  # named in a message, as an END marker may be: ends nothing
        closed = max(closed, mac)
        if opened > closed:
            return True, "head" if opened == begun else "key"
        if key is not None and closed >= 0:
            return line.startswith("-----END", closed) or bool(line[:closed].strip(" \t'\"b[(,-")), None
    if key is None:
        return False, None  # most lines: no key before them, none in them
    if key != "key" and _KEY_HEADER.match(line):
        return True, "value"
    last_piece = _LAST_PIECE_AFTER_MASK if after_mask else _LAST_PIECE
    if _KEY_RUN.search(line) or (
        line.strip() and (_last_piece(line, last_piece) or (after_mask and _KEY_LINE.fullmatch(line)))
    ):
        return True, "key"
    if key == "value" and line.startswith((" ", "\t", "'", '"')):
        return True, "head"
    return (after_mask, key) if not line.strip() else (False, "key")


def _last_piece(line: str, shape: re.Pattern[str]) -> bool:
    """Whether the last word of ``line``, alone or behind a prefix (``relay``, a timestamp), has ``shape``.

    That of a piece of key material (see ``_LAST_PIECE``): a key's pieces mix digits, capitals and small
    letters, words seldom do. The word may be quoted, in brackets or followed by punctuation or a
    written-out escape.
    """
    line = line.rstrip()
    start = max(line.rfind(" "), line.rfind("\t")) + 1
    return shape.fullmatch(line, start) is not None


class _LetGo(NamedTuple):
    """Why a relay is stopped and the interpreter settled, as the warning of a failed stop or settle says it."""

    relay: str  # the relay stopped, "{}" standing for its execution id
    settle: str  # why the interpreter is settled


_TIMED_OUT = _LetGo("the relay of timed-out execution {}", "after a timeout")
_CANCELLED = _LetGo("the relay of cancelled execution {}", "after a cancelled call")
_CUT = _LetGo("the relay of execution {}, whose stream failed", "after a call whose stream failed")
_FAILED = _LetGo("the relay of execution {}, whose call failed", "after a call that failed")
_LOST = _LetGo("the lost relay {}", "after a lost relay")
_MALFORMED = _LetGo("the relay of execution {}", "after a malformed report")
_ORPHAN = _LetGo("the relay of execution {}", "to free it of a cell that no call holds")


class OpenSandboxLite(OpenSandbox):
    """An OpenSandbox sandbox that runs Python through an in-sandbox IPython daemon.

    Obtain instances only through ``await OpenSandboxLite.create(...)``, which
    takes exactly the arguments of ``OpenSandbox.create``. Interpreter state
    persists across ``execute_code`` calls; a call made while another one runs
    comes back as a "session is busy" error result.
    """

    _BACKEND = "opensandbox-lite"
    # The background settle of a cell that a call let go of (see ``_abandon``).
    _settling: "asyncio.Task[bool] | None" = None
    # Why the last settle failed (None once one succeeds), and how many calls
    # of this instance are running the relay right now.
    _settle_failure: str | None = None
    _active = 0
    _closing = False  # while ``terminate`` runs

    def __init__(self, language: str = Language.PYTHON, additional_packages: list[str] | None = None) -> None:
        """Record the language and packages; use ``create`` to get a live sandbox."""
        super().__init__(language=language, additional_packages=additional_packages)
        # Stops of lost relays that no call waits for (see ``_abandon``); ``terminate`` ends them.
        self._stops: set[asyncio.Task[bool]] = set()

    @classmethod
    async def create(cls, *args: Any, **kwargs: Any) -> Self:
        """Start a Lite sandbox; the arguments are those of ``OpenSandbox.create``.

        Raises:
            TypeError: When the arguments do not fit ``OpenSandbox.create``.
            ValueError: For a language other than Python, before anything remote happens.
            SandboxStartError: As ``OpenSandbox.create``; stage "interpreter_init"
                when the programs cannot be written or the daemon not launched.
        """
        bound = inspect.signature(OpenSandbox.create).bind(*args, **kwargs)
        language = bound.arguments.get("language")
        if language is not None and language.lower() != Language.PYTHON:
            raise ValueError(LiteErrorMessage.UNSUPPORTED_LANGUAGE.format(language))
        return await super().create(*args, **kwargs)

    @staticmethod
    def _startup_kwargs(entrypoint: list[str] | None, kwargs: dict[str, Any]) -> dict[str, Any]:
        """The parent's start command and environment, with a no-op start command by default."""
        return OpenSandbox._startup_kwargs(entrypoint or LiteConfig.NOOP_ENTRYPOINT, kwargs)

    @classmethod
    async def _start_interpreter(cls, sandbox: Sandbox) -> None:
        """Write the daemon and relay programs and launch the daemon; does not wait for it.

        Raises:
            SandboxStartError: Stage "interpreter_init" when the write or the
                launch fails (the SDK's exception is the cause) or the launch
                exits non-zero.
        """
        try:
            await sandbox.files.write_files([WriteEntry(path=_DAEMON_PATH, data=DAEMON_SOURCE)])
            launch = await asyncio.wait_for(sandbox.commands.run(cls._relay("launch")), _RELAY_BOUND)
        except Exception as exc:
            raise SandboxStartError(
                ErrorMessage.SANDBOX_START_FAILED.format(exc),
                stage=Stage.INTERPRETER_INIT,
                classifier=cls._is_transient_create_error,
            ) from exc
        if launch.exit_code != 0:
            detail = _joined_lines(launch.logs.stderr) or launch.exit_code
            raise SandboxStartError(ErrorMessage.SANDBOX_START_FAILED.format(detail), stage=Stage.INTERPRETER_INIT)

    @staticmethod
    def _relay(*args: str) -> str:
        """The shell command line that runs the relay client with a mode and its arguments.

        The relay travels on the command line, never as a file in the sandbox:
        code of an earlier cell could replace such a file, and a replaced relay
        could report anything.
        """
        words = ("python3", "-I", "-S", "-u", "-c", CLIENT_SOURCE, _PREFIX, *args)
        return " ".join(shlex.quote(word) for word in words)

    # ------------------------------------------------------------ code execution

    @traced(SpanName.EXECUTE_CODE)
    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        on_stdout: Callable[[str], None] | None = None,
        on_stderr: Callable[[str], None] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run ``code`` in the sandbox's interpreter daemon and report the outcome as a result.

        Args:
            code: The code to run; interpreter state persists across calls.
            timeout: Seconds; ``None`` is 30, zero or less no limit. At the
                limit the cell is interrupted (and the interpreter restarted
                when it will not stop) and the output so far comes back with
                status "timeout". A settle still running for a cell that an
                earlier call let go of is waited for within this budget; when
                it outlasts the budget the call is a "session is busy" error.
                A session found busy while no call of this instance runs a
                cell is settled once within this budget, then the code runs;
                if that settle fails, the call is a "session is busy" error
                saying why. A cell that a relay still waits on (another
                client's call on the same sandbox) is not settled: the call is
                "session is busy". When the command service stops the relay at the
                limit while it still waits for the interpreter, the result is
                an "error" saying that the code did not run; when the relay's
                output stalls past the limit plus a grace of 5 seconds (the
                command service holding its start, say), whether the code ran
                cannot be told, and the result is "timeout". A relay lost
                before it reported the outcome (killed, its stream ended, the
                sandbox terminated) is "unknown", not retry safe, with the
                output so far, even before it said that the interpreter took
                the code: only a relay that exited by itself with a status of
                its own (1 to 127) makes the result an "error" saying that the
                code did not run.
            files: Attachments uploaded (in one request) before the run.
            upload_dir: Where the attachments go; ``None`` is "/tmp/files".
            on_stdout: Called with each printed stdout line, less its line feed.
                One that raises is not called again; the code runs to the end
                and the result is an "error" naming the exception.
            on_stderr: The same for stderr.
            **kwargs: Accepted and ignored.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        check_code(code)
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox:
            raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        start_time = time.time()
        callbacks = [GuardedCallback.wrap("on_stdout", on_stdout), GuardedCallback.wrap("on_stderr", on_stderr)]
        # A cell an earlier call let go of may still hold the interpreter.
        limit = await self._wait_for_settle(effective_timeout)
        if limit is not None and limit <= 0:
            return self._error_result(code, start_time, LiteErrorMessage.SESSION_BUSY)
        began = time.monotonic()
        result, busy = await self._run_once(code, start_time, effective_timeout, limit, callbacks, files, upload_dir)
        if busy is None or self._active or self._pending_settle() is not None:
            return result
        # Busy, yet no call of this instance runs a cell or settles one: the cell
        # holding the interpreter is an orphan (one that ignored its stop, whose
        # settle failed). It is settled once, within this call's budget, and the
        # code, which has not run, goes once more; what the busy relay wrote of
        # its own leads what the result of that run gives.
        self._abandon(None, settle=True, orphan=True, why=_ORPHAN)
        left = await self._wait_for_settle(None if limit is None else limit - (time.monotonic() - began))
        if left is not None and left <= 0:
            return result
        if self._settle_failure is not None:
            stuck = self._error_result(code, start_time, LiteErrorMessage.SESSION_STUCK.format(self._settle_failure))
            return _with_relay_words(stuck, busy)
        return (await self._run_once(code, start_time, effective_timeout, left, callbacks, own=busy))[0]

    async def _run_once(
        self,
        code: str,
        start_time: float,
        effective_timeout: float | None,
        limit: float | None,
        callbacks: list[GuardedCallback | None],
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        *,
        own: _RelayWords | None = None,
    ) -> tuple[ExecutionResult, _RelayWords | None]:
        """Upload ``files``, run the relay once on ``code`` within ``limit``.

        Returns the result and, when the daemon said it was busy, what the
        relay wrote of its own (None otherwise). What the relay writes of its
        own goes on ``own`` when given (the words of an earlier run).

        Only a call whose cell the daemon took (the relay says so as soon as it
        does) settles it when letting go; any other call stops its own relay and
        leaves the interpreter, and the cell of whichever call holds it, alone.
        While another call of this instance runs its relay, or a settle is
        pending past ``limit``, no relay is run: the result is "session is busy".
        """
        nonce = uuid.uuid4().hex
        marker = _REPORT_MARK + nonce + ":"
        reports: list[Any] = []
        execution_id: str | None = None
        started = False

        async def _capture_init(message: Any) -> None:
            nonlocal execution_id
            execution_id = getattr(message, "id", None)

        streamed = StreamedOutput()
        own = _RelayWords() if own is None else own

        async def _on_stderr(message: Any) -> None:
            nonlocal started
            text = getattr(message, "text", None) or ""
            if text.startswith(marker):
                note = text[len(marker) :]
                if note.rstrip("\n") == _STARTED:
                    started = True
                    return
                # Whatever the line holds, it must not stop the stream: the
                # report is checked once the relay has ended.
                try:
                    reports.append(json.loads(note))
                except ValueError:
                    reports.append(_UNREADABLE)
                return
            line, relayed = _decode(text)
            if relayed:
                streamed.relay("stderr", line, callbacks[1])
            else:
                streamed.seen = True  # the relay was heard from, all the same
                own.add(text)

        handlers = ExecutionHandlers(
            on_init=_capture_init,
            on_stdout=self._relayed_line_handler(streamed, "stdout", callbacks[0]),
            on_stderr=_on_stderr,
        )
        bound = asyncio.timeout(None)
        relay_sent = False
        try:
            if files:
                await self._upload_files(files, upload_dir)
            # A settle begun meanwhile (another call let go of its cell) owns the
            # interpreter: a relay sent now could take it in the settle's place,
            # and the settle would kill this call's cell for not stopping.
            limit = await self._wait_for_settle(limit)
            if not self._sandbox or self._closing:  # terminated meanwhile
                raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
            # No relay while a settle outlasts the limit, nor while another call
            # of this instance runs its relay, whether or not its note that the
            # daemon took its cell has come yet (the cell's output may come
            # first): the daemon would only say so, and a daemon kept out of
            # reach by that cell (it wedged the interpreter, or removed its
            # socket) must not be replaced, cell and all.
            if (limit is not None and limit <= 0) or self._active:
                busy = self._error_result(code, start_time, LiteErrorMessage.SESSION_BUSY)
                return _with_relay_words(busy, own), None
            ran_from = time.monotonic()
            bound = asyncio.timeout(None if limit is None else limit + LiteConfig.STREAM_GRACE_SECONDS)
            relay_sent = True
            self._active += 1
            try:
                async with bound:
                    execution = await self._run_cell(code, nonce, limit, handlers)
            finally:
                self._active -= 1
        # Only this call's own deadline is a time-out; a TimeoutError from
        # anywhere else is reported by the arms below as the failure it is.
        except TimeoutError if bound.expired() else ():
            timed_out = await self._timeout_result(
                code, start_time, effective_timeout, streamed=streamed, execution_id=execution_id, settle=started
            )
            return _with_relay_words(timed_out, own), None
        except asyncio.CancelledError:
            # The caller gave up (cancelled, or a deadline of its own): the
            # cell may run on, so it is stopped and settled in the background.
            if relay_sent:
                self._abandon(execution_id, settle=started, why=_CANCELLED)
            raise
        except (SandboxConnectionException, SandboxTimeoutException) as exc:
            retry_safe = not started and streamed.retry_safe(exc, _never_written)
            if relay_sent and not retry_safe:
                self._abandon(execution_id, settle=started, why=_CUT)
            failure = self._transport_failure_result(
                exc,
                code,
                start_time,
                stdout=streamed.render("stdout"),
                stderr=streamed.render("stderr"),
                retry_safe=retry_safe,
            )
            return _with_relay_words(failure, own), None
        except Exception as exc:
            if execution_id is not None:
                self._abandon(execution_id, settle=started, why=_FAILED)
            error = self._error_result(
                code, start_time, exc, stdout=streamed.render("stdout"), stderr=streamed.render("stderr")
            )
            return _with_relay_words(error, own), None
        if not reports:
            # No report: the relay crashed, or the command service stopped it at the limit.
            if limit is not None and time.monotonic() - ran_from >= limit:
                if not started:
                    # Stopped while it waited for the interpreter: the code never ran.
                    error = LiteErrorMessage.NOT_STARTED.format(effective_timeout)
                    return _with_relay_words(self._error_result(code, start_time, error), own), None
                timed_out = await self._timeout_result(code, start_time, effective_timeout, streamed=streamed)
                return _with_relay_words(timed_out, own), None
            exit_code = execution.exit_code
            if not started and isinstance(exit_code, int) and 0 < exit_code < 128:
                # The relay exited by itself, with a status of its own (its traceback,
                # a shell without python3), before it handed the cell over.
                error = LiteErrorMessage.RELAY_FAILED.format(exit_code, own.text())
                failed = self._error_result(
                    code, start_time, error, stdout=streamed.render("stdout"), stderr=streamed.render("stderr")
                )
                return with_callback_failures(failed, callbacks), None
            # A stream that ended without the command's end may leave its relay
            # running (the command service need not stop a command whose stream is
            # gone): it is stopped, as any call letting go of its cell stops its
            # own, so the daemon interrupts the cell instead of waiting on it.
            still_running = execution_id if exit_code is None else None
            # Lost mid-cell (killed, or its stream ended early), the code ran at least
            # in part, and the cell, left to the daemon alone, is settled. Lost before
            # the relay could say that the daemon took the cell (killed by a signal,
            # its stream ended without the command's end, an exit without a report),
            # the daemon may have the cell all the same. Either way the code may not
            # simply be sent again. Only the first is settled here: in the second the
            # daemon may have been running another call's cell instead, and one that
            # no relay waits on is settled by the next call that finds the session busy.
            stdout, stderr = streamed.render("stdout"), streamed.render("stderr")
            if started or still_running is not None:
                self._abandon(still_running, settle=started, held=started, why=_LOST)
            if started:
                when = "after the interpreter took the code, before it reported the outcome"
            else:
                when = "before it reported the outcome; the code may have run"
            lost = _StreamEndedEarly(f"The relay's stream ended (exit code {exit_code}) {when}")
            # Not marked by a callback that raised: that note says the code ran to the end.
            failure = self._transport_failure_result(
                lost, code, start_time, retry_safe=False, stdout=stdout, stderr=stderr
            )
            return _with_relay_words(failure, own), None
        report = reports[-1]
        try:
            result = self._report_result(code, start_time, execution, report, started=started)
        except Exception as exc:
            result = self._error_result(
                code, start_time, exc, stdout=streamed.render("stdout"), stderr=streamed.render("stderr")
            )
        busy = own if isinstance(report, dict) and report.get("busy") is True else None
        # A callback that raised makes a success an error: the words go by the status it ends with.
        return _with_relay_words(with_callback_failures(result, callbacks), own), busy

    @staticmethod
    def _relayed_line_handler(
        streamed: StreamedOutput, stream: str, forward: Callable[[str], Any] | None
    ) -> Callable[[Any], Any]:
        """The SDK handler for one relayed stream: decode each line, record it, then forward it.

        The line is recorded before the caller's callback runs, so a callback
        that raises still leaves it in the record.
        """

        async def _handler(message: Any) -> None:
            streamed.relay(stream, _printed(getattr(message, "text", None) or ""), forward)

        return _handler

    async def _run_cell(
        self, code: str, nonce: str, effective_timeout: float | None, handlers: ExecutionHandlers
    ) -> Execution:
        """Run the relay's "run" on the cell under the command service's limit.

        A small cell rides on the relay's command line and the relay writes its
        file, which saves a request per call; a larger one is written first.
        """
        assert self._sandbox is not None
        cell_path = _PREFIX + "_cell_" + nonce + ".py"
        command = _inline_run_command(cell_path, nonce, code)
        if command is None:
            await self._sandbox.files.write_files([WriteEntry(path=cell_path, data=code)])
            command = self._relay("run", cell_path, nonce)
        opts = None
        if effective_timeout is not None:
            opts = RunCommandOpts(timeout=max(timedelta(seconds=effective_timeout), _MIN_COMMAND_LIMIT))
        return await self._sandbox.commands.run(command, opts=opts, handlers=handlers)

    # ------------------------------------------------------------ report mapping

    def _report_result(
        self,
        code: str,
        start_time: float,
        execution: Execution,
        report: dict[str, Any],
        *,
        started: bool = True,
    ) -> ExecutionResult:
        """Map the relay's report for one cell, and the output it relayed, to a result.

        A report of the wrong shape is an "error" result naming what is wrong;
        whatever sent it, the exchange went wrong and the cell may still hold
        the interpreter, so (when the daemon took this call's cell) it is
        settled in the background.
        """
        stdout = "".join(_printed(message.text or "") for message in execution.logs.stdout or ())
        # Only the lines the relay relayed: its report, and what it wrote of its own, are no output.
        relayed = (_decode(message.text or "") for message in execution.logs.stderr or ())
        stderr = "\n".join(line.removesuffix("\n") for line, was_relayed in relayed if was_relayed)
        problem = _report_problem(report)
        if problem is not None:
            if started:
                self._abandon(None, settle=True, why=_MALFORMED)
            error = _MALFORMED_REPORT.format(problem)
            return self._error_result(code, start_time, error, stdout=stdout, stderr=stderr)
        if report.get("busy"):
            return self._error_result(code, start_time, LiteErrorMessage.SESSION_BUSY)
        daemon = report.get("daemon")
        if daemon == "died":
            return self._error_result(code, start_time, LiteErrorMessage.INTERPRETER_DIED, stdout=stdout, stderr=stderr)
        if daemon == "failed":
            return self._error_result(
                code, start_time, LiteErrorMessage.INTERPRETER_START_FAILED.format(redact(report["log"]))
            )
        if daemon == "error":
            return self._error_result(
                code, start_time, LiteErrorMessage.INTERPRETER_FAILED.format(redact(report["log"]))
            )
        if report.get("restarted"):
            logger.warning(
                f"The OpenSandboxLite interpreter in sandbox {self.sandbox_id} had exited and was "
                "restarted before this call; state from earlier calls is gone."
            )
        if report.get("result"):
            if stdout and not stdout.endswith("\n"):
                stdout += "\n"
            stdout += report["result"]
        entry = report.get("error")
        errors = [f"{entry['name']}: {entry['value']}"] if entry is not None else []
        if report.get("lost"):
            # Output the daemon could not pass on is not a clean success.
            lost = " and ".join(_STREAM_NAMES[kind] for kind in report["lost"])
            errors.append(LiteErrorMessage.OUTPUT_LOST.format(lost, LiteConfig.STREAM_GRACE_SECONDS))
        status = ExecutionStatus.ERROR if errors else ExecutionStatus.SUCCESS
        return finish_result(status, code, start_time, stdout=stdout, stderr=stderr, error=" ".join(errors))

    def _error_result(
        self, code: str, start_time: float, error: str | BaseException, *, stdout: str = "", stderr: str = ""
    ) -> ExecutionResult:
        """An "error" result (an exception is rendered masked, and named by its type when it says nothing)."""
        if isinstance(error, BaseException):
            error = failure_reason(error)
        return finish_result(ExecutionStatus.ERROR, code, start_time, stdout=stdout, stderr=stderr, error=error)

    # -------------------------------------------------- timeout, interrupt, settle

    async def _timeout_result(
        self,
        code: str,
        start_time: float,
        effective_timeout: float | None,
        *,
        streamed: StreamedOutput,
        execution_id: str | None = None,
        settle: bool = True,
    ) -> ExecutionResult:
        """The "timeout" result, built once the interpreter has let go of the cell.

        ``execution_id`` names a relay still running, to be stopped first;
        ``settle`` is whether this call's cell holds the interpreter. The stop
        and settle run as a task of their own, so a caller cancelled meanwhile
        still leaves the interpreter settled.
        """
        set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.TIMEOUT.value})
        error = ErrorMessage.EXECUTION_TIMEOUT.format(effective_timeout)
        task = self._abandon(execution_id, settle=settle, why=_TIMED_OUT)
        await asyncio.wait({task})  # unlike awaiting it, a cancelled caller leaves the task running
        if not task.cancelled() and task.exception() is None and task.result():
            error += LiteErrorMessage.STATE_LOST_AFTER_TIMEOUT
        return finish_result(
            ExecutionStatus.TIMEOUT,
            code,
            start_time,
            stdout=streamed.render("stdout"),
            stderr=streamed.render("stderr"),
            error=error,
        )

    def _abandon(
        self,
        execution_id: str | None,
        *,
        settle: bool,
        why: _LetGo,
        orphan: bool = False,
        held: bool = True,
    ) -> "asyncio.Task[bool]":
        """Stop the relay ``execution_id`` (if any) and, when ``settle``, settle the interpreter, in the background.

        Every way a call can let go of a running cell ends here, so a cell that
        ignores the interrupt is killed (and the interpreter restarted) however
        the call ended. A settle kills whatever holds the interpreter past the
        grace, so ``settle`` is asked for only by the call whose cell the daemon
        took, and once by a call that found the session busy while no call of
        this instance held a cell or settled one (an orphan: ``orphan``, whose
        settle leaves alone a cell that a relay of any client still waits on,
        as another client's call may). The task answers
        whether the interpreter was restarted; it is bounded (the stop and the
        settle each are), follows any settle still pending, and the next
        ``execute_code`` waits for it, so that a relay let go of is stopped
        before the next one is sent. Not ``held`` (a stop alone, of a relay
        whose stream ended before it said that the daemon took its cell), it
        holds no later call: a cell that relay still hands over meets the
        daemon's own "busy" and the rules for a cell no relay waits on, or runs
        after the later call's. Once the sandbox is terminated (or while
        ``terminate`` runs) the task sends nothing and answers False;
        ``terminate`` cancels it. ``why`` says, in the warning of a failed stop
        or settle, what was stopped or settled and why.
        """
        sandbox, previous = self._sandbox, self._pending_settle() if held else None

        def gone() -> bool:
            # Terminated (or terminating) since the call let go: nothing is left to stop or settle.
            return sandbox is None or self._closing or self._sandbox is not sandbox

        async def _stop_and_settle() -> bool:
            if previous is not None:
                await asyncio.wait({previous})
            if gone():
                return False
            await self._interrupt_kernel(execution_id, why.relay)
            return settle and not gone() and await self._settle(why.settle, orphan=orphan)

        task = asyncio.get_running_loop().create_task(_stop_and_settle())
        if held:
            self._settling = task
        else:
            self._stops.add(task)
            task.add_done_callback(self._stops.discard)
        return task

    def _pending_settle(self) -> "asyncio.Task[bool] | None":
        """The unfinished settle task of this event loop, if any."""
        task = self._settling
        if task is None or task.done() or task.get_loop() is not asyncio.get_running_loop():
            return None
        return task

    async def _wait_for_settle(self, budget: float | None) -> float | None:
        """Wait (within ``budget`` seconds) for a pending settle; the budget left, ``None`` for no limit.

        Zero or less left means the settle is still running: the interpreter
        is busy with a cell that an earlier call let go of.
        """
        task = self._pending_settle()
        if task is None:
            return budget
        waited_from = time.monotonic()
        while task is not None:  # another call may let go of its cell while this one waits
            left = None if budget is None else budget - (time.monotonic() - waited_from)
            await asyncio.wait({task}, timeout=left)
            if not task.done():
                return 0.0
            task = self._pending_settle()
        return None if budget is None else budget - (time.monotonic() - waited_from)

    async def _settle(self, why: str, *, orphan: bool = False) -> bool:
        """Wait for the interpreter to finish an interrupted cell; True when it had to be restarted.

        ``why`` says why it is settled, in the warning of a failed settle.

        With ``orphan``, a cell that outlasts the grace is killed only when no
        relay of the sandbox still runs: another client's call may hold it.

        Never raises an ``Exception``: a failed settle is a warning and False,
        its reason kept in ``_settle_failure`` until a settle succeeds.
        """
        grace = LiteConfig.INTERRUPT_GRACE_SECONDS
        try:
            assert self._sandbox is not None
            opts = RunCommandOpts(timeout=timedelta(seconds=grace + LiteConfig.STREAM_GRACE_SECONDS))
            command = self._relay("settle", str(grace), *(["orphan"] if orphan else []))
            execution = await asyncio.wait_for(self._sandbox.commands.run(command, opts=opts), _RELAY_BOUND)
            restarted = bool(json.loads(_joined_lines(execution.logs.stdout)).get("restarted"))
        except Exception as exc:
            self._settle_failure = failure_reason(exc)
            logger.warning(f"Failed to settle the OpenSandboxLite interpreter {why}: {self._settle_failure}")
            return False
        self._settle_failure = None
        return restarted

    async def _interrupt_kernel(self, execution_id: str | None, relay: str = _TIMED_OUT.relay) -> None:
        """Stop the relay command of a call that let go of it; the daemon then interrupts the cell.

        Best effort and bounded; never raises an ``Exception``. ``relay`` names
        the relay ("{}" for ``execution_id``) in the warning logged when the stop
        fails; called as the parent's hook is, with the id alone, it is a relay
        stopped at its time limit.
        """
        if not execution_id or not self._sandbox:
            return
        try:
            await asyncio.wait_for(self._sandbox.commands.interrupt(execution_id), _INTERRUPT_TIMEOUT)
        except Exception as exc:
            logger.warning(f"Failed to stop {relay.format(execution_id)}: {failure_reason(exc)}")

    # ------------------------------------------------------------------ teardown

    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Kill the sandbox as ``OpenSandbox.terminate`` does, after ending a settle or a stop still pending.

        They are cancelled and waited for within ``timeout``, so nothing
        reaches the sandbox once it is killed; the kill gets what is left of
        ``timeout`` (all of it again, should they have used it up). Without a
        sandbox it returns at once, whatever ``timeout`` is.
        """
        if not self._sandbox:  # the parent's span, and nothing else
            await super().terminate(timeout=timeout)
            return
        timeout = check_teardown_cap(timeout)
        # A call letting go of its cell while the sandbox goes starts no settle either.
        self._closing = True
        try:
            loop = asyncio.get_running_loop()
            tasks = {task for task in self._stops if task.get_loop() is loop}
            if (task := self._pending_settle()) is not None:
                tasks.add(task)
            if tasks:
                waited_from = time.monotonic()
                for task in tasks:
                    task.cancel()
                await asyncio.wait(tasks, timeout=timeout)
                left = timeout - (time.monotonic() - waited_from)
                timeout = left if left > 0 else timeout
            await super().terminate(timeout=timeout)
        finally:
            self._closing = False


def _with_relay_words(result: ExecutionResult, own: _RelayWords) -> ExecutionResult:
    """``result`` with what the relay wrote of its own at the end of its error, if it wrote anything.

    A success has no failure for them to explain: they are logged instead.
    """
    words = own.text()
    if not words:
        return result
    if result.status is ExecutionStatus.SUCCESS:
        logger.warning(f"The OpenSandboxLite relay wrote, besides the output of the code: {words}")
        return result
    error = result.error if result.error.endswith(".") else result.error + "."
    error += " The relay wrote: " + words
    return result.model_copy(update={"error": error, "text": error})


def _decode(text: str) -> tuple[str, bool]:
    """One delivered line with the relay's JSON encoding undone, and whether it was one the relay relayed.

    Trailing line feeds of the delivered line are removed first; a line the relay did
    not encode (its own words, a report) comes back as delivered. A relayed line cut
    short (its relay killed while writing it) is still the cell's output, decoded as
    far as it goes: it is the last the relay wrote, so no line feed follows it (a
    line that goes on to its line feed was written whole, or had the relay's own
    words written after its cut, and is no relayed line).
    """
    stripped = text.rstrip("\n")
    if not stripped.startswith('"'):
        return stripped, False
    try:
        return json.loads(stripped), True
    except ValueError:
        cut = None if len(stripped) < len(text) else _CUT_RELAYED.fullmatch(stripped)
    if cut is None:
        return stripped, False
    line = json.loads('"' + cut[1] + '"')
    if "\ud800" <= line[-1:] <= "\udbff":  # a character written as two escapes, cut between them
        line = line[:-1]
    return line, True


def _printed(text: str) -> str:
    """One delivered line as the cell printed it.

    A relayed line carries its own line feed (or none, for text printed without
    one); a line the relay did not encode, such as its own traceback, ends with one.
    """
    line, relayed = _decode(text)
    return line if relayed else line + "\n"


def _inline_run_command(cell_path: str, nonce: str, code: str) -> str | None:
    """The relay's "run" command line carrying ``code`` itself, or ``None`` when the code cannot ride on it.

    It cannot when it holds a NUL or is not valid UTF-8, or when the line
    would outgrow ``_INLINE_COMMAND_BYTES`` (a longer cell is not even quoted).
    """
    if len(code) > _INLINE_COMMAND_BYTES or "\x00" in code:
        return None
    command = OpenSandboxLite._relay("run", cell_path, nonce, code)
    try:
        size = len(command.encode("utf-8"))
    except UnicodeEncodeError:
        return None
    return command if size <= _INLINE_COMMAND_BYTES else None


def _report_problem(report: Any) -> str | None:
    """What is wrong with a report payload, or ``None`` when it has the relay's shape.

    Keys this module does not know are allowed; every key it reads must have
    the type it is read as.
    """
    if report is _UNREADABLE:
        return "not valid JSON"
    if not isinstance(report, dict):
        return "not a JSON object"
    for key, kind in _REPORT_TYPES.items():
        if key in report and not isinstance(report[key], kind):
            return f'"{key}" is not a {"boolean" if kind is bool else "string"}'
    daemon = report.get("daemon")
    if daemon is not None and daemon not in _DAEMON_STATES:
        return '"daemon" names no known state'
    if daemon in ("failed", "error") and "log" not in report:
        return '"log" is missing'
    entry = report.get("error")
    if entry is not None and not (
        isinstance(entry, dict) and isinstance(entry.get("name"), str) and isinstance(entry.get("value"), str)
    ):
        return '"error" is not an object with a string "name" and "value"'
    lost = report.get("lost")
    if lost is not None and not (
        isinstance(lost, list) and all(isinstance(kind, str) and kind in _STREAM_NAMES for kind in lost)
    ):
        return '"lost" is not a list of stream names'
    return None
