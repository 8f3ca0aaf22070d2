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
