"""The ensure flow over any builder, and the Bedrock refusal."""

from __future__ import annotations

import logging

import pytest

from vorn_tools.code_interpreter.code_template import (
    BaseTemplateBuilder, SandboxProvider, TemplateBuildResult, TemplateBuildStatus, TemplateSpec,
)
from vorn_tools.code_interpreter.code_template.bedrock_template_builder import BedrockTemplateBuilder
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import register_secret

FAILED, SKIPPED, SUCCESS = TemplateBuildStatus.FAILED, TemplateBuildStatus.SKIPPED, TemplateBuildStatus.SUCCESS


class ScriptedBuilder(BaseTemplateBuilder):
    """Usability answers in order, and one build outcome (a result or an exception)."""

    provider = SandboxProvider.E2B
    supports_build = True

    def __init__(self, usable: list[bool], outcome) -> None:
        self.usable, self.outcome, self.builds = list(usable), outcome, 0

    def is_usable(self, template_id: str) -> bool:
        return self.usable.pop(0)

    def build(self, spec: TemplateSpec) -> TemplateBuildResult:
        self.builds += 1
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return TemplateBuildResult(status=self.outcome, detail="built" if self.outcome is SUCCESS else "broke")


@pytest.mark.parametrize(("force", "usable", "outcome", "status", "detail", "builds"), [
    (False, [True], SUCCESS, SKIPPED, "already usable", 0),
    (True, [], FAILED, FAILED, "broke", 1),  # forced: no re-check although it would resolve
    (False, [False, True], FAILED, SKIPPED, "usable after failed build (concurrent build?)", 1),
    (False, [False, False], FAILED, FAILED, "broke", 1),
    (False, [False], SUCCESS, SUCCESS, "built", 1),
])
def test_ensure_outcomes(force, usable, outcome, status, detail, builds) -> None:
    builder = ScriptedBuilder(usable, outcome)
    result = builder.ensure(TemplateSpec(template_id="tpl", force_rebuild=force))
    assert (result.status, result.detail, result.stage, builder.builds) == (status, detail, None, builds)
    if status is SKIPPED:
        assert (result.template_ref.provider, result.template_ref.value) == ("e2b", "tpl")


@pytest.mark.parametrize(("error", "stage"), [
    (ValueError("bad key ensure-secret-42"), Stage.TEMPLATE_BUILD),
    (SandboxStartError("start refused ensure-secret-42", stage=Stage.CREATE), Stage.CREATE),
])
def test_ensure_turns_exceptions_into_failed_results(caplog, error, stage) -> None:
    register_secret("ensure-secret-42")
    with caplog.at_level(logging.WARNING):
        result = ScriptedBuilder([False], error).ensure(TemplateSpec(template_id="tpl"))
    assert (result.status, result.stage, result.template_ref) == (FAILED, stage, None)
    assert "[SECRET]" in result.detail and "ensure-secret-42" not in result.detail
    (record,) = [r for r in caplog.records if r.name.endswith("template_builder")]
    assert record.error_code == stage and "ensure-secret-42" not in record.getMessage() + (record.exc_text or "")


@pytest.mark.parametrize("force", [False, True])
def test_bedrock_refuses_every_build(force) -> None:
    builder = BedrockTemplateBuilder()
    result = builder.ensure(TemplateSpec(template_id="", image="i", packages=["x"], force_rebuild=force))
    assert (result.status, result.template_ref, builder.supports_build) == (TemplateBuildStatus.UNSUPPORTED, None, False)
    assert result.detail.startswith("Bedrock AgentCore has no template mechanism")
