"""Code execution and shell emulation of ``BedrockAgentCoreSandbox`` through aiobotocore and the stand-in."""

from __future__ import annotations

import asyncio
import collections
import datetime as dt
import enum
import json
import os
import signal

import httpx
import pytest
from botocore.auth import SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials
from vorn_inference.schema import Attachment

from tests.fakes.agentcore_fixtures import CREDENTIALS
from tests.fakes.agentcore_server import INTERPRETER_ID, SESSION_HEADER, AgentCoreStandIn, new_credentials
from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - fixtures
from tests.opensandbox.conftest import eventually
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus

SUCCESS, ERROR, TIMEOUT, UNKNOWN = (ExecutionStatus.SUCCESS, ExecutionStatus.ERROR, ExecutionStatus.TIMEOUT,
                                    ExecutionStatus.UNKNOWN)


def _sent(agentcore: AgentCoreStandIn, tool: str) -> list[dict]:
    return [body["arguments"] for route, body in agentcore.requests if route == tool]


async def test_runs_keep_state_and_send_the_services_language(make_sandbox, agentcore, spans) -> None:
    sandbox = make_sandbox(language="PYTHON")
    first = await sandbox.execute_code("x = 41\nprint('out')", on_stdout=pytest.fail, unused=True)
    second = await sandbox.execute_code("x += 1\nprint(x)\nimport sys; print('warn', file=sys.stderr)")
    assert (first.status, first.stdout, second.status, second.stdout, second.stderr) == (
        SUCCESS, "out\n", SUCCESS, "42\n", "warn\n")
    assert [args["language"] for args in _sent(agentcore, "executeCode")] == ["python", "python"]
    assert agentcore.calls["start"] == 1 and sandbox.language == "PYTHON"
    span = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.execute_code"][-1]
    assert (span.attributes["zib_sandbox.backend"], span.attributes["zib_sandbox.status"]) == ("bedrock", "success")


@pytest.mark.parametrize(
    ("code", "error"),
    [
        ("print('ran')\n1 / 0", "ZeroDivisionError: division by zero"),
        ("raise SystemExit(3)", "SystemExit: 3"),  # names neither "Error" nor "Exception"
        ("import sys\nprint('oops: error', file=sys.stderr)\nsys.stderr.flush()\nraise SystemExit('x')", "SystemExit: x"),
    ],
)
async def test_a_failed_run_always_carries_an_error_text(sandbox, code, error) -> None:
    result = await sandbox.execute_code(code)
    assert (result.status, result.error, result.text, result.failure) == (ERROR, error, error, None)


async def test_one_deadline_covers_the_request_and_its_stream(sandbox, agentcore) -> None:
    # The headers come at once; the result only when the run ends (or later).
    slow = await sandbox.execute_code("import time\ntime.sleep(30)", timeout=1)
    agentcore.hang("executeCode", 30, after_events=1)
    late = await sandbox.execute_code("print('partial')", timeout=10.5)  # room for its output on a busy machine
    assert (slow.status, slow.error, slow.failure) == (TIMEOUT, "Execution exceeded timeout of 1 seconds", None)
    assert (late.status, late.stdout, late.error) == (TIMEOUT, "partial\n",
                                                      "Execution exceeded timeout of 10.5 seconds")
    assert (await sandbox.execute_code("print('alive')")).stdout == "alive\n"


_KEY = "sk-proj-" + "A1b2C3d4" * 4  # a key shape the service might echo back
_SECRET = CREDENTIALS["aws_secret_access_key"]  # no rule knows its shape: only its registration masks it


