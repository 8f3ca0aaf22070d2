"""Built-in rules against realistic fake credentials and near misses."""

from __future__ import annotations

from collections import Counter

import pytest

from vorn_core.masking import BuiltInMaskingRule as B
from vorn_core.masking import CompiledMaskingRule, mask_text, placeholder

from masking_corpus import CASES, NEAR_MISSES, PROVIDER_ORDER
from reference_engine import ReferenceRule
from reference_engine import mask_text as reference_mask_text

PROVIDER = [CompiledMaskingRule.from_masking_rule(r) for r in PROVIDER_ORDER]


@pytest.mark.parametrize("case", CASES, ids=lambda case: case[0].name)
def test_each_rule_alone_masks_its_credentials(case):
    rule, secret, text = case
    masked = mask_text(text, [CompiledMaskingRule.from_masking_rule(rule)])
    assert secret not in masked and placeholder(rule.name) in masked
    assert masked == reference_mask_text(text, ReferenceRule.of([rule]))


def test_provider_order_masks_the_whole_corpus_to_a_fixed_point():
    assert min(Counter(case[0] for case in CASES)[rule] for rule in B) >= 2
    text = "\n---\n".join(case[2] for case in CASES)
    masked = mask_text(text, PROVIDER)
    assert [secret for _, secret, _ in CASES if secret in masked] == []
    assert mask_text(masked, PROVIDER) == masked
    assert masked == reference_mask_text(text, ReferenceRule.of(PROVIDER_ORDER))


@pytest.mark.parametrize(
    ("rule", "text", "expected"),
    [
        (B.AUTHORIZATION_HEADER, "{'Authorization': 'Bearer abc123def456', 'Accept': 'json'}",
         "{'Authorization': 'Bearer [MASKED AUTHORIZATION_HEADER]', 'Accept': 'json'}"),
        (B.CONN_STRING_CREDS, "postgresql://app:pw@db:5432/x", "postgresql://[MASKED CONN_STRING_CREDS]@db:5432/x"),
        (B.CONN_STRING_CREDS, "Server=db;User Id=sa;Password=p w;Encrypt=True",
         "Server=db;User Id=sa;Password=[MASKED CONN_STRING_CREDS];Encrypt=True"),
        (B.GENERIC_CREDENTIAL_KV, 'x {"api_key": "a b", "n": 1} DB_PASSWORD = secret9;',
         'x {"api_key": [MASKED GENERIC_CREDENTIAL_KV], "n": 1} DB_PASSWORD = [MASKED GENERIC_CREDENTIAL_KV];'),
        (B.AWS_SIGV4_QS, "u?X-Amz-Date=20240101T000000Z&X-Amz-Signature=abc123&x=1",
         "u?X-Amz-Date=20240101T000000Z&X-Amz-Signature=[MASKED AWS_SIGV4_QS]&x=1"),
    ],
)  # fmt: skip
def test_keys_and_context_stay_visible(rule, text, expected):
    assert mask_text(text, [CompiledMaskingRule.from_masking_rule(rule)]) == expected


@pytest.mark.parametrize(
    "text",
    [
        *NEAR_MISSES,
        # Values that are already placeholders are not masked again.
        "password=[SECRET] token: [MASKED API_KEY] Authorization: Bearer [SECRET]",
        'secret="[MASKED EMAIL]" Password=[SECRET]; X-Amz-Signature=[SECRET]',
        "Authorization := [MASKED AUTHORIZATION_HEADER] and api_key =>  [SECRET]",
    ],
)
def test_near_misses_and_placeholders_stay_untouched(text):
    assert mask_text(text, PROVIDER) == text
