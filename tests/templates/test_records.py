"""Template records and registry credentials: validation, secrets, deprecated fields."""

from __future__ import annotations

import subprocess
import sys
import warnings

import pytest
from pydantic import ValidationError

from vorn_tools.code_interpreter.code_template import (
    AwsAuth, BasicAuth, SandboxProvider, TemplateBuildResult, TemplateBuildStatus, TemplateRef, TemplateSpec,
)
from vorn_tools.code_interpreter.code_template.models import GcpAuth
from vorn_tools.code_interpreter.redaction import register_secret

AWS = {"type": "aws", "access_key_id": "AKID", "secret_access_key": "s3cret-key", "region": "eu-west-1"}


@pytest.mark.parametrize(("fields", "error"), [
    ({"cpu_count": 0}, "greater than or equal"),
    ({"memory_mb": 127}, "greater than or equal"),
    ({"cpu_count": 1.5}, "integer"),
    ({"image": "i", "registry_auth": {k: v for k, v in AWS.items() if k != "region"}}, "region"),
    ({"image": "i", "registry_auth": {"username": "u", "password": "p"}}, "discriminator"),
    ({"base_template": "b", "registry_auth": AWS}, "registry_auth requires 'image'"),
])
def test_invalid_specs_are_refused(fields, error) -> None:
    with pytest.raises(ValidationError, match=error):
        TemplateSpec(template_id="t", **fields)


def test_valid_spec_and_credentials() -> None:
    spec = TemplateSpec(template_id="t", image="", registry_auth=AWS, cpu_count=1, memory_mb=128, imag="x")
    assert isinstance(spec.registry_auth, AwsAuth) and spec.registry_auth.reveal_secret_key() == "s3cret-key"
    basic = BasicAuth(username="u", password="hunter2-pass")
    assert "hunter2" not in repr(basic) + basic.model_dump_json() and basic.reveal_password() == "hunter2-pass"
    ref = TemplateRef(provider="e2b", value="alias")
    assert TemplateRef.model_validate_json(ref.model_dump_json()) == ref and ref.provider == "e2b"
    assert TemplateBuildStatus.SUCCESS != "success"
    with pytest.raises(ValidationError):
        TemplateRef(provider="E2B", value="x")


def test_result_detail_is_masked_and_logs_are_not() -> None:
    register_secret("template-secret-123")
    result = TemplateBuildResult(status=TemplateBuildStatus.FAILED, detail="no template-secret-123",
                                 logs="template-secret-123")
    assert (result.detail, result.logs) == ("no [SECRET]", "template-secret-123")


def test_deprecated_fields_warn_for_the_host_only() -> None:
    spec = TemplateSpec(template_id="t", dockerfile="FROM x")  # construction does not warn
    with pytest.warns(DeprecationWarning, match="use 'image'"):
        assert spec.base_template is None
    # The library's own builders read them with warnings as errors in force.
    code = ("import warnings; warnings.simplefilter('error')\n"
            "from vorn_tools.code_interpreter.code_template import TemplateSpec\n"
            "from vorn_tools.code_interpreter.code_template.bedrock_template_builder import BedrockTemplateBuilder\n"
            "from vorn_tools.code_interpreter.code_template.e2b_template_builder import E2BTemplateBuilder as E\n"
            "spec = TemplateSpec(template_id='t', dockerfile='FROM python:3.12', base_template='b')\n"
            "assert E()._create_template(spec) is not None\n"
            "assert BedrockTemplateBuilder().ensure(spec).status.value == 'unsupported'\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize(("kind", "expected"), [
    ("file", '{"a": 1}\n{"b": 2}\n'), ("inline", '{"inline": true}'), ("missing", "missing"),
    ("directory", "directory"), ("empty", ""),
])
def test_service_account_json_resolution(tmp_path, monkeypatch, kind, expected) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_bytes(b'{"a": 1}\r\n{"b": 2}\r\n')
    (tmp_path / "directory").mkdir()
    value = {"inline": '{"inline": true}', "empty": ""}.get(kind, kind)
    assert GcpAuth(service_account_json=value).resolved_service_account_json() == expected


def test_service_account_file_that_is_not_utf8_raises(tmp_path) -> None:
    (tmp_path / "key.json").write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        GcpAuth(service_account_json=str(tmp_path / "key.json")).resolved_service_account_json()