@pytest.mark.parametrize(
    ("fault", "status", "retry_safe", "stdout", "error_type"),
    [
        (lambda s: s.fail("executeCode", 400, message=_KEY), ERROR, True, "", "ValidationException"),
        (lambda s: s.fail("executeCode", 429), ERROR, True, "", "ThrottlingException"),
        (lambda s: s.fail("executeCode", 500, message=f"{_KEY} {_SECRET}"), UNKNOWN, False, "",
         "InternalServerException"),
        (lambda s: s.fail("executeCode", 503), UNKNOWN, False, "", "ClientError"),
        (lambda s: s.reset("executeCode"), UNKNOWN, False, "", "EndpointConnectionError"),  # delivered, then reset
        (lambda s: s.drop_stream("executeCode", after_events=0), UNKNOWN, False, "", "ClientPayloadError"),
        (lambda s: s.drop_stream("executeCode", after_events=1), UNKNOWN, False, "out\n", "ClientPayloadError"),
        (lambda s: s.truncate("executeCode", after_events=0), UNKNOWN, False, "", "_StreamEndedEarly"),
        (lambda s: s.rewrite("executeCode", lambda r: {**r, "structuredContent": {"stdout": 5}}),
         UNKNOWN, False, "", "_MalformedAnswer"),
        (lambda s: s.rewrite("executeCode", lambda r: {**r, "structuredContent": {"stderr": ["x"]}, "isError": True}),
         UNKNOWN, False, "", "_MalformedAnswer"),
    ],
)
async def test_failed_requests_and_broken_streams(sandbox, agentcore, fault, status, retry_safe, stdout,
                                                  error_type) -> None:
    fault(agentcore)
    result = await sandbox.execute_code("print('out')")
    assert (result.status, result.stdout, result.failure.retry_safe) == (status, stdout, retry_safe)
    assert result.failure.exception_type.endswith("." + error_type) and result.error
    assert _KEY not in result.error and _SECRET not in result.error  # the service's message is masked like any other
    assert agentcore.calls["executeCode"] == 1  # the SDK never re-sends a run


@pytest.mark.parametrize(
    ("outage", "error_type"),
    [("refusing", "EndpointConnectionError"), ("unanswered", "ConnectTimeoutError")],
)
async def test_a_connection_never_made_is_retry_safe(make_sandbox, agentcore, outage, error_type) -> None:
    from aiobotocore.session import get_session
    from botocore.config import Config

    botocore_session = get_session()  # the caller's own client settings are kept
    botocore_session.set_default_client_config(Config(connect_timeout=0.5))
    sandbox = make_sandbox(aioboto3_session_kwargs={"botocore_session": botocore_session})
    await sandbox._ensure_started()
    with getattr(agentcore, outage)("api"):
        result = await sandbox.execute_code("print(1)")
    assert (result.status, result.failure.retry_safe) == (ERROR, True)
    assert result.failure.exception_type == f"botocore.exceptions.{error_type}"
    assert agentcore.calls["executeCode"] == 0


async def test_uploads_go_in_one_request_and_failures_are_results(sandbox, agentcore) -> None:
    files = [Attachment.from_bytes(bytes=b"a,b\n", filename="data.csv"),
             Attachment.from_bytes(bytes=b"\xff\x00", filename="raw.bin")]  # fmt: skip
    ok = await sandbox.execute_code("print(open('in/data.csv').read(), open('in/raw.bin', 'rb').read())",
                                    files=files, upload_dir="in/")
    assert ok.stdout == "a,b\n b'\\xff\\x00'\n"
    assert [[e["path"] for e in args["content"]] for args in _sent(agentcore, "writeFiles")] == [
        ["in/data.csv", "in/raw.bin"]]
    refused = await sandbox.execute_code("print('never')", files=files, upload_dir="/etc")
    assert refused.status is ERROR and refused.failure is None and "Cannot write /etc/raw.bin" in refused.error
    assert refused.error.startswith("Failed to upload 2 file(s) to sandbox backend 'bedrock': ")
    agentcore.truncate("writeFiles", after_events=0)
    unconfirmed = await sandbox.execute_code("print('never')", files=files[:1])
    assert unconfirmed.error.endswith(": The writeFiles stream ended before its result arrived")
    assert agentcore.calls["executeCode"] == 1


def _signed(request: AWSRequest, credentials: dict[str, str] | None, at: dt.datetime) -> None:
    """Sign ``request`` with ``credentials`` (SigV4) as of ``at``: botocore's signer, with a date of the caller's."""
    if credentials is None:
        return
    signer = SigV4Auth(Credentials(credentials["aws_access_key_id"], credentials["aws_secret_access_key"]),
                       "bedrock-agentcore", "us-east-1")
    request.context["timestamp"] = request.headers["X-Amz-Date"] = at.strftime("%Y%m%dT%H%M%SZ")
    signature = signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request)
    request.headers["Authorization"] = (f"AWS4-HMAC-SHA256 Credential={signer.scope(request)}, SignedHeaders="
                                        f"{signer.signed_headers(signer.headers_to_sign(request))}, Signature={signature}")


_FORGED = {**CREDENTIALS, "aws_secret_access_key": CREDENTIALS["aws_secret_access_key"][::-1]}


