# Stages and the stage-attributed error hierarchy.

import copy
import functools
import pickle

import pytest

from vorn_tools.code_interpreter.errors import SandboxNotInitializedError as NotInitialized, SandboxStartError, SandboxTerminateError, Stage, _cause_chain
from vorn_tools.code_interpreter.redaction import register_secret


def _raised_from(error: Exception, *causes: BaseException) -> Exception:
    # Link the error to the causes (outermost first) as ``raise ... from`` does.
    for link, cause in zip((error, *causes), causes):
        link.__cause__ = cause
    return error


def _pickled(error: Exception) -> Exception:
    return pickle.loads(pickle.dumps(error))


def _lookup_is_transient(exc: BaseException) -> bool:  # a backend's own, picklable predicate
    return isinstance(exc, LookupError)


@pytest.mark.parametrize(("causes", "classifier", "expected"), [
    ((RuntimeError("wrapped"), ConnectionResetError("reset")), None, True),
    ((RuntimeError("x"), KeyError("timeout")), _lookup_is_transient, True),
    ((TimeoutError(),), _lookup_is_transient, False),  # a backend's classifier replaces the default
])
def test_transient_walks_only_explicit_causes(causes, classifier, expected) -> None:
    error = _raised_from(SandboxStartError("x", stage=Stage.CREATE, classifier=classifier), *causes)
    causes[-1].__context__ = KeyError("slow")  # an implicit context never counts
    assert error.transient is expected


@pytest.mark.parametrize("copier", [_pickled, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
@pytest.mark.parametrize(("cls", "stage"), [(SandboxStartError, "create"), (NotInitialized, "not_initialized")])
def test_message_is_masked_once_and_errors_survive_pickle_and_copy(copier, cls, stage) -> None:
    register_secret("e2b_team_key_0042")
    message = ValueError("e2b_team_key_0042 [details]")  # rendered, then masked
    error = _raised_from(cls(message, stage=Stage.CREATE, classifier=_lookup_is_transient), KeyError())
    error.add_note("attempt 3/3")
    error.__context__ = OSError("while handling")
    with pytest.raises(cls):
        raise error  # for a traceback
    register_secret("[details]")  # a copy must not run the constructor (and mask) again
    clone = copier(error)
    # Copies share the context and traceback; a pickle carries neither.
    assert (clone.__context__, clone.__traceback__) == ((None, None) if copier is _pickled else (error.__context__, error.__traceback__))
    assert clone is not error and type(clone) is cls and clone.transient is True and f"{clone.stage}" == stage
    assert (clone.args, clone.__notes__) == (("[SECRET] [details]",), ["attempt 3/3"])
    assert clone._classifier is _lookup_is_transient


def test_pickle_drops_what_cannot_travel_and_keeps_loops() -> None:
    # A cause that cannot round trip ends the carried chain there, even with picklable links
    # beneath it; a classifier that cannot be pickled becomes the default, while a deep copy shares it.
    bad = OSError("sdk")
    bad.hook = lambda: None  # cannot be pickled
    error = SandboxStartError("x", stage=Stage.CREATE, classifier=functools.partial(lambda e: False))
    _raised_from(error, KeyError(), ValueError(), bad, OSError())
    clone = _pickled(error)
    assert [type(link) for link in _cause_chain(clone)] == [SandboxStartError, KeyError, ValueError]
    assert (error.transient, clone._classifier, clone.transient) == (False, None, False)
    assert copy.deepcopy(error)._classifier is error._classifier
    # A chain that loops back ends its walk, and pickles as a back reference, not a recursion.
    first, second = SandboxStartError("1", stage=Stage.CREATE), SandboxTerminateError("2", stage=Stage.TERMINATE)
    first.__cause__, second.__cause__ = second, first
    assert list(_cause_chain(first)) == [first, second] and first.transient is False
    assert [(type(e), e.stage) for e in _cause_chain(_pickled(first))] == [(type(e), e.stage) for e in (first, second)]
