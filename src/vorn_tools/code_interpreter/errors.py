"""Stage-attributed errors for sandbox and template lifecycle failures.

Every error carries the :class:`Stage` at which it failed, stamped where it is
raised, and a :attr:`CodeInterpreterError.transient` verdict derived on every
read from a creation-failure predicate applied along the chain of explicit
causes. Messages are masked with :func:`~vorn_tools.code_interpreter.redaction.redact`
when the error is constructed, so a raise site may embed provider text as is.

Outcomes of user code are never errors of this hierarchy; they are result
records.
"""

from __future__ import annotations

import copy
import itertools
import pickle
from collections.abc import Callable, Iterator
from enum import StrEnum
from typing import Any, TypeAlias

from vorn_tools.code_interpreter.redaction import redact

TransientClassifier: TypeAlias = Callable[[BaseException], bool]


class Stage(StrEnum):
    """Lifecycle stage at which a sandbox or template operation failed.

    The values double as the ``error_code`` field of failure log records and
    never change.
    """

    SNAPSHOT_RESOLVE = "snapshot_resolve"
    CREATE = "create"
    GET_INFO = "get_info"
    EXECD_PROBE = "execd_probe"
    JUPYTER_PROBE = "jupyter_probe"
    INTERPRETER_INIT = "interpreter_init"
    SESSION_START = "session_start"
    PROCESS_START = "process_start"
    TEMPLATE_BUILD = "template_build"
    PACKAGE_INSTALL = "package_install"
    EXECUTION = "execution"
    TERMINATE = "terminate"
    DOWNLOAD = "download"
    NOT_INITIALIZED = "not_initialized"


def _default_classifier(exc: BaseException) -> bool:
    """Judge one exception with the base sandbox's creation-failure predicate."""
    # Imported here: the code_sandbox package re-exports this module, so a
    # module-level import would be circular.
    from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox

    return BaseSandbox._is_transient_create_error(exc)


def _cause_chain(exc: BaseException) -> Iterator[BaseException]:
    """Yield ``exc`` and then each explicit cause (``__cause__``) beneath it.

    The implicit ``__context__`` is never followed. The walk ends at the first
    exception without a cause or at one already yielded (by identity), so a
    chain that loops back on itself terminates.
    """
    seen: set[int] = set()
    current: BaseException | None = exc
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        yield current
        current = current.__cause__


def _round_trips(obj: object) -> bool:
    """Whether ``obj`` survives a pickle round trip in this process."""
    try:
        pickle.loads(pickle.dumps(obj))
    except Exception:
        return False
    return True


def _rebuild_error(cls: type[CodeInterpreterError], args: tuple[Any, ...]) -> CodeInterpreterError:
    """Recreate a pickled error without its constructor (the message is already masked)."""
    return cls.__new__(cls, *args)


def _copy_chain(source: BaseException, clone: BaseException) -> None:
    # A copy shares the chain of causes and the traceback, so its
    # ``transient`` verdict and its rendering match the original's.
    clone.__cause__ = source.__cause__
    clone.__context__ = source.__context__
    clone.__suppress_context__ = source.__suppress_context__
    clone.__traceback__ = source.__traceback__