# Another client of the machine that finds the stand-in's port and a session's id: its executeCode,
# unsigned or signed with anything but this run's credentials (or its signature kept for another body
# or another session, or made too long ago), is refused and runs nothing; this run's own signature
# runs the code.
@pytest.mark.parametrize(("credentials", "minutes_ago", "tampered", "status"), [
    (None, 0, "", 403), (_FORGED, 0, "", 403), (new_credentials(), 0, "", 403),
    (CREDENTIALS, 0, "body", 403), (CREDENTIALS, 0, "session", 403), (CREDENTIALS, 20, "", 403),
    (CREDENTIALS, 0, "", 200),
])
async def test_the_stand_in_runs_only_what_its_runs_credentials_signed(sandbox, agentcore, credentials, minutes_ago,
                                                                       tampered, status) -> None:
    session = agentcore.sessions[sandbox.sandbox_id]
    body = lambda path: json.dumps({"name": "executeCode", "arguments": {  # noqa: E731
        "language": "python", "code": f"open('/tmp/{path}', 'w').close()"}}).encode()
    request = AWSRequest("POST", f"{agentcore.endpoint}/code-interpreters/{INTERPRETER_ID}/tools/invoke",
                         data=body("ran"), headers={"Content-Type": "application/json"})
    if tampered != "session":  # else sent unsigned, as a captured request's swapped in would be
        request.headers[SESSION_HEADER] = session.session_id
    _signed(request, credentials, dt.datetime.now(dt.UTC) - dt.timedelta(minutes=minutes_ago))
    request.headers[SESSION_HEADER] = session.session_id
    async with httpx.AsyncClient(timeout=60) as client:
        answer = await client.post(request.url, content=body("other") if tampered == "body" else request.body,
                                   headers=dict(request.headers))
    assert answer.status_code == status, answer.text
    assert [(session.root / "tmp" / path).exists() for path in ("ran", "other")] == [status == 200, False]


# Headers that name no key of this run (none, or another's) are refused as they arrive: the body they
# announce, never sent here, is not waited for. Past the body limit, this run's own request is refused too,
# whether its length says so or its chunks go on past it (the last chunk never sent). So does OpenSandbox's
# ECR listener, which the same run's AWS credentials reach.
@pytest.mark.parametrize("listener", ["agentcore", "ecr"])
@pytest.mark.parametrize(("key", "framing", "status"), [
    (None, "length", 403), ("other", "length", 403), ("own", "length", 413), ("own", "chunked", 413),
])
async def test_a_request_is_refused_before_a_body_it_may_not_send(request, monkeypatch, listener, key, framing,
                                                                    status) -> None:
    if listener == "agentcore":
        service = request.getfixturevalue("agentcore")
        monkeypatch.setattr(service, "BODY_LIMIT", 1024)
        url, path, credentials = httpx.URL(service.endpoint), f"/code-interpreters/{INTERPRETER_ID}/tools/invoke", \
            CREDENTIALS
    else:
        service = request.getfixturevalue("opensandbox")
        monkeypatch.setattr(service, "ecr_body_limit", 1024)
        url, path, credentials = httpx.URL(service.ecr_url), "/", service.ecr_credentials
    head = [f"POST {path} HTTP/1.1", f"Host: {url.host}:{url.port}",
            "Content-Length: 1073741824" if framing == "length" else "Transfer-Encoding: chunked"]
    if key is not None:
        key_id = (credentials if key == "own" else new_credentials())["aws_access_key_id"]
        service_name = "bedrock-agentcore" if listener == "agentcore" else "ecr"
        head.append(f"Authorization: AWS4-HMAC-SHA256 Credential={key_id}/20260101/us-east-1/"
                    f"{service_name}/aws4_request, SignedHeaders=host;x-amz-date, Signature={'0' * 64}")
    reader, writer = await asyncio.open_connection(url.host, url.port)
    try:
        writer.write(("\r\n".join(head) + "\r\n\r\n").encode()
                     + (b"800\r\n" + b"x" * 2048 + b"\r\n" if framing == "chunked" else b""))
        await writer.drain()
        answer = await asyncio.wait_for(reader.read(), 60)  # the stand-in closes the connection once it answered
    finally:
        writer.close()
    assert answer.startswith(f"HTTP/1.1 {status} ".encode()), answer
    assert (b"Request body exceeds 1024 bytes" in answer) is (status == 413)


