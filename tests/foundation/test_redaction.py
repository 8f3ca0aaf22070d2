"""Secret registry, ``redact`` and the library's own masking rules."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator

import pytest
from vorn_core.masking.rules import CompiledMaskingRule
from vorn_core.masking.text import mask_text

from vorn_tools.code_interpreter import redaction
from vorn_tools.code_interpreter.redaction import redact, register_secret

E2B_KEY = "e2b_0123456789abcdef0123456789abcdef01234567"


@pytest.mark.parametrize(
    ("registrations", "stored"),
    [
        ([None, "", "7-chars", " " * 12, "\t\n" * 5], []),
        (["8-chars!", " padded secret ", "8-chars!"], [" padded secret ", "8-chars!"]),
    ],
    ids=["ignored", "stored-unchanged-once"],
)
def test_register_secret(fresh_registry: redaction._SecretRegistry, registrations: list, stored: list[str]) -> None:
    for value in registrations:
        register_secret(value)
    assert fresh_registry.values == tuple(stored)


@pytest.mark.parametrize("order", [("abcdefgh", "abcdefghij"), ("abcdefghij", "abcdefgh")])
def test_longer_value_is_replaced_whole_whatever_the_registration_order(
    fresh_registry: redaction._SecretRegistry, order: tuple[str, str]
) -> None:
    for value in order:
        register_secret(value)
    assert fresh_registry.values == ("abcdefghij", "abcdefgh")
    assert redact("key=abcdefghij; short abcdefgh.") == "key=[SECRET]; short [SECRET]."


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("nothing to see here, status 500", "nothing to see here, status 500"),
        ("upstream rejected Zq81LmXp3 twice: Zq81LmXp3!", "upstream rejected [SECRET] twice: [SECRET]!"),
        ("upstream rejected zQ81lMxP3", "upstream rejected zQ81lMxP3"),  # exact, case-sensitive
        ("", ""),
        # Registered values go first: the key-shape rules see only the placeholder.
        (f"401: invalid key {E2B_KEY} for team", "401: invalid key [SECRET] for team"),
    ],
)
def test_registered_values_are_replaced_exactly(text: str, expected: str) -> None:
    register_secret("Zq81LmXp3")
    register_secret(E2B_KEY)
    assert redact(text) == expected


@pytest.mark.parametrize(
    ("call", "bad"),
    [(register_secret, b"bytes-secret-value"), (register_secret, 12345678), (redact, None), (redact, b"raw")],
)
def test_non_strings_are_refused_with_a_clear_error(
    fresh_registry: redaction._SecretRegistry, call: object, bad: object
) -> None:
    # A registered non-string would make every later redact() in the process raise.
    with pytest.raises(TypeError, match=rf"{call.__name__}\(\) expects a str"):  # type: ignore[attr-defined]
        call(bad)  # type: ignore[operator]
    assert fresh_registry.values == ()


@pytest.fixture
def frequent_thread_switches() -> Iterator[None]:
    """Switch threads every microsecond so that unguarded races actually show up."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.usefixtures("frequent_thread_switches")
def test_concurrent_registrations_and_redactions(fresh_registry: redaction._SecretRegistry) -> None:
    # Writers lose nothing; a reader always sees a whole snapshot, so a value
    # registered before it started is always masked.
    register_secret("baseline-secret-0001")
    done, bad_reads = threading.Event(), []

    def write(worker: int) -> None:
        for i in range(100):
            register_secret(f"secret-{worker:02d}-{i:04d}" + "x" * (i % 7))

    def read() -> None:
        while not done.is_set():
            if (out := redact("a baseline-secret-0001 b")) != "a [SECRET] b":
                bad_reads.append(out)

    writers = [threading.Thread(target=write, args=(n,)) for n in range(8)]
    readers = [threading.Thread(target=read) for _ in range(4)]
    for thread in readers + writers:
        thread.start()
    for thread in writers:
        thread.join(timeout=60)
    done.set()
    for thread in readers:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in readers + writers)
    values = fresh_registry.values
    assert len(set(values)) == len(values) == 8 * 100 + 1
    assert [len(v) for v in values] == sorted((len(v) for v in values), reverse=True)
    assert bad_reads == []


@pytest.mark.usefixtures("failing_engine")
@pytest.mark.parametrize(("kwargs", "expected"), [({}, "[REDACTION FAILED]"), ({"fallback": "<masked>"}, "<masked>")])
def test_rule_failure_returns_the_fallback_never_the_text(kwargs: dict[str, str], expected: str) -> None:
    register_secret("registered-secret")
    assert redact("raw registered-secret sk-live-abcdef123456", **kwargs) == expected


# --- the library's own rules, each run alone through the engine ---------------

URL, SK, KV = redaction._URL_CREDENTIALS, redaction._SK_STYLE_KEY, redaction._SINGLE_QUOTED_CREDENTIAL_KV
KV_KEYS = ["'API_KEY'", "'api-key'", "'apikey'", "'Client_Secret'", "'CLIENT_SECRET'", "'x-refresh-Token'",
           "'db_password'", "'aws_credential'"]  # fmt: skip


def _mask_with(rule: redaction.MaskingRule, text: str) -> str:
    return mask_text(text, (CompiledMaskingRule.from_masking_rule(rule),))


@pytest.mark.parametrize(
    ("rule", "prefix", "secret", "suffix"),
    [
        (URL, "https://", "alice:s3cr3t@", "example.com/path"),
        (URL, "postgres://", "svc:p%40ss@", "10.0.0.5:5432/db"),
        (URL, "redis://", "default:abc@", "cache:6379"),
        (SK, "key ", "sk-abc123", " rejected"),
        (SK, "key ", "sk-abc_-9Z", " rejected"),
        *((KV, "{", f"{key} : 'abc123'", ", 'region': 'eu'}") for key in KV_KEYS),
        (KV, "{", "'token':'abc123'", "}"),
    ],
)
def test_own_rule_masks_exactly_the_credential(
    rule: redaction.MaskingRule, prefix: str, secret: str, suffix: str
) -> None:
    out = _mask_with(rule, prefix + secret + suffix)
    assert out.startswith(prefix) and out.endswith(suffix)
    middle = out[len(prefix) : len(out) - len(suffix)]
    assert middle and not any(part in middle for part in secret.replace("'", " ").replace(":", " ").split())


@pytest.mark.parametrize(
    ("rule", "text"),
    [
        (URL, "https://example.com/path?q=1"),
        (URL, "mailto:user@example.com"),
        (URL, "see user:pw@host without scheme"),
        (SK, "key sk-abc12 rejected"),  # five characters only
        (SK, "key task-abcdefgh rejected"),  # no word boundary before "sk-"
        (KV, "'tokenizer': 'abc123'"),
        (KV, "'api_keys_list': 'abc123'"),
        (KV, '"api_key": "abc123"'),
        (KV, "'api_key': ''"),
    ],
)
def test_own_rule_leaves_near_misses(rule: redaction.MaskingRule, text: str) -> None:
    assert _mask_with(rule, text) == text
