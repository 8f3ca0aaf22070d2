"""Masking rules: own rules, the built-in credential rules and their compiled form.

Patterns use Python ``re`` syntax and semantics on ``str`` (``\\w``, ``\\s``,
``\\b`` and ``\\d`` are Unicode-aware, look-behind is fixed-width, inline flags
such as ``(?i)`` work); the engine compiles them with PCRE2. A pattern may
name one group ``secret``: then only that group is masked and the rest of the
match (a header name, a key, a URL scheme) stays visible.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from enum import Enum

from vorn_core.masking import _masking
from vorn_core.masking.errors import MaskingRuleError

__all__ = ["BuiltInMaskingRule", "CompiledMaskingRule", "MaskingRule", "placeholder"]

_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")


def placeholder(name: str) -> str:
    """Return the text written in place of a match of the rule called ``name``.

    The form ``[MASKED NAME]`` holds no ``:``, ``=``, ``@``, ``.``, ``/`` or
    quote and contains a blank, so no credential pattern can take it for a
    credential, a key-value pair, a URL's user information or an address.
    """
    return f"[MASKED {name}]"


@dataclass(frozen=True, slots=True)
class MaskingRule:
    """An own masking rule: a name (letters, digits, ``_``) and a pattern."""

    name: str
    pattern: str

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"rule name must be str, not {type(self.name).__name__}")
        if not isinstance(self.pattern, str):
            raise TypeError(f"rule pattern must be str, not {type(self.pattern).__name__}")
        if not _NAME.fullmatch(self.name):
            raise MaskingRuleError(
                self.name, "rule name must start with a letter and hold only letters, digits and '_'"
            )
        if not self.pattern:
            raise MaskingRuleError(self.name, "pattern must not be empty")


# A value that is itself a placeholder ("[SECRET]", "[MASKED X]") is left alone,
# so masking an already masked text changes nothing; single-token values also
# stop at "[", so that they never run into a placeholder that follows.
_NOT_PLACEHOLDER = r"(?!\[[A-Z][A-Za-z0-9_ ]{0,128}\])"
_QUOTED_PLACEHOLDER = r"""(?!["']\[[A-Z][A-Za-z0-9_ ]{0,128}\]["'])"""

# Separator between a key and its value: optional closing quote of the key,
# blanks, then ":", "=", ":=" or "=>", blanks (never a line break).
# The look-ahead stops backtracking into a shorter separator, which would let
# a masked value's leading "=" or blank pass for a new value.
_KV_SEP = r"""["']?[ \t]{0,16}(?::=|=>|[:=])[ \t]{0,16}(?![ \t=:>])"""

# Scripts written without spaces between words (Thai, Lao, Myanmar, Khmer,
# kana, Han): a key glued to such text ("密钥sk-...") still stands apart.
_NO_SPACE_SCRIPTS = (
    r"\u0e00-\u0eff\u1000-\u109f\u1780-\u17ff\u3040-\u30ff\u31f0-\u31ff\u3400-\u4dbf"
    r"\u4e00-\u9fff\uf900-\ufaff\uff66-\uff9f\U00020000-\U0003134f"
)
# A word character that joins a key to the word before or after it.
_JOINING = r"[^\W" + _NO_SPACE_SCRIPTS + r"]"
# Where a key may start besides after a non-word character: right after a
# literal escape of JSON or repr text ("\n", "\t", "\u00a0", "\x0b") or a
# percent-encoded byte ("%20", "%3D"). Each look-behind is fixed width.
_AFTER_ESCAPE = r"(?<=\\[nrtbfv])|(?<=\\x[0-9A-Fa-f]{2})|(?<=\\u[0-9A-Fa-f]{4})|(?<=%[0-9A-Fa-f]{2})"
# Start and end of a key: "\b" for keys, except that the escapes above and
# characters of the scripts above do not join a key to its neighbours, while
# a Latin word that merely contains a key's prefix ("risk-", "task-") does.
_KEY_START = r"(?:(?<!" + _JOINING + r")|" + _AFTER_ESCAPE + r")"
_KEY_END = r"(?!" + _JOINING + r")"
# A JWT starts at the start of its base64url run, so that a run of "-eyJ"
# pieces is tried once rather than once per piece (quadratic work).
_JWT_START = r"(?:(?<!-)(?<!" + _JOINING + r")|" + _AFTER_ESCAPE + r")"
# A line break written as an escape: "\n", "\r\n" or "\r" (YAML may fold a
# line between "\r" and "\n"), each backslash doubled once per level of
# quoting (a JSON text quoted inside another JSON text).
_ESCAPED_BREAK = r"\\{1,8}(?:r(?:\\{1,8}n)?|n)"
# Where a quoted text goes on after one of its lines (the line's escaped break
# comes before): between the items of a printed list of lines
# (``print(f.readlines())`` of a file read as text or bytes, ``pprint``, a JSON
# array) the quote closing one item, ",", blanks and the quote opening the
# next (in a YAML sequence "-" instead of ","); between the adjacent literals
# ``pprint`` splits a long string into, and Python source holds, the same
# without ","; in a YAML double-quoted scalar, a "\" ending the line. Quoted
# once more (a JSON log line holding ``pprint`` output), its quotes are escaped
# and its line breaks are escapes.
_JOIN = r"""['"](?:,|\s++-)?\s*+(?:\\{1,8}+[rn]\s*+)*+b?\\{0,8}+['"]"""
# Between the items of a YAML sequence of single-quoted lines, each ending in
# a blank line (the line break it holds).
_YAML_ITEM = r"""['"]\r?\n[ \t]*+- ['"]"""
_ITEM_SEP = r"(?:\\{0,8}+" + _JOIN + r"|\\\r?\n)"
# The end of a line of a key: a real break, or an escaped one that the quoted
# text may go on from.
_LINE_BREAK = r"(?:\r?\n|" + _ESCAPED_BREAK + _ITEM_SEP + r"?)"
# A blank of a key's BEGIN or END line or after a header's ":", where a printer
# may fold a long line: ``pprint`` closes its literal after the blank and opens
# the next; YAML breaks the line instead of the blank, in a double-quoted
# scalar after a "\" and before the blank escaped as "\ ".
_BLANK = r"(?: (?:" + _JOIN + r")?|\\\r?\n[ \t]*+\\ |\r?\n[ \t]*+)"
# What follows "-----BEGIN " and "-----END " of a private key.
_KEY_LABEL = r"(?:[A-Z0-9]{1,16}" + _BLANK + r"){0,3}PRIVATE" + _BLANK + r"KEY(?:" + _BLANK + r"BLOCK)?-----"
# Key material: base64 and blanks, escaped line breaks (then maybe the next
# list item), and "/", "+" and "=" as JSON encoders may write them ("\/",
# "\u002F", "\u002B", "\u003D"), backslashes doubled per level of quoting;
# ``pprint`` cuts bytes anywhere, so within the material a literal joined to
# the next bytes literal goes on wherever it ends (a cut inside the BEGIN line
# or a header is not read across: see PRIVATE_KEY_BLOCK).
# The group is possessive and every piece starts where the one before ended,
# so the material is read once however long it is: no bound cuts a long block
# (an armored export of many PGP keys) short, and the common pieces ("\n",
# "\n', '", "\r\n", "\/") are plain literals, which cost nothing against
# PCRE2's match limit.
_KEY_MATERIAL = (
    r"""(?:[A-Za-z0-9+/=\s]++|\\n(?:', b?')?|\\r\\n|\\/|\\u00(?:2[bBfF]|3[dD])|\\{1,8}+(?:r\\{1,8}+n|n|/|u00(?:2[bBfF]|3[dD])|r)"""
    r"|(?<=\\[rn])" + _ITEM_SEP + r"""|['"]\s*+b['"]|(?<=\s)""" + _YAML_ITEM + r")*+"
)


class BuiltInMaskingRule(Enum):
    """The engine's built-in credential rules; each member's value is its pattern.

    Every pattern is anchored at a boundary and bounded, or reads what it
    repeats possessively, so that it does linear work on any text.
    """

    # PEM private keys of every flavour (PKCS#1/#8, EC, DSA, OpenSSH, encrypted,
    # PGP), with optional RFC 1421 headers, and the private lines of a PuTTY key
    # file (its public lines and MAC stay); a block cut off before its END line
    # is masked up to where the key material stops. The whole block is masked
    # when it is indented (a YAML block, a log's indented continuation lines),
    # quoted in JSON (also JSON inside JSON) or in a repr (a service-account
    # file, an echoed request body), printed as a list of its lines that keep
    # their line breaks (``readlines()``, ``splitlines(True)``), or folded by a
    # printer: ``pprint`` of a str (cut only at blanks), YAML's folded lines, a
    # blank line after each line. ``pprint`` of bytes cuts at any multiple of
    # four bytes: the block is masked when no cut falls inside the BEGIN line
    # or a header line, and not when one does (a narrow width or a deeply
    # nested value; a DEK-Info line is cut even at the default width): a cut
    # inside the BEGIN line leaves the block unmasked, a cut inside a header
    # masks it only up to the cut. Not masked either: a list of lines without
    # their line breaks (``splitlines()``), lines that each carry a prefix (a
    # log record or ``docker compose`` line per key line), line breaks written
    # as "%0A", "&#10;" or "<br>", and a key encoded whole (base64 in a
    # Kubernetes secret, YAML ``!!binary``). See _BLANK, _JOIN and
    # _KEY_MATERIAL for the forms its lines take.
    # PCRE2 writes a group out once per repetition its bound allows, so no group
    # here has a large bound (a rule too large for 8-bit code would put every
    # rule of its list on 32-bit code): a header value (up to 256 characters
    # before its line break, real or escaped) is measured by a look-ahead over
    # characters and read by a possessive group; a backslash in it (a Windows
    # path, or one escaped in JSON) is part of the value unless it starts an
    # escaped line break.
    PRIVATE_KEY_BLOCK = (
        r"(?:-----BEGIN" + _BLANK + _KEY_LABEL
        + r"(?:(?:[ \t\r\n]++|" + _LINE_BREAK + r"|" + _YAML_ITEM + r"){0,4}+[A-Za-z][A-Za-z-]{0,30}:" + _BLANK
        + r"(?=[^\r\n]{0,256}?(?:[\r\n]|\\[rn]))(?:[^\r\n\\]++|\\++(?![rn]))*+"
        + _LINE_BREAK + r"){0,8}"
        + r"|Private-Lines:" + _BLANK + r"[0-9]{1,4}+(?=\r?\n|" + _ESCAPED_BREAK + r"))"
        + _KEY_MATERIAL
        + r"(?:-----END" + _BLANK + _KEY_LABEL + r")?"
    )
    # The value of an Authorization / Proxy-Authorization header in raw HTTP,
    # JSON, a printed dict or key=value form. The scheme stays visible; a
    # single-token scheme (Bearer, Basic, ...) masks its token, any other value
    # is masked to the end of the line or the closing quote.
    AUTHORIZATION_HEADER = (
        _KEY_START + r"(?i:(?:proxy-)?authorization)" + _KV_SEP + r"""["']?"""
        r"(?:(?i:bearer|basic|token|apikey|negotiate|ntlm)([ \t]{1,8})"
        r"|(?i:aws4-hmac-sha256|digest|hmac)[ \t]{1,8}"
        r"|(?!(?i:bearer|basic|token|apikey|negotiate|ntlm|aws4-hmac-sha256|digest|hmac)[ \t]))"
        r"(?P<secret>" + _NOT_PLACEHOLDER + r"""(?(1)[^\s"',;[]{1,4096}|[^\s"'][^\r\n"']{0,4095}))"""
    )
    # RFC 6750 bearer tokens; a token holds a digit, so "Bearer realm" is prose.
    BEARER_TOKEN = (
        _KEY_START + r"(?i:bearer)(?:[ \t]|%20){1,8}(?=[A-Za-z._~+/-]{0,4096}[0-9])"
        r"(?P<secret>[A-Za-z0-9._~+/-]{8,4096}=*)"
    )
    # RFC 7617 basic credentials: base64 of "user:password" after "Basic"; a
    # token running into "[" (a placeholder) is not taken for a whole one.
    BASIC_CREDENTIALS = (
        _KEY_START + r"(?i:basic)[ \t]{1,8}"
        r"(?=[A-Za-z+/]{0,4096}[0-9+/=]|[A-Za-z0-9+/]{1,4096}[A-Z])"
        r"(?P<secret>(?:[A-Za-z0-9+/]{4}){2,1024}(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?)"
        r"(?![A-Za-z0-9+/=[])"
    )
    # User and password of a database / broker URI (postgres://u:p@host,
    # mongodb+srv://..., redis://:p@...; schemes in lower case, as drivers
    # write them), or Password=/Pwd= of an ADO.NET / ODBC connection string
    # (Server=...;User Id=...;Password=...;): after a ";" or followed by one.
    CONN_STRING_CREDS = (
        r"(?:" + _KEY_START + r"((?:postgres(?:ql)?|mysql|mariadb|mongodb(?:\+srv)?|rediss?|amqps?|mssql|sqlserver"
        r"|oracle|clickhouse|cockroachdb|snowflake|db2|couchbases?|neo4j(?:\+s)?|nats|kafka|ldaps?"
        r"|s?ftp)(?:\+[a-z0-9]{1,16})?://)"
        r"|(?i:(?:(;[ \t]?)|" + _KEY_START + r")(?:password|pwd)[ \t]{0,16}=[ \t]{0,16}(?![ \t])))"
        r"(?P<secret>(?(1)[^\s/:@]{0,256}:[^\s/@]{1,256}(?=@)|"
        + _NOT_PLACEHOLDER + r"(?>[^;\r\n\"']{1,128})(?(2)|(?=;))))"
    )
    # Signature, credential and session token of an AWS SigV4 presigned URL.
    AWS_SIGV4_QS = (
        _KEY_START + r"(?i:X-Amz-(?:Signature|Credential|Security-Token)=)"
        r"(?P<secret>" + _NOT_PLACEHOLDER + r"""[^&\s"'<>#[]{1,4096})"""
    )
    # E2B API keys: "e2b_" and 40 hex digits.
    E2B_KEY = _KEY_START + r"e2b_[0-9a-fA-F]{40}" + _KEY_END
    # OpenAI keys: legacy "sk-" keys and project / service-account / admin keys.
    OPENAI_KEY = _KEY_START + r"sk-(?!ant-|or-)(?:(?:proj|svcacct|admin|None)-)?[A-Za-z0-9_-]{20,}"
    # Anthropic keys: "sk-ant-api03-...", "sk-ant-admin01-...", "sk-ant-oat01-...".
    ANTHROPIC_KEY = _KEY_START + r"sk-ant-[a-z]{2,10}[0-9]{2}-[A-Za-z0-9_-]{20,}"
    # OpenRouter keys: "sk-or-v1-" and 64 hex digits.
    OPENROUTER_KEY = _KEY_START + r"sk-or-v1-[0-9a-f]{64}" + _KEY_END
    # AWS access key ids: long-term (AKIA), temporary (ASIA) and similar.
    AWS_ACCESS_KEY_ID = _KEY_START + r"(?:AKIA|ASIA|ABIA|ACCA)[A-Z0-9]{16}" + _KEY_END
    # AWS secret access keys (40 base64 characters) after their usual key names,
    # or right after an access key id, masked or not ("AKIA...:secret").
    AWS_SECRET_KEY = (
        r"(?:" + _KEY_START + r"(?i:(?:(?:aws_?)?secret_?access_?key|aws_?secret_?key|secret_?key))" + _KV_SEP
        + r"""["']?|(?:\[MASKED AWS_ACCESS_KEY_ID\]|""" + _KEY_START + r"(?:AKIA|ASIA|ABIA|ACCA)[A-Z0-9]{16}" + _KEY_END
        + r""")[ \t:,;|=/"']{1,4})"""
        r"(?P<secret>[A-Za-z0-9/+]{40})(?![A-Za-z0-9/+=])"
    )
    # GitHub classic tokens: personal (ghp_), OAuth (gho_), user-to-server
    # (ghu_), server-to-server (ghs_) and refresh (ghr_).
    GITHUB_PAT_CLASSIC = _KEY_START + r"gh[pousr]_[A-Za-z0-9]{36,251}" + _KEY_END
    # GitHub fine-grained personal access tokens.
    GITHUB_PAT_FINE = _KEY_START + r"github_pat_[A-Za-z0-9]{22}_[A-Za-z0-9]{59}" + _KEY_END
    # Google API keys.
    GOOGLE_API_KEY = _KEY_START + r"AIza[0-9A-Za-z_-]{35}(?![0-9A-Za-z_-])"
    # Hugging Face user access tokens.
    HUGGINGFACE_TOKEN = _KEY_START + r"hf_[A-Za-z0-9]{34,}" + _KEY_END
    # Slack bot, user, app, refresh and configuration tokens.
    SLACK_TOKEN = _KEY_START + r"(?:xox[abposre]|xapp)-[0-9A-Za-z-]{10,}"
    # JSON Web Tokens: three base64url segments, the header a JSON object.
    JWT = _JWT_START + r"eyJ[A-Za-z0-9_-]{5,}\.[A-Za-z0-9_-]{5,}\.[A-Za-z0-9_-]*"
    # password=, api_key: "...", client_secret=..., "token": "..." and the like,
    # in env, query-string, JSON, YAML and log forms; the key stays visible.
    GENERIC_CREDENTIAL_KV = (
        r"(?i:passw(?:or)?d|passphrase|secret(?:[_-]?key)?|api[_-]?key|access[_-]?key"
        r"|private[_-]?key|token|credentials?)" + _KV_SEP
        + r"(?P<secret>" + _NOT_PLACEHOLDER + _QUOTED_PLACEHOLDER
        + r"""(?:"[^"\r\n]{1,1024}"|'[^'\r\n]{1,1024}'|(?!["'])[^\s"',;&)}\][]{1,1024}))"""
    )
    # E-mail addresses. An address must stand apart from its neighbours on
    # both sides (a sentence's closing "." is fine), so that what follows a
    # masked address can never start an address of its own on a second pass.
    EMAIL = (
        r"(?<![\w.+%-])[A-Za-z0-9._%+-]{1,64}@"
        r"[A-Za-z0-9-]{1,63}(?:\.[A-Za-z0-9-]{1,63}){0,8}\.[A-Za-z]{2,24}(?![\w+%-])(?!\.[\w.+%-])"
    )

    @property
    def pattern(self) -> str:
        """The rule's pattern."""
        return self.value


class CompiledMaskingRule:
    """A rule compiled once (PCRE2, JIT where available) and shareable between threads.

    Build it with ``from_masking_rule``. ``name`` and ``pattern`` are the
    rule's, ``replacement`` is the placeholder written over its matches.
    """

    __slots__ = ("_native", "name", "pattern", "replacement")

    name: str
    pattern: str
    replacement: str

    def __init__(self, name: str, pattern: str) -> None:
        rule = MaskingRule(name=name, pattern=pattern)
        replacement = placeholder(rule.name)
        try:
            native = _masking.Pattern(rule.name, rule.pattern, replacement)
        except _masking.PatternError as exc:
            rule_name, reason, offset = exc.args
            raise MaskingRuleError(rule_name, reason, offset) from None
        object.__setattr__(self, "name", rule.name)
        object.__setattr__(self, "pattern", rule.pattern)
        object.__setattr__(self, "replacement", replacement)
        object.__setattr__(self, "_native", native)

    @classmethod
    def from_masking_rule(cls, rule: MaskingRule | BuiltInMaskingRule) -> CompiledMaskingRule:
        """Compile an own ``MaskingRule`` or a ``BuiltInMaskingRule`` member.

        Raises ``MaskingRuleError`` naming the rule, PCRE2's message and the
        offset in the pattern when the pattern does not compile, and
        ``TypeError`` for anything that is not a rule.
        """
        if isinstance(rule, (MaskingRule, BuiltInMaskingRule)):
            return cls(rule.name, rule.pattern)
        raise TypeError(f"expected a MaskingRule or BuiltInMaskingRule, got {type(rule).__name__}")

    @property
    def jit(self) -> bool:
        """Whether PCRE2's JIT compiled the pattern (else the interpreter runs it)."""
        return self._native.jit

    @property
    def ascii(self) -> bool:
        """Whether ASCII texts run on the rule's 8-bit code, read in place.

        A rule that PCRE2 cannot compile (or JIT-compile) as 8-bit code runs
        on 32-bit code only, and a list of rules runs ASCII texts on 8-bit
        code only when every rule of it can: one such rule slows every text.
        """
        return self._native.ascii

    def __reduce__(self):
        # The native pattern cannot be pickled; the rule is compiled again.
        return (type(self), (self.name, self.pattern))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def __repr__(self) -> str:
        return f"CompiledMaskingRule(name={self.name!r}, pattern={self.pattern!r})"
