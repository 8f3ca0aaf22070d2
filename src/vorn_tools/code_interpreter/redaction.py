"""Secret masking for provider error text before it leaves the code interpreter.

Provider and SDK exceptions can echo credentials (API keys, bearer tokens,
credential URLs). Rather than one central scrubber, every sink that such text
reaches (error messages, log records, span events, result errors built from
exceptions, template build details) masks it with :func:`redact`, so call
sites may format exceptions normally. What the sandbox itself returns (a run's
stdout and stderr, an error rendered from its own error record) is passed on
as printed.

Two layers are applied, in this order:

1. every value registered with :func:`register_secret`, also as it reads
   JSON-, repr- or percent-encoded (longest first), is replaced by
   ``"[SECRET]"``;
2. an ordered list of credential-shape rules, run by the core library's
   masking engine, masks keys, tokens and credential URLs that were never
   registered.

A failing rule never lets raw text through: :func:`redact` returns its
fallback and the exception renderers return the exception's qualified type.
"""

from __future__ import annotations

import json
import logging
import re
import threading
import traceback
from urllib.parse import quote, quote_plus

from vorn_core.logging import LoggerManager
from vorn_core.masking.rules import BuiltInMaskingRule, CompiledMaskingRule, MaskingRule
from vorn_core.masking.text import LiteralSet, MaskingRuleError, mask_text

SECRET_PLACEHOLDER = "[SECRET]"
REDACTION_FAILED = "[REDACTION FAILED]"
_MIN_REGISTERED_SECRET_LENGTH = 8

# User information of a URL ("user:password@"), without the "://" before it
# or the host after it.
_URL_CREDENTIALS = MaskingRule(
    name="URL_CREDENTIALS",
    pattern=r"(?<=://)[^/\s:@]+:[^@\s/]+@",
)
# "sk-" keys of OpenAI-compatible providers that the built-in rules miss.
_SK_STYLE_KEY = MaskingRule(
    name="API_KEY",
    pattern=r"\bsk-[A-Za-z0-9_-]{6,}",
)
# A credential entry of a printed Python mapping: 'api_key': 'value'.
_SINGLE_QUOTED_CREDENTIAL_KV = MaskingRule(
    name="QUOTED_CREDENTIAL_KV",
    pattern=(
        r"(?i)'[\w-]*(?:api[_-]?key|client_secret|secret|password|passwd|token|credential)'"
        r"\s*:\s*'[^']+'"
    ),
)

# Order matters: structural rules (key blocks, headers, URLs) run before the
# key-shape rules, and the broad key=value and e-mail rules run last.
_PROVIDER_ERROR_RULES = tuple(
    CompiledMaskingRule.from_masking_rule(rule)
    for rule in (
        BuiltInMaskingRule.PRIVATE_KEY_BLOCK,
        BuiltInMaskingRule.AUTHORIZATION_HEADER,
        BuiltInMaskingRule.BEARER_TOKEN,
        BuiltInMaskingRule.BASIC_CREDENTIALS,
        BuiltInMaskingRule.CONN_STRING_CREDS,
        _URL_CREDENTIALS,
        BuiltInMaskingRule.AWS_SIGV4_QS,
        BuiltInMaskingRule.E2B_KEY,
        BuiltInMaskingRule.OPENAI_KEY,
        BuiltInMaskingRule.ANTHROPIC_KEY,
        BuiltInMaskingRule.OPENROUTER_KEY,
        BuiltInMaskingRule.AWS_ACCESS_KEY_ID,
        BuiltInMaskingRule.AWS_SECRET_KEY,
        BuiltInMaskingRule.GITHUB_PAT_CLASSIC,
        BuiltInMaskingRule.GITHUB_PAT_FINE,
        BuiltInMaskingRule.GOOGLE_API_KEY,
        BuiltInMaskingRule.HUGGINGFACE_TOKEN,
        BuiltInMaskingRule.SLACK_TOKEN,
        BuiltInMaskingRule.JWT,
        _SK_STYLE_KEY,
        _SINGLE_QUOTED_CREDENTIAL_KV,
        BuiltInMaskingRule.GENERIC_CREDENTIAL_KV,
        BuiltInMaskingRule.EMAIL,
    )
)


