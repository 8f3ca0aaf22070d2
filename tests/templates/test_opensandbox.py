"""The OpenSandbox snapshot builder against the OpenSandbox stand-in."""

from __future__ import annotations

import asyncio
import json
import re
import time

import pytest
from opensandbox.sync.manager import SandboxManagerSync

from vorn_tools.code_interpreter.code_template import TemplateBuildStatus, TemplateSpec

FAILED, SKIPPED, SUCCESS = TemplateBuildStatus.FAILED, TemplateBuildStatus.SKIPPED, TemplateBuildStatus.SUCCESS


def _sent(opensandbox, route: str) -> list[dict]:
    return [body for name, body in opensandbox.requests if name == route]


def test_build_replaces_only_older_snapshots(opensandbox, os_builder, monkeypatch) -> None:
    managers = []  # +1 per manager made, -1 per close
    real_create, real_close = SandboxManagerSync.create, SandboxManagerSync.close
    monkeypatch.setattr(SandboxManagerSync, "create", lambda **kw: managers.append(1) or real_create(**kw))
    monkeypatch.setattr(SandboxManagerSync, "close", lambda self: managers.append(-1) or real_close(self))
    older = opensandbox.add_snapshot("tpl", state="Failed", created_at=time.time() - 60)
    newer = opensandbox.add_snapshot("tpl", state="Creating", created_at=time.time() + 3600)  # an overlapping build
    other = opensandbox.add_snapshot("tpl-other", created_at=0)
    opensandbox.ready_delay = 0.5  # packages and the snapshot must wait for the sandbox
    spec = TemplateSpec(template_id="tpl", packages=["pytest"], start_cmd="bash -c 'echo hi; sleep 1'", dockerfile="x")
    result = os_builder(pool_ref="pool-a").ensure(spec)
    assert (result.status, result.template_ref.value, result.detail) == (SUCCESS, "tpl", "")
    (body,) = _sent(opensandbox, "create")
    assert (body["image"], body["entrypoint"], body["extensions"]) == (
        {"uri": "opensandbox/code-interpreter:v1.0.2"}, ["bash", "-c", "echo hi; sleep 1"], {"poolRef": "pool-a"})
    assert [b["command"] for b in _sent(opensandbox, "command")] == ["pip install -q -- pytest"]
    states = {s.id: s.state for s in opensandbox.snapshots.values() if s.name == "tpl"}
    assert older not in states and states.pop(newer) == "Creating" and list(states.values()) == ["Ready"]
    assert other in opensandbox.snapshots and not opensandbox.alive_sandboxes()
    assert sum(managers) == 0 and len(managers) >= 6
    assert os_builder().ensure(TemplateSpec(template_id="tpl")).status is SKIPPED


BASIC = {"type": "basic", "username": "u", "password": "pw"}


@pytest.mark.parametrize(("spec", "setup", "detail", "started"), [
    ({"packages": ["--version"]}, None, "pip install failed: ERROR: Invalid requirement: '--version'", True),
    ({}, lambda o: o.fail_next_snapshot(), "reached 'Failed' state: the server gave no reason", True),
    ({}, lambda o: setattr(o, "snapshot_delay", 60), "within 0.3s; increase snapshot_ready_timeout", True),
    ({}, lambda o: setattr(o, "snapshot_delay", 60), "within 0s; increase snapshot_ready_timeout", True),  # no wait
    ({}, lambda o: o.fail("create", 400, message="image denied"), "Create sandbox failed: image denied", False),
    ({"start_cmd": "bash -c 'unclosed"}, None, "No closing quotation", False),
    ({"image": "", "registry_auth": BASIC}, None, "refusing to send registry credentials with a fallback", False),
])
def test_failed_builds(opensandbox, os_builder, spec, setup, detail, started) -> None:
    if setup:
        setup(opensandbox)
    within = re.search(r"within ([\d.]+)s", detail)  # the ready timeout the row is about
    builder = os_builder(snapshot_ready_timeout=json.loads(within[1]) if within else 180)
    result = builder.ensure(TemplateSpec(**{"template_id": "t", "image": "i", **spec}))
    assert (result.status, result.template_ref, result.stage) == (FAILED, None, None)
    assert result.detail.startswith("snapshot build failed: ") and detail in result.detail
    assert opensandbox.calls["kill"] == started and not opensandbox.alive_sandboxes()
    assert len(opensandbox.snapshots) == (started and not spec)  # a failed snapshot stays: nothing pruned


