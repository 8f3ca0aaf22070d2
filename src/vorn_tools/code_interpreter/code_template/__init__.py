"""Sandbox template builders: records and the builder contract.

The concrete builders are imported from their own modules
(``e2b_template_builder``, ``opensandbox_template_builder``,
``bedrock_template_builder``), so importing this package loads no provider SDK.
"""

from vorn_tools.code_interpreter.code_template.models import (
    AwsAuth,
    BasicAuth,
    GcpAuth,
    RegistryAuth,
    SandboxProvider,
    TemplateBuildResult,
    TemplateBuildStatus,
    TemplateRef,
    TemplateSpec,
)
from vorn_tools.code_interpreter.code_template.template_builder import BaseTemplateBuilder

__all__ = [
    "AwsAuth",
    "BaseTemplateBuilder",
    "BasicAuth",
    "GcpAuth",
    "RegistryAuth",
    "SandboxProvider",
    "TemplateBuildResult",
    "TemplateBuildStatus",
    "TemplateRef",
    "TemplateSpec",
]