def _encoded_forms(value: str) -> set[str]:
    """The forms ``value`` takes inside JSON, a ``repr`` and a URL.

    A secret with a quote, a backslash, a control or non-ASCII character, or
    anything a URL must escape, is written differently once it is embedded in
    such text; each of those spellings is masked as well.
    """

    def py_escape(quote: str, ascii_only: bool) -> str:
        # repr() escapes only the quote it chose, which depends on the whole
        # string the secret is embedded in: both choices occur.
        out = []
        for ch in value:
            if ch == "\\" or ch == quote:
                out.append("\\" + ch)
            elif ch in "'\"":
                out.append(ch)
            else:
                out.append((ascii if ascii_only else repr)(ch)[1:-1])
        return "".join(out)

    forms = {
        json.dumps(value)[1:-1],
        json.dumps(value, ensure_ascii=False)[1:-1],
        *(py_escape(quote, ascii_only) for quote in "'\"" for ascii_only in (False, True)),
    }
    try:
        percent = (quote(value, safe=""), quote(value), quote_plus(value, safe=""))
    except UnicodeEncodeError:
        percent = ()  # a lone surrogate has no UTF-8 form, so no URL holds it
    for encoded in percent:
        forms.update((encoded, re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), encoded)))
    forms.discard(value)
    return forms


def _longest_first(value: str) -> tuple[int, str]:
    return -len(value), value


class _SecretRegistry:
    """Configured secrets that every redaction masks by exact value."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._values: set[str] = set()
        # Every registered value and its encoded forms.
        self._forms: set[str] = set()
        # The forms, longest first, compiled for a one-pass replacement; built
        # on the first redaction after a change, so that registering many
        # secrets costs one sort and one compilation, not one per secret.
        self._replacer: LiteralSet | None = None

    @property
    def values(self) -> tuple[str, ...]:
        """The registered values, longest first."""
        with self._lock:
            return tuple(sorted(self._values, key=_longest_first))

    def add(self, value: str) -> None:
        """Store ``value`` once, with its encoded forms."""
        forms = {value} | _encoded_forms(value)
        with self._lock:
            if value in self._values:
                return
            self._values.add(value)
            self._forms |= forms
            self._replacer = None

    def replacer(self) -> LiteralSet | None:
        """The forms in the order they are replaced, as one compiled set.

        Longest first makes a registered value that contains another one get
        replaced whole, before the shorter one could cut it apart. Forms of
        one length are ordered by code point, so the outcome never depends on
        the order of registration.
        """
        replacer = self._replacer
        if replacer is None and self._forms:
            with self._lock:
                replacer = self._replacer
                if replacer is None:
                    ordered = sorted(self._forms, key=_longest_first)
                    replacer = self._replacer = LiteralSet(ordered, SECRET_PLACEHOLDER)
        return replacer


_SECRETS = _SecretRegistry()


def register_secret(value: str | None) -> None:
    """Mask every later occurrence of ``value`` in redacted text.

    ``None``, the empty string, blank values and values shorter than 8
    characters are ignored silently (masking them would mangle ordinary
    text). The value is stored unchanged and stays registered for the life
    of the process.

    Raises:
        TypeError: ``value`` is neither a string nor ``None``. A value of
            another type would break every later redaction in the process.
    """
    if value is None:
        return
    if not isinstance(value, str):
        raise TypeError(
            f"register_secret() expects a str or None, got {type(value).__name__}; "
            "pass the secret's plain text (for example SecretStr.get_secret_value())"
        )
    # A blank value is never a real secret, and masking runs of blanks would
    # wreck the indentation of every traceback.
    if len(value) >= _MIN_REGISTERED_SECRET_LENGTH and not value.isspace():
        _SECRETS.add(value)


def redact(text: str, fallback: str = REDACTION_FAILED) -> str:
    """Mask registered secrets and credential shapes in ``text``.

    Registered values, and their JSON-, repr- and percent-encoded forms
    (longest first), become ``"[SECRET]"``; then the
    provider rules run over the result. When a rule fails, ``fallback`` is
    returned instead, never the raw or a partly masked text.

    Raises:
        TypeError: ``text`` is not a string.
    """
    if not isinstance(text, str):
        raise TypeError(f"redact() expects a str, got {type(text).__name__}")
    replacer = _SECRETS.replacer()
    if replacer is not None:
        text = replacer.replace(text)
    try:
        return mask_text(text, _PROVIDER_ERROR_RULES)
    except MaskingRuleError:
        return fallback


def qualified_type(error: BaseException) -> str:
    """Return the exception's module and qualified class name joined by a dot."""
    cls = type(error)
    return f"{cls.__module__}.{cls.__qualname__}"