def test_failed_build_made_usable_by_a_concurrent_one(opensandbox, os_builder) -> None:
    for index in range(150):  # the listing takes two pages; the concurrent result lands on the second
        opensandbox.add_snapshot(f"noise-{index}")
    opensandbox.fail_next_snapshot()

    async def concurrent_build() -> None:
        while not opensandbox.calls["snapshot.create"]:
            await asyncio.sleep(0.01)
        opensandbox.add_snapshot("tpl")

    async def start() -> None:
        opensandbox.spawn(concurrent_build())

    opensandbox.call(start())
    result = os_builder().ensure(TemplateSpec(template_id="tpl"))
    assert (result.status, result.detail) == (SKIPPED, "usable after failed build (concurrent build?)")
    assert [query["page"] for query in _sent(opensandbox, "snapshot.list")] == [["1"], ["2"]] * 2


@pytest.mark.parametrize(("auth", "login"), [
    (BASIC, {"username": "u", "password": "pw"}),
    ({"type": "aws", "access_key_id": "AKIDTEST", "secret_access_key": "aws-secret", "region": "eu-west-3"},
     {"username": "AWS", "password": "ecr-login:opaque-after-colon"}),
    ({"type": "gcp", "service_account_json": "key.json"}, {"username": "_json_key", "password": '{"k": "v"}'}),
])
def test_registry_logins_reach_the_image_pull(opensandbox, os_builder, tmp_path, monkeypatch, auth, login) -> None:
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(opensandbox, "ecr_credentials", {"aws_access_key_id": "AKIDTEST",
                                                         "aws_secret_access_key": "aws-secret"})  # the registry's
    (tmp_path / "key.json").write_text('{"k": "v"}')
    result = os_builder().build(TemplateSpec(template_id="t", image="reg/private:1", registry_auth=auth))
    assert result.status is SUCCESS
    assert [body["image"] for body in _sent(opensandbox, "create")] == [{"uri": "reg/private:1", "auth": login}]
    assert _sent(opensandbox, "ecr") == ([{"target": "AmazonEC2ContainerRegistry_V20150921.GetAuthorizationToken",
                                           "access_key_id": "AKIDTEST", "region": "eu-west-3"}] * (auth is not BASIC
                                                                                                 and "region" in auth))


@pytest.mark.parametrize(("setting", "error", "message"), [
    ({"snapshot_poll_interval": -1}, ValueError, "snapshot_poll_interval must not be negative, got -1"),
    ({"snapshot_poll_interval": float("nan")}, ValueError,
     "^snapshot_poll_interval must be a number of seconds, got nan$"),
    ({"snapshot_poll_interval": float("inf")}, ValueError, "snapshot_poll_interval must be a finite number of seconds"),
    ({"snapshot_ready_timeout": float("nan")}, ValueError,
     "^snapshot_ready_timeout must be a number of seconds, got nan$"),
    ({"snapshot_ready_timeout": "180"}, TypeError, "snapshot_ready_timeout must be a number of seconds, got str"),
    ({"snapshot_poll_interval": 0, "snapshot_ready_timeout": float("inf")}, None, None),  # no pause, no deadline
])
def test_polling_settings_are_refused_before_any_snapshot(opensandbox, os_builder, setting, error, message) -> None:
    if error is None:
        assert os_builder(**setting).build(TemplateSpec(template_id="t")).status is SUCCESS
        return
    with pytest.raises(error, match=message):
        os_builder(**setting)
