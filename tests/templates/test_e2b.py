"""The E2B builder: real Template definitions offline, and builds through the E2B stand-in."""

from __future__ import annotations

import json
import logging

import pytest
from e2b import Template

from vorn_tools.code_interpreter.code_sandbox.constants import E2BConfig
from vorn_tools.code_interpreter.code_template import TemplateBuildStatus, TemplateSpec
from vorn_tools.code_interpreter.code_template.e2b_template_builder import E2BTemplateBuilder

PORT_CHECK = '[ -n "$(ss -Htuln sport = :49999)" ]'
DEFAULT_START = "sudo /root/.jupyter/start-up.sh"
KEY = {"type": "service_account", "private_key": "-----BEGIN KEY-----abc"}


def _definition(**fields) -> dict:
    return json.loads(Template.to_json(E2BTemplateBuilder()._create_template(TemplateSpec(template_id="t", **fields))))


@pytest.mark.parametrize(("fields", "expected"), [
    ({"image": "py:3", "dockerfile": "FROM x", "packages": ["numpy>=1.26", "pandas==2.2.2", "--pre"]},
     {"fromImage": "py:3", "steps": ["pip install -q -- 'numpy>=1.26' pandas==2.2.2 --pre"],
      "startCmd": DEFAULT_START, "readyCmd": PORT_CHECK}),
    ({"image": "py:3", "start_cmd": "", "ready_cmd": "test -f /ok", "packages": []},
     {"fromImage": "py:3", "steps": [], "startCmd": DEFAULT_START, "readyCmd": "test -f /ok"}),
    ({"base_template": "base", "start_cmd": "run me"},
     {"fromTemplate": "base", "steps": [], "startCmd": "run me", "readyCmd": PORT_CHECK}),
    ({"image": "", "base_template": "base", "ready_cmd": "dropped"}, {"fromTemplate": "base", "steps": []}),
])
def test_definition(fields, expected) -> None:
    body = _definition(**fields)
    body["steps"] = [arg for step in body["steps"] for arg in step["args"]]
    assert {key: body.get(key) for key in expected} == expected
    assert {"startCmd", "readyCmd"} & body.keys() <= expected.keys()


@pytest.mark.parametrize(("auth", "registry"), [
    ({"type": "basic", "username": "u", "password": "pw"}, {"type": "registry", "username": "u", "password": "pw"}),
    ({"type": "aws", "access_key_id": "AK", "secret_access_key": "SK", "region": "r"},
     {"type": "aws", "awsAccessKeyId": "AK", "awsSecretAccessKey": "SK", "awsRegion": "r"}),
    ({"type": "gcp", "service_account_json": json.dumps(KEY)}, {"type": "gcp", "serviceAccountJson": json.dumps(KEY)}),
    ({"type": "gcp", "service_account_json": "FILE"}, {"type": "gcp", "serviceAccountJson": json.dumps(KEY)}),
])
def test_registry_credentials_reach_the_sdk(tmp_path, auth, registry) -> None:
    (key_file := tmp_path / "key.json").write_text(json.dumps(KEY))
    if auth.get("service_account_json") == "FILE":
        auth = {**auth, "service_account_json": str(key_file)}
    assert _definition(image="reg/img", registry_auth=auth)["fromImageRegistry"] == registry


def test_unparseable_service_account_fails_without_quoting_it(caplog) -> None:
    spec = TemplateSpec(template_id="t", image="i", registry_auth={"type": "gcp", "service_account_json": "not json PRIVATE"})
    result = E2BTemplateBuilder().build(spec)
    assert result.status is TemplateBuildStatus.FAILED and "neither a readable JSON file" in result.detail
    assert "PRIVATE" not in result.detail + caplog.text


def test_bad_sources_fail_before_any_request(e2b, e2b_builder) -> None:
    result = e2b_builder.build(TemplateSpec(template_id="t", image=""))
    assert result.detail == ("template creation failed: E2B build requires 'image' "
                             "(or deprecated 'dockerfile'/'base_template')")
    with pytest.raises(ValueError, match="^Unsupported registry auth: dict$"):
        e2b_builder._from_registry("i", {"type": "basic"})
    assert not e2b.requests


@pytest.mark.parametrize(("alias", "sizes", "sent"), [
    (None, {"cpu_count": 4}, {"cpuCount": 4, "memoryMB": 1024}),
    ("untagged", {}, {"cpuCount": 1, "memoryMB": 1024}),  # exists without a build: rebuilt
    ("tagged", {}, None),
])
def test_ensure_through_the_stand_in(e2b, e2b_builder, alias, sizes, sent) -> None:
    if alias:
        e2b.add_alias("tpl", tagged=alias == "tagged")
    result = e2b_builder.ensure(TemplateSpec(template_id="tpl", image="reg/img", packages=["numpy"], **sizes))
    assert (result.template_ref.provider, result.template_ref.value) == ("e2b", "tpl")
    assert result.status is (TemplateBuildStatus.SKIPPED if sent is None else TemplateBuildStatus.SUCCESS)
    requests = dict(e2b.requests)
    assert requests.get("template.request") == (sent and {"name": "tpl", **sent})
    assert e2b_builder.is_usable("tpl") and e2b.calls["template.tags"] >= 1


def test_failing_build_and_checks(e2b, e2b_builder, caplog) -> None:
    e2b.fail_next_build("step 2 exploded")
    result = e2b_builder.ensure(TemplateSpec(template_id="tpl", image="reg/img"))
    assert (result.status, result.detail, result.logs) == (TemplateBuildStatus.FAILED, "build failed: step 2 exploded", "")
    e2b.reset_records()
    e2b.fail("template.exists", 500, message="api down")
    assert not e2b_builder.is_usable("tpl") and e2b.calls["template.tags"] == 0
    assert "E2B template exists check failed for 'tpl': 500: api down" in caplog.text


@pytest.mark.parametrize("build_fails", [False, True])
async def test_sandbox_create_ensures_the_default_template(e2b, e2b_builder, caplog, build_fails) -> None:
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox

    e2b.templates.discard(E2BConfig.DEFAULT_TEMPLATE_ALIAS)
    if build_fails:
        e2b.fail_next_build("no capacity")
    with caplog.at_level(logging.WARNING):
        sandbox = await E2BSandbox.create(ensure_default_template=True, create_backoff=0.0, **e2b.connection_options())
    try:
        created = [body["templateID"] for route, body in e2b.requests if route == "create"]
        assert created == ["code-interpreter-v1" if build_fails else E2BConfig.DEFAULT_TEMPLATE_ALIAS]
        assert [b["fromImage"] for r, b in e2b.requests if r == "template.start"] == ["opensandbox/code-interpreter:v1.0.2"]
        assert ("falling back to E2B's default template" in caplog.text) is build_fails
    finally:
        await sandbox.terminate()