# Python's own traceback module prints this for an exception whose __str__ fails.
_UNPRINTABLE = "<exception str() failed>"


def _masked(text: str, fallback: str) -> str:
    # Renderers run on error paths and inside logging: whatever goes wrong
    # while masking yields the fallback, never raw text and never a new error.
    try:
        return redact(text, fallback=fallback)
    except Exception:
        return fallback


def format_error_chain(error: BaseException) -> str:
    """Render ``error`` and its causes, outermost first, unmasked.

    Each link is ``"ClassName: message"``; links are joined by
    ``"\\ncaused by "``. The explicit cause wins over the implicit context; a
    suppressed context ends the chain, and so does an exception met twice.
    A link whose ``__str__`` fails shows ``"<exception str() failed>"``.
    The result is raw provider text: pass it through :func:`redact` (or use
    :func:`redacted_chain`) before it leaves the library.
    """
    parts: list[str] = []
    seen: set[int] = set()
    current: BaseException | None = error
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        try:
            text = str(current)
        except Exception:
            text = _UNPRINTABLE
        parts.append(f"{type(current).__qualname__}: {text}".strip())
        if current.__cause__ is not None:
            current = current.__cause__
        elif current.__suppress_context__:
            current = None
        else:
            current = current.__context__
    return "\ncaused by ".join(parts)


def redacted_message(error: BaseException) -> str:
    """Return ``str(error)`` masked; the qualified type when masking or ``__str__`` fails."""
    fallback = qualified_type(error)
    try:
        text = str(error)
    except Exception:
        return fallback
    return _masked(text, fallback)


def redacted_chain(error: BaseException) -> str:
    """Return :func:`format_error_chain` masked, or the qualified type when masking fails."""
    return _masked(format_error_chain(error), qualified_type(error))


def redacted_traceback(error: BaseException) -> str:
    """Return the full traceback (chained causes included) masked.

    Falls back to the qualified type name when rendering or masking fails.
    """
    fallback = qualified_type(error)
    try:
        text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
    except Exception:
        return fallback
    return _masked(text.rstrip("\n"), fallback)


def _record_message(record: logging.LogRecord) -> str:
    """The record's message with its arguments merged in; a description of it when that fails."""
    try:
        return record.getMessage()
    except Exception as exc:
        merge_failure = qualified_type(exc)
    try:
        template = str(record.msg)
    except Exception:
        cls = type(record.msg)
        return f"[unprintable log message of type {cls.__module__}.{cls.__qualname__}]"
    # Keep the format string and say why the arguments are missing.
    return f"{template} [log arguments could not be merged: {merge_failure}]"


class RedactingFilter(logging.Filter):
    """Mask secrets in a record's message and traceback before any handler sees it."""

    def filter(self, record: logging.LogRecord) -> bool:
        # Logging never raises into the caller (often an error path about to
        # raise the real failure): every step below has a masked fallback.
        # The arguments are merged first so a secret passed as an argument is
        # masked too, then cleared so no formatter merges the raw ones in.
        record.msg = _masked(_record_message(record), REDACTION_FAILED)
        record.args = None
        if record.exc_info and record.exc_info[1] is not None:
            record.exc_text = redacted_traceback(record.exc_info[1])
            # Drop the live exception: a handler that formats it itself must
            # not reach the raw text.
            record.exc_info = None
        return True


_REDACTING_FILTER = RedactingFilter()


def get_redacting_logger(name: str) -> logging.Logger:
    """Return the logger for ``name`` with the shared redacting filter attached.

    The filter sits on the logger itself, so it masks records logged on this
    logger (not those propagating up from child loggers). Calling this again
    for the same logger attaches nothing twice.
    """
    logger = LoggerManager().get_logger(name)
    logger.addFilter(_REDACTING_FILTER)
    return logger