class CodeInterpreterError(RuntimeError):
    """Base class of every stage-attributed sandbox or template failure.

    Derives from :class:`RuntimeError`, so callers that catch runtime errors
    keep catching these. The message is masked at construction; the provider
    exception that caused the failure is attached by the raise site as the
    explicit cause (``raise SandboxStartError(...) from exc``).

    Args:
        message: User-facing message; provider text in it is masked.
        stage: The stage at which the failure occurred.
        classifier: Predicate on one exception deciding whether it is
            transient; ``None`` applies the base sandbox's predicate.

    Errors survive ``pickle``, ``copy.copy`` and ``copy.deepcopy`` with their
    message, stage and classifier. Copies share the original's causes and
    traceback. Pickling carries the chain of explicit causes as far as its
    links survive a pickle round trip, and replaces a classifier that cannot
    be pickled (a lambda, a local function) by the default one.
    """

    def __init__(
        self,
        message: str,
        *,
        stage: Stage,
        classifier: TransientClassifier | None = None,
    ) -> None:
        if not isinstance(message, str):
            # An exception object passed as the message must not turn the
            # raise site into a TypeError; render it, then mask it.
            message = str(message)
        super().__init__(redact(message))
        self.stage = stage
        self._classifier = classifier

    @property
    def transient(self) -> bool:
        """Whether this failure is transient and worth retrying.

        Computed on every read: the classifier is applied to this error and to
        each exception along its chain of explicit causes; the first link it
        accepts makes the failure transient.
        """
        classifier = self._classifier or _default_classifier
        return any(bool(classifier(link)) for link in _cause_chain(self))

    def __reduce__(self) -> tuple[Any, ...]:
        # The default exception reduction calls the constructor with ``args``
        # alone, which fails for the keyword-only ``stage``.
        state = dict(self.__dict__)
        if state.get("_classifier") is not None and not _round_trips(state["_classifier"]):
            # A lambda or local function cannot travel; the receiving side
            # judges with the default predicate instead.
            state["_classifier"] = None
        # Standard exceptions lose ``__cause__`` when pickled, and with it the
        # verdict of ``transient``: carry the explicit chain as far as its
        # links survive a round trip.
        causes: list[BaseException] = []
        for link in itertools.islice(_cause_chain(self), 1, None):
            if not isinstance(link, CodeInterpreterError) and not _round_trips(link):
                break
            causes.append(link)
        # The chain travels in the state, not in the constructor arguments:
        # pickle memoizes the error before its state, so a chain that loops
        # back to this error pickles as a reference instead of recursing.
        return (_rebuild_error, (type(self), self.args), (state, tuple(causes)))

    def __setstate__(self, state: Any) -> None:
        if isinstance(state, tuple):
            attributes, causes = state
        else:
            attributes, causes = state, ()
        self.__dict__.update(attributes)
        link: BaseException = self
        for cause in causes:
            link.__cause__ = cause
            link = cause

    def __copy__(self) -> CodeInterpreterError:
        clone = type(self).__new__(type(self), *self.args)
        clone.__dict__.update(self.__dict__)
        _copy_chain(self, clone)
        return clone

    def __deepcopy__(self, memo: dict[int, Any]) -> CodeInterpreterError:
        clone = type(self).__new__(type(self), *copy.deepcopy(self.args, memo))
        memo[id(self)] = clone
        for key, value in self.__dict__.items():
            # The classifier is behaviour, not data: share it.
            setattr(clone, key, value if key == "_classifier" else copy.deepcopy(value, memo))
        _copy_chain(self, clone)
        return clone


class TemplateBuildError(CodeInterpreterError):
    """A template build or ensure failed.

    The library's builders never raise it: their failures are ``FAILED``
    results. It is for callers: a builder of one's own may raise it from
    ``build`` (``ensure`` turns it into a ``FAILED`` result with its stage),
    and an app may raise it to turn a failed result into an exception.
    """


class SandboxStartError(CodeInterpreterError):
    """A sandbox failed to start, attributed to the specific start stage."""


class SandboxExecutionError(CodeInterpreterError):
    """Code or command execution, or package installation, failed after start."""


class SandboxTerminateError(CodeInterpreterError):
    """Teardown failed after every retry.

    The provider's exception stays reachable as ``__cause__``. The sandbox may
    still be alive on the server: the backend keeps its handle so the caller
    can retry ``terminate``.
    """


class SandboxNotInitializedError(CodeInterpreterError):
    """An operation was attempted before the sandbox was started.

    The stage is always :attr:`Stage.NOT_INITIALIZED`; a ``stage`` keyword is
    discarded.
    """

    def __init__(self, message: str = "Sandbox is not initialized", **kwargs: Any) -> None:
        kwargs.pop("stage", None)
        super().__init__(message, stage=Stage.NOT_INITIALIZED, **kwargs)
