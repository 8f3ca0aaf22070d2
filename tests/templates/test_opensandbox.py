"""The OpenSandbox snapshot builder against the OpenSandbox stand-in."""

from __future__ import annotations

import asyncio
import time

import pytest
from opensandbox.sync.manager import SandboxManagerSync

from vorn_tools.code_interpreter.code_template import TemplateBuildStatus, TemplateSpec
from vorn_tools.code_interpreter.code_template.opensandbox_template_builder import OpenSandboxTemplateBuilder

FAILED, SKIPPED, SUCCESS = TemplateBuildStatus.FAILED, TemplateBuildStatus.SKIPPED, TemplateBuildStatus.SUCCESS


def _created(opensandbox) -> list[dict]:
    return [body for route, body in opensandbox.requests if route == "create"]


def _states(opensandbox, name) -> dict[str, str]:
    return {s.id: s.state for s in list(opensandbox.snapshots.values()) if s.name == name}


def test_build_replaces_only_older_snapshots(opensandbox, os_builder, monkeypatch) -> None:
    opened, closed = [], []
    real_create, real_close = SandboxManagerSync.create, SandboxManagerSync.close
    monkeypatch.setattr(SandboxManagerSync, "create", lambda **kw: opened.append(1) or real_create(**kw))
    monkeypatch.setattr(SandboxManagerSync, "close", lambda self: closed.append(1) or real_close(self))
    older = opensandbox.add_snapshot("tpl", state="Failed", created_at=time.time() - 60)
    newer = opensandbox.add_snapshot("tpl", state="Creating", created_at=time.time() + 3600)  # an overlapping build
    other = opensandbox.add_snapshot("tpl-other", created_at=0)
    opensandbox.ready_delay = 0.5  # packages and the snapshot must wait for the sandbox
    result = os_builder(pool_ref="pool-a").ensure(
        TemplateSpec(template_id="tpl", packages=["pytest"], start_cmd="bash -c 'echo hi; sleep 1'", dockerfile="x"))
    assert (result.status, result.template_ref.value, result.detail) == (SUCCESS, "tpl", "")
    (body,) = _created(opensandbox)
    assert (body["image"], body["entrypoint"], body["extensions"]) == (
        {"uri": "opensandbox/code-interpreter:v1.0.2"}, ["bash", "-c", "echo hi; sleep 1"], {"poolRef": "pool-a"})
    (command,) = [b["command"] for r, b in opensandbox.requests if r == "command"]
    assert command == "pip install -q -- pytest"
    states = _states(opensandbox, "tpl")
    assert older not in states and states[newer] == "Creating" and list(states.values()).count("Ready") == 1
    assert other in opensandbox.snapshots and not opensandbox.alive_sandboxes()
    assert len(opened) == len(closed) >= 3
    assert os_builder().ensure(TemplateSpec(template_id="tpl")).status is SKIPPED


@pytest.mark.parametrize(("case", "detail", "killed"), [
    ("pip", "snapshot build failed: pip install failed: ERROR: Invalid requirement: '--version'", True),
    ("snapshot_failed", "snapshot build failed: snapshot ", True),
    ("snapshot_slow", "did not reach 'Ready' state within 0.3s; increase snapshot_ready_timeout", True),
    ("create", "snapshot build failed: Create sandbox failed: image not allowed", False),
    ("start_cmd", "snapshot build failed: No closing quotation", False),
    ("auth_without_image", "refusing to send registry credentials with a fallback image", False),
])
def test_failed_builds(opensandbox, os_builder, case, detail, killed) -> None:
    spec = {"template_id": "tpl", "image": "img", "packages": ["pytest"]}
    if case == "pip":
        spec["packages"] = ["--version"]  # after "--" a name, never pip's option
    elif case == "snapshot_failed":
        opensandbox.fail_next_snapshot()
    elif case == "snapshot_slow":
        opensandbox.snapshot_delay = 60
    elif case == "create":
        opensandbox.fail("create", 400, message="image not allowed")
    elif case == "start_cmd":
        spec["start_cmd"] = "bash -c 'unclosed"
    elif case == "auth_without_image":
        spec.update(image="", base_template="b", registry_auth={"type": "basic", "username": "u", "password": "pw"})
    result = os_builder(snapshot_ready_timeout=0.3).ensure(TemplateSpec(**spec))
    assert (result.status, result.template_ref, result.stage) == (FAILED, None, None) and detail in result.detail
    assert result.logs == ""  # pip -q prints nothing on success
    assert opensandbox.calls["kill"] == int(killed) and not opensandbox.alive_sandboxes()
    assert opensandbox.calls["create"] == int(killed or case == "create")
    assert list(_states(opensandbox, "tpl").values()) in ([], ["Failed"], ["Creating"])  # nothing pruned


