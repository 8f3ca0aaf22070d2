"""Template builder for AWS Bedrock AgentCore, which has no template mechanism."""

from vorn_tools.code_interpreter.code_template.models import (
    SandboxProvider,
    TemplateBuildResult,
    TemplateBuildStatus,
    TemplateSpec,
)
from vorn_tools.code_interpreter.code_template.template_builder import BaseTemplateBuilder
from vorn_tools.code_interpreter.redaction import get_redacting_logger

logger = get_redacting_logger(__name__)

_UNSUPPORTED_DETAIL = (
    "Bedrock AgentCore has no template mechanism; install packages per session via "
    "BedrockAgentCoreSandbox.execute_command('pip install ...')."
)


class BedrockTemplateBuilder(BaseTemplateBuilder):
    """Refuses every build: the AgentCore code interpreter is fixed and managed by AWS."""

    @property
    def provider(self) -> SandboxProvider:
        return SandboxProvider.BEDROCK

    @property
    def supports_build(self) -> bool:
        return False

    def is_usable(self, template_id: str) -> bool:
        return False

    def build(self, spec: TemplateSpec) -> TemplateBuildResult:
        return TemplateBuildResult(status=TemplateBuildStatus.UNSUPPORTED, detail=_UNSUPPORTED_DETAIL)
