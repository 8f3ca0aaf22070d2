"""Built-in rules against realistic fake credentials and near misses."""

from __future__ import annotations

import pytest

from vorn_core.masking import BuiltInMaskingRule, CompiledMaskingRule, mask_text, placeholder

import reference_engine as ref
from masking_corpus import CASES, NEAR_MISSES, PROVIDER_ORDER

PROVIDER = tuple(CompiledMaskingRule.from_masking_rule(r) for r in PROVIDER_ORDER)
REF_PROVIDER = tuple(ref.ReferenceRule.from_masking_rule(r) for r in PROVIDER_ORDER)


def _ids(case):
    return case[0].name


def test_corpus_covers_every_built_in_rule_several_times():
    counts = {rule: 0 for rule in BuiltInMaskingRule}
    for rule, _secret, _text in CASES:
        counts[rule] += 1
    assert min(counts.values()) >= 2, counts


@pytest.mark.parametrize("case", CASES, ids=_ids)
def test_rule_alone_masks_its_credential(case):
    rule, secret, text = case
    rules = [rule]
    compiled = [CompiledMaskingRule.from_masking_rule(r) for r in rules]
    masked = mask_text(text, compiled)
    assert secret not in masked
    assert placeholder(rule.name) in masked
    assert masked == ref.mask_text(text, [ref.ReferenceRule.from_masking_rule(r) for r in rules])


@pytest.mark.parametrize("case", CASES, ids=_ids)
def test_provider_order_masks_credential_and_reaches_a_fixed_point(case):
    _rule, secret, text = case
    masked = mask_text(text, PROVIDER)
    assert secret not in masked
    assert mask_text(masked, PROVIDER) == masked
    assert masked == ref.mask_text(text, REF_PROVIDER)


@pytest.mark.parametrize(
    ("rule", "text", "expected"),
    [
        (
            BuiltInMaskingRule.AUTHORIZATION_HEADER,
            "{'Authorization': 'Bearer abc123def456', 'Accept': 'json'}",
            "{'Authorization': 'Bearer [MASKED AUTHORIZATION_HEADER]', 'Accept': 'json'}",
        ),
        (
            BuiltInMaskingRule.AUTHORIZATION_HEADER,
            "Authorization: AWS4-HMAC-SHA256 Credential=x, Signature=y\nHost: h",
            "Authorization: AWS4-HMAC-SHA256 [MASKED AUTHORIZATION_HEADER]\nHost: h",
        ),
        (
            BuiltInMaskingRule.CONN_STRING_CREDS,
            "postgresql://app:pw@db:5432/x",
            "postgresql://[MASKED CONN_STRING_CREDS]@db:5432/x",
        ),
        (
            BuiltInMaskingRule.CONN_STRING_CREDS,
            "Server=db;User Id=sa;Password=p w;Encrypt=True",
            "Server=db;User Id=sa;Password=[MASKED CONN_STRING_CREDS];Encrypt=True",
        ),
        (
            BuiltInMaskingRule.GENERIC_CREDENTIAL_KV,
            'x {"api_key": "a b", "n": 1} password=pw1 DB_PASSWORD = secret9;',
            'x {"api_key": [MASKED GENERIC_CREDENTIAL_KV], "n": 1} password=[MASKED GENERIC_CREDENTIAL_KV] '
            "DB_PASSWORD = [MASKED GENERIC_CREDENTIAL_KV];",
        ),
        (
            BuiltInMaskingRule.AWS_SIGV4_QS,
            "u?X-Amz-Date=20240101T000000Z&X-Amz-Signature=abc123&x=1",
            "u?X-Amz-Date=20240101T000000Z&X-Amz-Signature=[MASKED AWS_SIGV4_QS]&x=1",
        ),
    ],
)
def test_key_and_context_stay_visible(rule, text, expected):
    assert mask_text(text, [CompiledMaskingRule.from_masking_rule(rule)]) == expected


@pytest.mark.parametrize("text", NEAR_MISSES)
def test_near_misses_stay_untouched(text):
    assert mask_text(text, PROVIDER) == text


@pytest.mark.parametrize(
    "text",
    [
        "password=[SECRET] token: [MASKED API_KEY] Authorization: Bearer [SECRET]",
        'secret="[MASKED EMAIL]" Password=[SECRET]; X-Amz-Signature=[SECRET]',
        "Authorization := [MASKED AUTHORIZATION_HEADER] and api_key =>  [SECRET]",
    ],
)
def test_values_that_are_placeholders_are_not_masked_again(text):
    assert mask_text(text, PROVIDER) == text


def test_all_cases_in_one_text_reach_a_fixed_point():
    text = "\n---\n".join(case[2] for case in CASES)
    masked = mask_text(text, PROVIDER)
    for _rule, secret, _text in CASES:
        assert secret not in masked
    assert mask_text(masked, PROVIDER) == masked
    assert masked == ref.mask_text(text, REF_PROVIDER)