def test_failed_build_made_usable_by_a_concurrent_one(opensandbox, os_builder) -> None:
    for index in range(150):  # the listing takes two pages; the concurrent result lands on the second
        opensandbox.add_snapshot(f"noise-{index}")
    opensandbox.fail_next_snapshot()

    async def concurrent_build() -> None:
        while not opensandbox.calls["snapshot.create"]:
            await asyncio.sleep(0.01)
        opensandbox.add_snapshot("tpl")

    opensandbox.call(_spawn(opensandbox, concurrent_build()))
    result = os_builder().ensure(TemplateSpec(template_id="tpl"))
    assert (result.status, result.detail) == (SKIPPED, "usable after failed build (concurrent build?)")
    pages = [query["page"] for route, query in opensandbox.requests if route == "snapshot.list"]
    assert pages == [["1"], ["2"]] * 2


async def _spawn(opensandbox, coro) -> None:
    opensandbox.spawn(coro)


@pytest.mark.parametrize(("auth", "login"), [
    ({"type": "basic", "username": "bob", "password": "pw-basic"}, {"username": "bob", "password": "pw-basic"}),
    ({"type": "aws", "access_key_id": "AKIDTEST", "secret_access_key": "aws-secret", "region": "eu-west-3"},
     {"username": "AWS", "password": "ecr-token:part-after-colon"}),
    ({"type": "gcp", "service_account_json": "FILE"}, {"username": "_json_key", "password": '{"k": "v"}'}),
])
def test_registry_logins_reach_the_image_pull(opensandbox, os_builder, tmp_path, auth, login) -> None:
    (key_file := tmp_path / "key.json").write_text('{"k": "v"}')
    if auth.get("service_account_json") == "FILE":
        auth = {**auth, "service_account_json": str(key_file)}
    result = os_builder().build(TemplateSpec(template_id="tpl", image="reg/private:1", registry_auth=auth))
    assert result.status is SUCCESS
    (body,) = _created(opensandbox)
    assert body["image"] == {"uri": "reg/private:1", "auth": login}
    ecr = [details for route, details in opensandbox.requests if route == "ecr"]
    assert ecr == ([{"target": "AmazonEC2ContainerRegistry_V20150921.GetAuthorizationToken",
                     "access_key_id": "AKIDTEST", "region": "eu-west-3"}] if auth["type"] == "aws" else [])


@pytest.mark.parametrize(("record", "failure"), [
    ({"exit_code": None, "stdout": ["ok\n", "done\n"], "stderr": ["warn\r\n"]}, None),
    ({"exit_code": 0, "success": False, "stdout": ["out"]}, "pip install failed: out"),
    ({"exit_code": 1, "stdout": ["out"], "stderr": ["bad\n"]}, "pip install failed: bad"),
])
def test_install_outcome_from_the_execution_record(record, failure) -> None:
    class Message:
        def __init__(self, text):
            self.text = text

    class Logs:
        stdout = [Message(t) for t in record.get("stdout", [])]
        stderr = [Message(t) for t in record.get("stderr", [])]

    class Sandbox:
        class commands:
            @staticmethod
            def run(command):
                return type("Execution", (), {"logs": Logs, "error": None, **record})()

    builder = OpenSandboxTemplateBuilder()
    if failure is None:
        assert builder._install_packages(Sandbox, ["x"]) == "ok\ndone\nwarn\r"
    else:
        with pytest.raises(RuntimeError, match=f"^{failure}$"):
            builder._install_packages(Sandbox, ["x"])