class _Name(enum.StrEnum):
    GREETING = "GREETING"


class _Text(enum.StrEnum):
    HI = "hi 'there'"


@pytest.mark.parametrize(
    "env",
    [
        {"GREETING": "hi 'there'"},
        collections.OrderedDict(GREETING="hi 'there'"),
        collections.defaultdict(str, GREETING="hi 'there'"),
        {_Name.GREETING: _Text.HI},
    ],
)
async def test_shell_commands_keep_env_to_themselves_and_report_exit_codes(sandbox, agentcore, env) -> None:
    await sandbox.execute_code("import os\nos.environ['BASE'] = 'base'")
    # `cat` reads the command's own (empty) input, not the interpreter's.
    ok = await sandbox.execute_command("cat; echo \"$GREETING\" 'it''s' $BASE; echo warn >&2", env=env)
    failed = await sandbox.execute_command("printf '\\377ok'; exit 3")
    leaked = await sandbox.execute_code("import os\nprint(os.environ.get('GREETING'))")
    assert (ok.status, ok.stdout, ok.stderr) == (SUCCESS, "hi 'there' its base\n", "warn\n")
    assert (failed.status, failed.stdout, failed.error) == (ERROR, "\ufffdok", "SystemExit: 3")
    assert leaked.stdout == "None\n"


def _result(stdout="", stderr="", is_error=False, structured=True) -> dict:
    content = {"structuredContent": {"stdout": stdout, "stderr": stderr}} if structured else {}
    return {"result": {"content": [], "isError": is_error, **content}}


@pytest.mark.parametrize(
    ("events", "expected"),
    [
        ([_result("a\n"), _result(stderr="b")], ("", "b", "", True)),  # the last result wins, not joined
        ([_result(stderr="x\nValueError: v\nNameError: n \n", is_error=True)], ("", "x\nValueError: v\nNameError: n \n", "NameError: n", True)),
        ([_result(stderr="an error here", is_error=True)], ("", "an error here", "Execution failed", True)),
        ([_result(is_error=True)], ("", "", "Execution failed", True)),  # flagged: never a success
        ([_result(is_error=True, structured=False), _result("ok")], ("ok", "", "Execution failed", True)),
        ([{"other": 1}, {"result": {}}], ("", "", "", False)),  # no result yet: the stream is incomplete
    ],
)
def test_the_drain_keeps_the_last_output_and_always_names_a_flagged_error(events, expected) -> None:
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import _ExecutionDrain

    drain = _ExecutionDrain()
    for event in events:
        drain.feed(event)
    assert (drain.stdout, drain.stderr, drain.error, drain.completed) == expected


@pytest.mark.parametrize(
    ("event", "named"),
    [
        ({"result": {"structuredContent": {"stdout": 5}}}, "executeCode answer: stdout is a int, not a str"),
        ({"result": {"structuredContent": {"stdout": "", "stderr": b"x"}}}, "stderr is a bytes, not a str"),
        ({"result": {"structuredContent": ["out"]}}, "structuredContent is a list, not a mapping"),
        ({"result": "out"}, "result is a str, not a mapping"),
        (["result"], "event is a list, not a mapping"),
    ],
)
def test_a_malformed_answer_is_named(event, named) -> None:
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import _ExecutionDrain, _MalformedAnswer

    with pytest.raises(_MalformedAnswer) as info:
        _ExecutionDrain().feed(event)
    assert named in str(info.value)


# A cell that kills every process it may, its code worker among them: it says so, and the session runs on.
async def test_a_killed_code_worker_is_said_so_and_started_anew(sandbox) -> None:
    killed = await sandbox.execute_code("x = 1\nimport os\nos.system('kill -9 -1')")
    assert killed.status is ERROR and "code worker was killed by SIGKILL while running" in killed.error, killed
    after = await sandbox.execute_code("print('x' in globals())")
    assert (after.status, after.stdout) == (SUCCESS, "False\n"), after


async def test_a_session_whose_container_ended_says_so(sandbox, agentcore) -> None:
    container = agentcore.sessions[sandbox.sandbox_id].container
    os.kill(container.process.pid, signal.SIGKILL)  # bubblewrap: the sandbox ends with it
    await eventually(lambda: not container.alive, within=60)  # generous: the kernel ends its processes first
    result = await sandbox.execute_code("print('ran')")
    assert result.stdout == "" and "its container's first process is gone" in result.error, result
