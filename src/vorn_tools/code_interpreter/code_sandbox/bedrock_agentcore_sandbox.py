"""Sandbox backend on the AWS Bedrock AgentCore code interpreter.

``BedrockAgentCoreSandbox(...)`` is constructed directly and contacts nothing;
the first ``execute_code`` or ``execute_command`` opens an aioboto3 client and
starts an AgentCore code-interpreter session (installing ``additional_packages``
into it), and ``terminate`` stops the session so that the next execution starts
a fresh one. Code runs through the service's "executeCode" tool, whose answer
is an AWS event stream; shell commands are emulated by a Python program run the
same way; files travel through the "writeFiles" and "readFiles" tools.
Requires the extra ``vorn-tools[bedrock]``.
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import inspect
import socket
import time
from collections.abc import Callable, Mapping
from http import HTTPStatus
from typing import Any

import aioboto3
import aiohttp
from botocore.config import Config
from botocore.exceptions import ClientError, ConnectTimeoutError, NoCredentialsError, ParamValidationError
from botocore.exceptions import ConnectionError as BotoConnectionError
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_INSTALL_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DEFAULT_SANDBOX_TIMEOUT,
    Language,
)
from vorn_tools.code_interpreter.code_sandbox.constants import BedrockAgentCoreSandboxContentType as ContentType
from vorn_tools.code_interpreter.code_sandbox.constants import BedrockAgentCoreSandboxErrorMessage as ErrorMessage
from vorn_tools.code_interpreter.code_sandbox.constants import BedrockAgentCoreSandboxField as Field
from vorn_tools.code_interpreter.code_sandbox.constants import BedrockAgentCoreSandboxOperation as Operation
from vorn_tools.code_interpreter.code_sandbox.constants import BedrockClientConfig as ClientConfig
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import (
    check_code,
    check_teardown_cap,
    check_upload_filename,
    finish_result,
    resolve_sandbox_timeout,
    resolve_timeout,
)
from vorn_tools.code_interpreter.errors import (
    SandboxExecutionError,
    SandboxNotInitializedError,
    SandboxStartError,
    Stage,
)
from vorn_tools.code_interpreter.observability import SpanAttr, SpanName, set_current_span_attributes, traced
from vorn_tools.code_interpreter.redaction import get_redacting_logger, register_secret

logger = get_redacting_logger(__name__)

# The botocore family whose members *may* prove a request never left the
# client. Under aiobotocore it is not proof on its own: a connection reset
# after the request was delivered surfaces as EndpointConnectionError too, so
# `_never_sent` also demands a connect-phase failure beneath it.
_NEVER_WRITTEN = (BotoConnectionError,)
# aiohttp failures that happen before a single byte of the request is written.
_CONNECT_PHASE = (aiohttp.ClientConnectorError, aiohttp.ClientHttpProxyError, socket.gaierror)
# Raised by botocore before anything is sent: bad parameters, no credentials to sign with.
_REFUSED_BY_CLIENT = (ParamValidationError, NoCredentialsError)

# The SDK's read timeout must outlast the longest run: a run cannot outlive
# its session, and the package install has a budget of its own.
_READ_TIMEOUT_MARGIN = 60
_STREAM_ENDED_EARLY = "The {} stream ended before its result arrived"
_TERMINATED_WHILE_STARTING = "The sandbox was terminated while its session was starting"
_TERMINATED_BEFORE_SENT = "The sandbox was terminated before the request was sent"
_TERMINATED_BEFORE_ANSWER = "The sandbox was terminated before the answer arrived"
_START_OPERATION = "StartCodeInterpreterSession"
_ERROR_MARKERS = ("Error", "Exception")
_TRACEBACK_HEADER = "Traceback (most recent call last):"
_BACKEND_ATTR = {SpanAttr.BACKEND: "bedrock"}


def _never_sent(error: BaseException) -> bool:
    """Whether a failure of a service call proves the request never reached the service.

    True for botocore's parameter validation and missing credentials (raised
    before sending), for a connect timeout, and for a member of botocore's
    connection-error family whose underlying aiohttp failure is a
    connect-phase one (refused, DNS, proxy). A reset or a closed connection
    after the request was written proves nothing.
    """
    if isinstance(error, _REFUSED_BY_CLIENT + (ConnectTimeoutError,)):
        return True
    if not isinstance(error, _NEVER_WRITTEN):
        return False
    underlying = getattr(error, "kwargs", {}).get("error")
    return isinstance(underlying, _CONNECT_PHASE)


def _error_line(stderr: str) -> str:
    """The line of a failed run's stderr that names its error, or "".

    The last line holding "Error" or "Exception" wins; failing that, the last
    line of a Python traceback (which names exceptions such as ``SystemExit``
    that carry neither word).
    """
    lines = stderr.strip().split("\n")
    for line in reversed(lines):
        if any(marker in line for marker in _ERROR_MARKERS):
            return line.strip()
    if _TRACEBACK_HEADER in stderr:
        return lines[-1].strip()
    return ""


class _ExecutionDrain:
    """What an "executeCode" event stream has delivered so far.

    The last result carrying structured content supplies stdout and stderr
    (outputs of several events are not joined); a result flagged as an error
    always leaves an error text. ``completed`` turns true with the first
    result: a stream that ends before that is incomplete, not a clean run.
    """

    __slots__ = ("stdout", "stderr", "error", "completed")

    def __init__(self) -> None:
        self.stdout = ""
        self.stderr = ""
        self.error = ""
        self.completed = False

    def feed(self, event: dict[str, Any]) -> None:
        """Take in one event.

        Raises:
            _MalformedAnswer: When the event, its result, the structured
                content or an output in it has the wrong type.
        """
        result = _mapping_or_none(_mapping_or_none(event, "event"), "result", Field.RESULT)
        if not result:
            return
        self.completed = True
        structured = _mapping_or_none(result, Field.STRUCTURED_CONTENT, Field.STRUCTURED_CONTENT)
        if structured:
            self.stdout = _text(structured, Field.STDOUT)
            self.stderr = _text(structured, Field.STDERR)
        if not result.get(Field.IS_ERROR):
            return
        line = _error_line(self.stderr) if structured else ""
        if line:
            self.error = line
        elif not self.error:
            self.error = ErrorMessage.EXECUTION_FAILED


class _MalformedAnswer(ValueError):
    """An answer of the service whose shape is not the one its model describes."""


def _malformed(operation: str, what: str, value: Any, expected: str) -> _MalformedAnswer:
    return _MalformedAnswer(f"{operation} answer: {what} is a {type(value).__name__}, not {expected}")


def _mapping_or_none(
    holder: Any, what: str, key: str | None = None, *, operation: str = Operation.EXECUTE_CODE
) -> Mapping[str, Any] | None:
    """``holder[key]`` (or ``holder`` itself without a key) when it is a mapping or absent.

    botocore hands the event payload over as the JSON decoded it, without
    checking it against the model, so a wrong type must be caught here.
    """
    value = holder if key is None else (holder or {}).get(key)
    if value is not None and not isinstance(value, Mapping):
        raise _malformed(operation, what, value, "a mapping")
    return value


def _text(structured: Mapping[str, Any], key: str) -> str:
    value = structured.get(key)
    if value is None:
        return ""
    if not isinstance(value, str):
        raise _malformed(Operation.EXECUTE_CODE, key, value, "a str")
    return value


def _file_data(holder: Mapping[str, Any], key: str) -> bytes | None:
    """The file content ``holder[key]`` of a "readFiles" answer as bytes (a str as UTF-8), or ``None`` when absent."""
    value = holder.get(key)
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, bytearray):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    raise _malformed(Operation.READ_FILES, key, value, "bytes or a str")


def _session_id(answer: Mapping[str, Any]) -> str:
    """The identifier a session start's answer names.

    botocore does not check the answer against the model, and a value that
    is no identifier would only make every later request of the session fail.

    Raises:
        _MalformedAnswer: When it is missing, empty or not a str.
    """
    value = answer.get(Field.SESSION_ID)
    if isinstance(value, str) and value:
        return value
    if value is None or value == "":
        raise _MalformedAnswer(f"{_START_OPERATION} answer: {Field.SESSION_ID} is missing or empty")
    raise _malformed(_START_OPERATION, Field.SESSION_ID, value, "a str")


def _plain_env(env: Mapping[str, str] | None) -> dict[str, str]:
    """``env`` as a plain dict of exact strings, refusing what the command could not receive.

    Any mapping will do: only this copy is written into the program, since the
    repr of a mapping or of a ``str`` subclass (an ``OrderedDict``, a
    ``StrEnum`` member) need not be a literal the session can read. A value is
    named by its key and type only: it may be a secret.
    """
    if env is None:
        return {}
    if not isinstance(env, Mapping):
        raise TypeError(f"`env` must be a mapping of str to str, got {type(env).__name__}")
    plain: dict[str, str] = {}
    for key, value in env.items():
        if not isinstance(key, str):
            raise TypeError(f"`env` names must be str, got {key!r} ({type(key).__name__})")
        if not isinstance(value, str):
            raise TypeError(f"`env` values must be str, got a {type(value).__name__} for {key!r}")
        name, text = str.__str__(key), str.__str__(value)
        if not name or "=" in name or "\0" in name or "\0" in text:
            raise ValueError(
                f"`env` entry {name!r} cannot be set: a name must be non-empty, without '=' or NUL, "
                "and a value without NUL"
            )
        plain[name] = text
    return plain


def _command_program(cmd: str, env: Mapping[str, str] | None) -> str:
    """The Python program that runs ``cmd`` through the shell and replays its outcome.

    The environment extends the session's for the command's process only, so
    nothing leaks into the session interpreter; the command reads an empty
    input, never the interpreter's own; undecodable output is replaced, not
    fatal; the interpreter exits (which flags the run as failed) only for a
    non-zero code.

    Raises:
        TypeError: For a ``cmd`` that is not a str, or an ``env`` that is not
            a mapping of str to str.
        ValueError: For an ``env`` entry no process environment can hold.
    """
    if not isinstance(cmd, str):
        raise TypeError(f"cmd must be a str, got {type(cmd).__name__}")
    variables = _plain_env(env)
    env_arg = f", env={{**os.environ, **{variables!r}}}" if variables else ""
    return (
        "import os, subprocess, sys\n"
        f"_r = subprocess.run({str.__str__(cmd)!r}, shell=True, capture_output=True, "
        f"stdin=subprocess.DEVNULL, encoding='utf-8', errors='replace'{env_arg})\n"
        "print(_r.stdout, end='')\n"
        "sys.stderr.write(_r.stderr)\n"
        "if _r.returncode:\n"
        "    sys.exit(_r.returncode)\n"
    )


def _check_attachments(files: Any, upload_dir: Any) -> None:
    """Refuse ``files`` that is not a list of attachments, or an ``upload_dir`` that is not a str."""
    if files is not None:
        if not isinstance(files, (list, tuple)):
            raise TypeError(f"files must be a list of Attachment, got {type(files).__name__}")
        for attachment in files:
            filename, data = getattr(attachment, "filename", None), getattr(attachment, "data", None)
            if not isinstance(filename, str) or not isinstance(data, (bytes, bytearray)):
                raise TypeError(
                    "files must hold attachments with a str filename and bytes data, "
                    f"got {type(attachment).__name__}"
                )
    if upload_dir is not None and not isinstance(upload_dir, str):
        raise TypeError(f"upload_dir must be a str or None, got {type(upload_dir).__name__}")


class _UnreadableReply(Exception):
    """A "readFiles" answer that broke or could not be parsed."""


class _StreamEndedEarly(ConnectionError):
    """An answer's event stream ended before the result it should carry.

    botocore ends the iteration quietly when the body stops cleanly in the
    middle of a frame, so the missing result is the only sign of the cut.
    """


class _SessionEnded(Exception):
    """The session a call holds was terminated before the call sent its request."""


class _RequestCut(Exception):
    """The session was terminated while a request waited for its answer; the request may have been served."""


class _Session:
    """The handles of one session: its client context, the entered client and the session's identifier.

    A call takes the handles it uses once and keeps them, so that a
    ``terminate`` meanwhile cannot swap them under it; ``terminate`` marks
    them ``ended`` when it takes them to stop the session. ``waiting`` holds
    the deadlines of the requests in flight, ``cut`` those brought forward
    by ``cut_calls``.
    """

    __slots__ = ("context", "client", "session_id", "ended", "waiting", "cut")

    def __init__(self, context: Any) -> None:
        self.context = context
        self.client: Any = None
        self.session_id: str | None = None
        self.ended = False
        self.waiting: set[asyncio.Timeout] = set()
        self.cut: set[asyncio.Timeout] = set()

    def cut_calls(self) -> None:
        """Let every request still in flight fall due now, before the client closes.

        Closing the client drops the answers being read without waking their
        readers (aiohttp forgets the body of a connection it closes, and its
        read timeout with it), so a call would otherwise wait for its own
        deadline, or for ever without one.
        """
        now = asyncio.get_running_loop().time()
        for deadline in self.waiting:
            if not deadline.expired():
                self.cut.add(deadline)
                deadline.reschedule(now)

    def request(self, deadline: asyncio.Timeout) -> _Request:
        """Run a request and the reading of its answer under ``deadline``, which ``cut_calls`` may bring forward."""
        return _Request(self, deadline)


class _Request:
    """The context of one request of a session, from ``_Session.request``.

    Raises:
        _SessionEnded: On entry, when the session has ended.
        _RequestCut: On exit, when ``cut_calls`` cut the request.
    """

    __slots__ = ("session", "deadline")

    def __init__(self, session: _Session, deadline: asyncio.Timeout) -> None:
        self.session = session
        self.deadline = deadline

    async def __aenter__(self) -> None:
        if self.session.ended:
            raise _SessionEnded(_TERMINATED_BEFORE_SENT)
        await self.deadline.__aenter__()
        self.session.waiting.add(self.deadline)

    async def __aexit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        self.session.waiting.discard(self.deadline)
        try:
            await self.deadline.__aexit__(exc_type, exc, traceback)
        except TimeoutError:
            if self.deadline in self.session.cut:
                raise _RequestCut(_TERMINATED_BEFORE_ANSWER) from None
            raise


class _PendingStart:
    """A session start in flight: one task that every first call waits for.

    ``session`` holds the handles the start has opened so far; the instance
    takes them over only once the start (packages included) is complete.
    ``waiters`` counts the calls waiting for it, so that the last one to be
    cancelled can undo the start; ``terminated`` is done once ``terminate``
    undid it, which releases those still waiting at once.
    """

    __slots__ = ("owner", "task", "session", "waiters", "terminated")

    def __init__(self, owner: BedrockAgentCoreSandbox) -> None:
        self.owner = owner
        self.task: asyncio.Task[None] | None = None
        self.session: _Session | None = None
        self.waiters = 0
        self.terminated: asyncio.Future[None] = asyncio.get_running_loop().create_future()


# The start the current task is running, so that its package install runs on
# the session being started instead of waiting for itself.
_STARTING: contextvars.ContextVar[_PendingStart | None] = contextvars.ContextVar("bedrock_starting", default=None)
# The session of the execution whose files are being written.
_UPLOADING: contextvars.ContextVar[_Session | None] = contextvars.ContextVar("bedrock_uploading", default=None)


class BedrockAgentCoreSandbox(CodeInterpreterSandbox):
    """A code-interpreter sandbox on an AWS Bedrock AgentCore session, started on first use.

    Construct it directly. The session starts on the first ``execute_code`` or
    ``execute_command``; concurrent first calls share that one start (packages
    included) and its session. ``download_file`` never starts a session. A
    session this instance started never outlives ``terminate``, even one still
    starting.
    """

    _BACKEND = "bedrock"
    _DEFAULT_UPLOAD_DIR = None
    _never_sent = staticmethod(_never_sent)

    region: str
    aioboto3_session: aioboto3.Session
    session_timeout: int
    _session: _Session | None
    _pending_start: _PendingStart | None
    # The teardown of the last session taken by ``terminate``, while it runs.
    _stopping: asyncio.Future[None] | None

    def __init__(
        self,
        region: str = ClientConfig.DEFAULT_REGION,
        aws_access_key_id: str | None = None,
        aws_secret_access_key: str | None = None,
        language: str = Language.PYTHON,
        session_timeout: int | None = None,
        sandbox_timeout: int | None = None,
        aioboto3_session_kwargs: dict[str, Any] | None = None,
        additional_packages: list[str] | None = None,
    ) -> None:
        """Record the configuration; no service is contacted.

        Args:
            region: AWS region of the service.
            aws_access_key_id: Access key; without the keys the AWS SDK's own
                credential lookup applies.
            aws_secret_access_key: Secret key of that access key.
            language: Must name Python, in any casing.
            session_timeout: Older name of ``sandbox_timeout``.
            sandbox_timeout: Server-side lifetime of each session in seconds
                (600 by default).
            aioboto3_session_kwargs: Further arguments of the aioboto3 session
                (for example ``profile_name``).
            additional_packages: pip requirements installed at every session start.

        Raises:
            ValueError: For a language other than Python or an invalid lifetime.
        """
        super().__init__(language=language, additional_packages=additional_packages)
        if language.lower() != Language.PYTHON:
            raise ValueError(ErrorMessage.UNSUPPORTED_LANGUAGE.format(language))
        self.region = region
        self.session_timeout = resolve_sandbox_timeout(sandbox_timeout, legacy_timeout=session_timeout)
        self._warn_if_session_outlived_by_install()
        self.aioboto3_session = aioboto3.Session(
            aws_access_key_id=aws_access_key_id,
            aws_secret_access_key=aws_secret_access_key,
            region_name=region,
            **(aioboto3_session_kwargs or {}),
        )
        self._session = None
        self._pending_start = None
        self._stopping = None
        logger.info(f"BedrockAgentCoreSandbox initialized in region {region} (lazy start)")

    def _warn_if_session_outlived_by_install(self) -> None:
        if self.additional_packages and self.session_timeout < DEFAULT_INSTALL_TIMEOUT:
            logger.warning(
                f"sandbox_timeout={self.session_timeout}s is below the {DEFAULT_INSTALL_TIMEOUT}s install "
                f"budget, so installing {self.additional_packages} may outlive the session. "
                f"Pass sandbox_timeout={DEFAULT_SANDBOX_TIMEOUT} or higher when using additional_packages."
            )

    def _client_config(self) -> Config:
        """The client's settings: the SDK must never re-send a request on its own.

        A re-sent "executeCode" would run the code twice, so retries are off;
        the read timeout outlasts any run, whose own deadline is applied here.
        """
        read_timeout = max(self.session_timeout, DEFAULT_INSTALL_TIMEOUT) + _READ_TIMEOUT_MARGIN
        return Config(retries={"total_max_attempts": 1}, read_timeout=read_timeout)

    # ------------------------------------------------------------------ session state

    def _current(self) -> _Session | None:
        """The session calls use now: the ready one, or the one still starting; ``None`` when idle."""
        pending = self._pending_start
        session = self._session if pending is None else pending.session
        return None if session is None or session.ended else session

    @property
    def _client_context(self) -> Any:
        return getattr(self._current(), "context", None)

    @property
    def _client(self) -> Any:
        return getattr(self._current(), "client", None)

    @property
    def _session_id(self) -> str | None:
        return getattr(self._current(), "session_id", None)

    @property
    def _is_started(self) -> bool:
        """Whether the service has started a session (its packages may still be installing)."""
        return self._session_id is not None

    # ------------------------------------------------------------------ session start

    async def _ensure_started(self) -> _Session:
        """The ready session, started first unless there is one; a concurrent first call waits for the one start.

        The session counts as ready once the start that opened it has also
        installed the packages; only the start's own task runs code before
        that. The start runs as a task of its own, so that one caller's
        cancellation does not cut it short for the others.

        Raises:
            SandboxStartError: When the start failed, or ``terminate`` undid it.
            SandboxExecutionError: Stage "package_install", from a failed install.
        """
        own = _STARTING.get()
        if own is not None and own.owner is self and own.session is not None:
            return own.session  # the start's own package install
        while True:
            if self._session is not None:
                return self._session
            pending = self._pending_start
            if pending is None:
                # Published before the task exists: an eager task may run to its end at once.
                pending = self._pending_start = _PendingStart(self)
                task = pending.task = asyncio.get_running_loop().create_task(self._run_start(pending))
                # Every waiter may be gone by the time it fails.
                task.add_done_callback(lambda done: done.cancelled() or done.exception())
            session = await self._wait_for_start(pending)
            if session is not None:
                return session

    async def _run_start(self, pending: _PendingStart) -> None:
        """Run ``pending``'s start and hand its session to the instance, unless it was abandoned meanwhile."""
        _STARTING.set(pending)  # the task's own context
        try:
            await self._start_session(pending)
        except BaseException:
            if self._pending_start is pending:
                self._pending_start = None
            raise
        if self._pending_start is pending:
            self._pending_start = None
            self._session = pending.session

    async def _wait_for_start(self, pending: _PendingStart) -> _Session | None:
        """Wait for ``pending``: its session once ready, ``None`` when its callers abandoned it.

        The last waiter to be cancelled cancels the start, which stops the
        session it may have started, and waits for that, shielded, within the
        teardown cap.

        Raises:
            SandboxStartError: When the start failed, or ``terminate`` came
                while it was starting or before this call took its session.
            SandboxExecutionError: Stage "package_install", from a failed install.
        """
        task = pending.task
        assert task is not None  # set before anything can wait for it
        pending.waiters += 1
        try:
            await asyncio.wait({task, pending.terminated}, return_when=asyncio.FIRST_COMPLETED)
        except asyncio.CancelledError:
            pending.waiters -= 1
            if not pending.waiters and not task.done():
                task.cancel()
                await self._shielded_rollback(asyncio.wait({task}))
            raise
        pending.waiters -= 1
        if pending.terminated.done():
            raise SandboxStartError(_TERMINATED_WHILE_STARTING, stage=Stage.SESSION_START)
        if task.cancelled():
            return None  # cancelled by callers that have left: this call starts its own
        task.result()
        session = pending.session
        if session is None or session.ended:  # terminate took it before this call resumed
            raise SandboxStartError(_TERMINATED_WHILE_STARTING, stage=Stage.SESSION_START)
        return session

    @traced(SpanName.CREATE, **_BACKEND_ATTR)
    async def _start_session(self, pending: _PendingStart) -> None:
        """Open the client and start a session into ``pending.session``, then install the packages.

        A failed or cancelled start stops what it started and closes its client itself.

        Raises:
            SandboxStartError: Stage "session_start", when the client or the
                service refused to start a session; the provider error is its cause.
            SandboxExecutionError: Stage "package_install", from a failed install.
        """
        session: _Session | None = None
        request: asyncio.Future[Any] | None = None
        try:
            session = pending.session = _Session(
                self.aioboto3_session.client(ClientConfig.AWS_SERVICE_NAME, config=self._client_config())
            )
            session.client = await session.context.__aenter__()
            await self._register_credentials()
            # A cancellation must not abort the request: the service may start
            # the session all the same, and only its answer names what to stop.
            request = asyncio.ensure_future(
                session.client.start_code_interpreter_session(
                    codeInterpreterIdentifier=ClientConfig.CODE_INTERPRETER_ID,
                    name=f"{ClientConfig.SESSION_NAME_PREFIX}{int(time.time())}",
                    sessionTimeoutSeconds=self.session_timeout,
                )
            )
            session.session_id = _session_id(await asyncio.shield(request))
            set_current_span_attributes(**{SpanAttr.SANDBOX_ID: session.session_id})
            logger.info(f"Started Bedrock session {session.session_id} with {self.session_timeout}s timeout")
        except asyncio.CancelledError:
            await self._roll_back_start(session, request)
            raise
        except Exception as exc:
            logger.error(
                f"Failed to start Bedrock session: {exc}",
                exc_info=True,
                extra={"error_code": Stage.SESSION_START},
            )
            await self._roll_back_start(session, request)
            raise SandboxStartError(
                ErrorMessage.SESSION_START_FAILED.format(exc), stage=Stage.SESSION_START
            ) from exc
        try:
            await self._install_additional_packages()
        except (asyncio.CancelledError, Exception):
            await self._roll_back_start(session, request)
            raise

    async def _register_credentials(self) -> None:
        """Register the secret key and session token the client signs with for masking.

        They never travel, but a proxy or a service error may quote them, and
        the SDK's lookup may have found them anywhere (environment, profile,
        an assumed role).
        """
        credentials = await self.aioboto3_session.get_credentials()
        if credentials is None:
            return  # the first request fails with NoCredentialsError
        frozen = await credentials.get_frozen_credentials()
        register_secret(frozen.secret_key)
        register_secret(frozen.token)

    async def _roll_back_start(self, session: _Session | None, request: asyncio.Future[Any] | None) -> None:
        """Stop what a failed or cancelled start started, shielded, within the teardown cap."""
        if session is not None:
            session.ended = True
            await self._shielded_rollback(self._discard_start(session, request))

    async def _discard_start(self, session: _Session, request: asyncio.Future[Any] | None) -> None:
        """Stop the session ``request`` started, once it has answered, and close the client."""
        if request is not None:
            await asyncio.wait({request})  # bounded by the client's read timeout
            if not request.cancelled() and request.exception() is None:
                with contextlib.suppress(_MalformedAnswer):  # names nothing this client can stop
                    session.session_id = _session_id(request.result())
        await self._close_session(session, DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS)

    # ------------------------------------------------------------- code and commands

    @traced(SpanName.EXECUTE_CODE, **_BACKEND_ATTR)
    async def execute_code(
        self,
        code: str,
        timeout: float | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        on_stdout: Callable[[str], Any] | None = None,
        on_stderr: Callable[[str], Any] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run Python ``code`` in the session (starting it on first use) and report the outcome.

        Args:
            code: The Python source.
            timeout: Seconds for the request and the reading of its answer
                together; ``None`` is 30, zero or less no limit.
            files: Attachments written into the session first, in one request.
            upload_dir: Where they go; ``None`` is the session's working directory.
            on_stdout: Accepted and never called: the service returns output
                only once the run has ended.
            on_stderr: The same.
            **kwargs: Accepted and ignored.

        Returns:
            "success", or "error" with the line naming the error, for a finished
            run; "timeout" with the output received so far; "error" with a
            retry-safe failure detail when the service refused the request (4xx)
            or it provably never left the client, or ``terminate`` came before
            it was sent; otherwise "unknown" (a 5xx, a lost connection, a
            stream that broke or ended early, ``terminate`` before the answer
            arrived).

        Raises:
            TypeError: For ``code``, ``timeout``, ``files`` or ``upload_dir`` of
                the wrong type, before any request.
            ValueError: For a ``timeout`` that is NaN, an infinity or a bool,
                before any request.
            SandboxStartError: When the lazy session start failed.
        """
        check_code(code)
        effective_timeout = resolve_timeout(timeout)
        _check_attachments(files, upload_dir)
        try:
            for attachment in files or ():
                check_upload_filename(attachment.filename)
        except SandboxExecutionError as exc:
            # Refused before a session is paid for; the same result as a failed upload.
            return self._upload_failed(exc, code, time.time())
        session = await self._ensure_started()
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: session.session_id})
        start_time = time.time()
        if files:
            uploading = _UPLOADING.set(session)
            try:
                await self._upload_files(files, upload_dir)
            except Exception as exc:
                return self._upload_failed(exc, code, start_time)
            finally:
                _UPLOADING.reset(uploading)

        drain = _ExecutionDrain()
        response: dict[str, Any] | None = None
        deadline = asyncio.timeout(effective_timeout)
        try:
            async with session.request(deadline):
                response = await session.client.invoke_code_interpreter(
                    codeInterpreterIdentifier=ClientConfig.CODE_INTERPRETER_ID,
                    sessionId=session.session_id,
                    name=Operation.EXECUTE_CODE,
                    arguments={Field.LANGUAGE: Language.PYTHON.value, Field.CODE: code},
                )
                stdout, stderr, error, stream_failure = await self._parse_execution_response(response, drain)
        except ClientError as exc:
            if self._is_refusal(exc):
                logger.error(f"Code execution rejected: {exc}")
                return self._transport_failure_result(exc, code, start_time, retry_safe=True)
            logger.error(f"Code execution failed server-side: {exc}")
            return self._transport_failure_result(exc, code, start_time)
        except (_SessionEnded, _RequestCut) as exc:  # terminated during the upload, or while the code ran
            logger.error(f"Code execution failed: {exc}")
            return self._transport_failure_result(
                exc, code, start_time, stdout=drain.stdout, stderr=drain.stderr,
                retry_safe=isinstance(exc, _SessionEnded),
            )
        except Exception as exc:
            if deadline.expired():
                logger.warning(f"Code execution exceeded timeout of {effective_timeout}s")
                return finish_result(
                    ExecutionStatus.TIMEOUT,
                    code,
                    start_time,
                    stdout=drain.stdout,
                    stderr=drain.stderr,
                    error=ErrorMessage.EXECUTION_TIMEOUT.format(effective_timeout),
                )
            logger.error(f"Code execution failed: {exc}")
            return self._transport_failure_result(exc, code, start_time)
        finally:
            if response is not None:
                await self._close_stream(response)

        if stream_failure is not None:
            return self._transport_failure_result(
                stream_failure, code, start_time, stdout=stdout, stderr=stderr, retry_safe=False
            )
        status = ExecutionStatus.ERROR if error else ExecutionStatus.SUCCESS
        return finish_result(status, code, start_time, stdout=stdout, stderr=stderr, error=error)

    @staticmethod
    def _upload_failed(error: Exception, code: str, start_time: float) -> ExecutionResult:
        logger.error(f"Upload before execution failed: {error}")
        return finish_result(ExecutionStatus.ERROR, code, start_time, error=str(error))

    @traced(SpanName.EXECUTE_COMMAND, **_BACKEND_ATTR)
    async def execute_command(
        self,
        cmd: str,
        *,
        env: dict[str, str] | None = None,
        timeout: float | None = None,
    ) -> ExecutionResult:
        """Run a shell command in the session through a Python subprocess.

        ``env`` (any mapping of str to str) extends the session's environment
        for the command only; the command's input is empty. The output arrives
        once the command has ended (stdout first, then stderr); a non-zero exit
        is an "error" result. ``timeout`` bounds the wait as in
        ``execute_code``; the command itself is not stopped when it passes. The
        result's ``code`` is the generated program.

        Raises:
            TypeError: For a ``cmd`` that is not a str or an ``env`` that is
                not a mapping of str to str (naming the entry), before any request.
            ValueError: For an ``env`` entry no environment can hold, or a
                ``timeout`` that is NaN, an infinity or a bool.
        """
        result = await self.execute_code(_command_program(cmd, env), timeout=timeout)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id, SpanAttr.STATUS: result.status.value})
        return result

    async def set_timeout(self, seconds: int) -> None:
        """No effect: a session's lifetime is fixed when it starts."""
        logger.warning(
            f"set_timeout({seconds}) has no effect on BedrockAgentCoreSandbox. "
            "Pass sandbox_timeout to the constructor instead."
        )

    @property
    def sandbox_id(self) -> str | None:
        """The current session's identifier, or ``None`` without a session."""
        return self._session_id

    @staticmethod
    def _is_refusal(error: ClientError) -> bool:
        """Whether the service answered with a 4xx status: it refused before running anything."""
        status = error.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        return isinstance(status, int) and HTTPStatus.BAD_REQUEST <= status < HTTPStatus.INTERNAL_SERVER_ERROR

    async def _parse_execution_response(
        self, response: dict[str, Any], drain: _ExecutionDrain | None = None
    ) -> tuple[str, str, str, BaseException | None]:
        """Drain an "executeCode" answer into stdout, stderr, error text and stream failure.

        A stream that breaks, or ends before its result arrived, gives the
        output drained so far, no error text, and the failure. ``drain`` lets
        the caller see the output received when a deadline cuts the drain off.
        """
        drain = drain if drain is not None else _ExecutionDrain()
        try:
            async for event in response[Field.STREAM]:
                drain.feed(event)
            if not drain.completed:
                raise _StreamEndedEarly(_STREAM_ENDED_EARLY.format(Operation.EXECUTE_CODE))
        except Exception as exc:
            logger.error(f"Error parsing execution response: {exc}")
            return drain.stdout, drain.stderr, "", exc
        return drain.stdout, drain.stderr, drain.error, None

    # ---------------------------------------------------------------- file transfer

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        """Write every entry with one "writeFiles" request; raise listing every failed file.

        An answer that ends without any result leaves the upload unconfirmed,
        which is a failure too.
        """
        session = _UPLOADING.get() or self._current()
        if session is None:
            raise _SessionEnded(_TERMINATED_BEFORE_SENT)
        content = [{Field.PATH: path, Field.BLOB: data} for path, data in entries]
        errors: list[str] = []
        confirmed = False
        async with session.request(asyncio.timeout(None)):
            response = await session.client.invoke_code_interpreter(
                codeInterpreterIdentifier=ClientConfig.CODE_INTERPRETER_ID,
                sessionId=session.session_id,
                name=Operation.WRITE_FILES,
                arguments={Field.CONTENT: content},
            )
            if (stream := response.get(Field.STREAM)) is not None:
                try:
                    async for event in stream:
                        result = event.get(Field.RESULT) or {}
                        confirmed = confirmed or bool(result)
                        if result.get(Field.IS_ERROR):
                            errors.append(str(result))
                finally:
                    await self._close_stream(response)
        if not confirmed:
            errors.append(_STREAM_ENDED_EARLY.format(Operation.WRITE_FILES))
        if errors:
            raise SandboxExecutionError("; ".join(errors), stage=Stage.EXECUTION)

    @traced(SpanName.DOWNLOAD, **_BACKEND_ATTR)
    async def download_file(self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT) -> bytes | None:
        """Read one file of the running session, or ``None`` when it is missing or the read fails.

        An existing empty file gives ``b""``. ``timeout`` bounds the request,
        the reading of its answer and closing it: ``None`` is 30 seconds, zero
        or less no limit.

        Raises:
            TypeError: For a ``file_path`` that is not a str.
            SandboxNotInitializedError: Without a started session; a download
                never starts one.
        """
        if not isinstance(file_path, str):
            raise TypeError(f"file_path must be a str, got {type(file_path).__name__}")
        session = self._current()
        if session is None or session.session_id is None:
            raise SandboxNotInitializedError(ErrorMessage.SESSION_NOT_STARTED)

        def log_failure(exc: Exception) -> None:
            if isinstance(exc, _UnreadableReply):
                logger.error(f"Error parsing file response: {exc}")
            else:
                logger.warning(f"Failed to download file {file_path}: {exc}")

        return await self._download_within(
            file_path, timeout, lambda _limit: self._read_file(session, file_path), log=logger, on_error=log_failure
        )

    async def _read_file(self, session: _Session, file_path: str) -> bytes | None:
        async with session.request(asyncio.timeout(None)):
            response = await session.client.invoke_code_interpreter(
                codeInterpreterIdentifier=ClientConfig.CODE_INTERPRETER_ID,
                sessionId=session.session_id,
                name=Operation.READ_FILES,
                arguments={Field.PATHS: [file_path]},
            )
            try:
                return await self._parse_file_response(response)
            finally:
                await self._close_stream(response)

    @staticmethod
    async def _close_stream(response: dict[str, Any]) -> None:
        """Close an answer's event stream, best effort; its connection is released with it."""
        close = getattr(response.get(Field.STREAM), "close", None)
        if close is None:
            return
        try:
            closing = close()
            if inspect.isawaitable(closing):
                await closing
        except Exception as exc:
            logger.warning(f"Failed to close response stream: {exc}")

    def _extract_image_data(self, content_item: dict[str, Any]) -> bytes | None:
        """The data of an image item: ``b""`` when empty, ``None`` without any.

        Raises:
            _MalformedAnswer: When the data is neither bytes nor a str.
        """
        if content_item.get(Field.TYPE) != ContentType.IMAGE:
            return None
        return _file_data(content_item, Field.DATA)

    def _extract_resource_data(self, content_item: dict[str, Any]) -> bytes | None:
        """The file content of a resource item: its text, else its blob.

        The service model knows "blob" as a resource's type (and field), not as
        an item type. A resource whose text or blob is present but empty is an
        existing empty file, ``b""``; a resource with neither is no file data.

        Raises:
            _MalformedAnswer: When the resource is not a mapping, or the text
                (or the blob, once read) is neither bytes nor a str.
        """
        if content_item.get(Field.TYPE) != ContentType.RESOURCE:
            return None
        resource = _mapping_or_none(content_item, Field.RESOURCE, Field.RESOURCE, operation=Operation.READ_FILES)
        text = _file_data(resource or {}, Field.TEXT)
        if text:
            return text
        blob = _file_data(resource or {}, Field.BLOB)
        return text if blob is None else blob

    async def _parse_file_response(self, response_stream: dict[str, Any]) -> bytes | None:
        """The data of the first image or resource item of a "readFiles" answer that holds any.

        ``b""`` when the items found are all empty (an empty file), ``None``
        when there are none (no such file).

        Raises:
            TimeoutError: When the stream stalled past the SDK's read timeout.
            _MalformedAnswer: When a field holding file content has the wrong type.
            _UnreadableReply: When the stream broke or an event was malformed.
        """
        stream = response_stream.get(Field.STREAM)
        if stream is None:
            return None
        found: bytes | None = None
        try:
            async for event in stream:
                result = event.get(Field.RESULT) or {}
                for item in result.get(Field.CONTENT) or ():
                    data = self._extract_image_data(item)
                    if data is None:
                        data = self._extract_resource_data(item)
                    if data:
                        return data
                    if data is not None:
                        found = b""
        except (TimeoutError, _MalformedAnswer):
            raise
        except Exception as exc:
            raise _UnreadableReply(str(exc)) from exc
        return found

    # ------------------------------------------------------------------ teardown

    @traced(SpanName.TERMINATE, **_BACKEND_ATTR)
    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Stop the session and close the client; a failed stop is logged, never raised.

        A session still starting is undone: the start is cancelled and stops
        the session once the service has answered, and the calls waiting for
        it fail with ``SandboxStartError``. ``timeout`` caps the wait for that,
        or for the stop; past it, the stop goes on in the background. The
        sandbox is idle from the moment ``terminate`` is called: a later
        execution starts a new session. A cancelled ``terminate`` still stops
        the session, within the cap, before the cancellation goes through. A
        ``terminate`` that comes while another one is stopping the session
        waits for that stop the same way. Calls still waiting for an answer
        when the client closes end at once: "unknown", since their code may
        have run. A session whose stop failed ends when its lifetime runs out.

        Raises:
            ValueError: When ``timeout`` is zero or less, a bool, or NaN; nothing is torn down.
        """
        timeout = check_teardown_cap(timeout)
        pending, session = self._pending_start, self._session
        self._pending_start = self._session = None
        cap: float | None = timeout
        if pending is not None:
            # The start stops its own session, in the background if it outlasts the cap.
            pending.terminated.set_result(None)
            assert pending.task is not None
            pending.task.cancel()
            self._stopping = pending.task
        elif session is not None:
            session.ended = True
            set_current_span_attributes(**{SpanAttr.SANDBOX_ID: session.session_id})
            self._stopping = asyncio.ensure_future(self._close_session(session, timeout))
            cap = None  # the stop is capped inside; the client's close follows it
        stopping = self._stopping
        if stopping is None or stopping.done() or stopping.get_loop() is not asyncio.get_running_loop():
            return
        # Shielded: a cancellation lets the stop finish first, within the cap;
        # a second one leaves it running in the background.
        try:
            await self._shielded_rollback(stopping, timeout=cap)
        except asyncio.CancelledError:
            await asyncio.wait({stopping}, timeout=cap)
            raise

    @staticmethod
    async def _close_session(session: _Session, timeout: float) -> None:
        """Stop the session within ``timeout`` and close the client; failures are logged, never raised."""
        client, session_id = session.client, session.session_id
        try:
            if client is not None and session_id:
                await asyncio.wait_for(
                    client.stop_code_interpreter_session(
                        codeInterpreterIdentifier=ClientConfig.CODE_INTERPRETER_ID,
                        sessionId=session_id,
                    ),
                    timeout=timeout,
                )
                logger.info(f"Stopped Bedrock session {session_id}")
        except Exception as exc:
            logger.warning(ErrorMessage.SESSION_STOP_FAILED.format(exc), extra={"error_code": Stage.TERMINATE})
        finally:
            session.cut_calls()
            # A context whose entry failed holds no client, and exiting it would only raise.
            if client is not None:
                try:
                    await session.context.__aexit__(None, None, None)
                except Exception as exc:
                    logger.warning(f"Error closing client context: {exc}")
