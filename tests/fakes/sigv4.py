"""The SigV4 check of the AWS stand-ins: a request is served only when it is signed with the
stand-in's own credentials (random, one pair per stand-in), as AWS serves only its account's keys.

The signature is computed anew with botocore's signer over the request received (the headers
signed, the body's hash, the date within 15 minutes).
"""

from __future__ import annotations

import datetime as dt
import hashlib
import hmac
import re
import secrets
from collections.abc import Mapping
from typing import Any

# The one header of AWS's own that a signer leaves out; every other x-amz-* and x-amzn-* header it
# signs, so one sent unsigned (a session id swapped in a captured request, say) is refused.
_UNSIGNED = frozenset({"x-amzn-trace-id"})
_SIGNATURE = re.compile(r"AWS4-HMAC-SHA256 Credential=([^/,\s]+)/(\d{8})/([^/,\s]+)/([^/,\s]+)/aws4_request,\s*"
                        r"SignedHeaders=([a-z0-9;-]+),\s*Signature=([0-9a-f]{64})")
_CLOCK_SKEW = dt.timedelta(minutes=15)  # as AWS allows
#: The largest request body a stand-in reads (a writeFiles of a few large files fits).
BODY_LIMIT = 64 * 1024 * 1024


def new_credentials() -> dict[str, str]:
    """A random access key and secret key, as ``botocore``/``BedrockAgentCoreSandbox`` keywords."""
    return {"aws_access_key_id": "AKIDSTANDIN" + secrets.token_hex(6).upper(),
            "aws_secret_access_key": "stand-in-secret-" + secrets.token_hex(12)}


def unknown_key(credentials: dict[str, str], headers: Mapping[str, str]) -> tuple[str, str] | None:
    """Why the request's authorization header (lower-case ``headers``) names no key of ``credentials``
    (message, AWS error type), if it does not: told before any of its body is read."""
    found = _SIGNATURE.fullmatch(headers.get("authorization", "").strip())
    if found is None:
        return "Missing or malformed SigV4 authorization", "MissingAuthenticationTokenException"
    if not hmac.compare_digest(found[1].encode(), credentials["aws_access_key_id"].encode()):
        return "The security token included in the request is invalid", "UnrecognizedClientException"
    return None


def unsigned(credentials: dict[str, str], service: str, scope: dict[str, Any], headers: Mapping[str, str],
             body: bytes) -> tuple[str, str] | None:
    """Why the request (its ASGI ``scope``, lower-case ``headers`` and ``body``) is not signed for ``service``
    with ``credentials`` (message, AWS error type), if it is not."""
    # Imported here: the OpenSandbox stand-in, which needs this only for its ECR call, runs without botocore.
    from botocore.auth import SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials

    if (unknown := unknown_key(credentials, headers)) is not None:
        return unknown
    key, day, region, signed_for, signed, signature = _SIGNATURE.fullmatch(headers["authorization"].strip()).groups()
    stamp = headers.get("x-amz-date", "")
    try:
        when = dt.datetime.strptime(stamp, "%Y%m%dT%H%M%SZ").replace(tzinfo=dt.UTC)
    except ValueError:
        return "Missing or malformed X-Amz-Date", "InvalidSignatureException"
    names = signed.split(";")
    digest = hashlib.sha256(body).hexdigest()
    if stamp[:8] != day or abs(dt.datetime.now(dt.UTC) - when) > _CLOCK_SKEW or \
            not {"host", "x-amz-date"} <= set(names) or signed_for != service or \
            any(name.startswith(("x-amz-", "x-amzn-")) and name not in _UNSIGNED and name not in names
                for name in headers) or headers.get("x-amz-content-sha256", digest) != digest:
        return "Signature expired, or the date, body or headers it signs do not match", "InvalidSignatureException"
    query = scope["query_string"].decode()
    url = f"http://{headers.get('host', '')}{scope['raw_path'].decode()}" + (f"?{query}" if query else "")
    request = AWSRequest(method=scope["method"], url=url, data=body,
                         headers={name: headers.get(name, "") for name in names})
    request.context["timestamp"] = stamp
    signer = SigV4Auth(Credentials(key, credentials["aws_secret_access_key"]), service, region)
    expected = signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request)
    if not hmac.compare_digest(expected.encode(), signature.encode()):
        return "The request signature we calculated does not match the signature you provided", \
            "InvalidSignatureException"
    return None


async def signed_body(credentials: dict[str, str], service: str, scope: dict[str, Any], headers: Mapping[str, str],
                      receive: Any, limit: int = BODY_LIMIT) -> bytes | tuple[int, str, str | None]:
    """The body of the request (its ASGI ``scope`` and ``receive``, lower-case ``headers``) once it proves
    signed for ``service`` with ``credentials``; else why not: (HTTP status, message, AWS error type).

    One whose authorization header names no key of ``credentials`` is refused before its body is read,
    and one whose body is over ``limit`` bytes once its length, or what has come of it, says so.
    """
    if (unknown := unknown_key(credentials, headers)) is not None:
        return 403, *unknown
    if int(headers.get("content-length") or 0) > limit:
        return 413, f"Request body exceeds {limit} bytes", None
    chunks, size, more = [], 0, True
    while more:
        message = await receive()
        chunks.append(message.get("body", b""))
        size, more = size + len(chunks[-1]), message.get("more_body", False)
        if size > limit:
            return 413, f"Request body exceeds {limit} bytes", None
    body = b"".join(chunks)
    if (refusal := unsigned(credentials, service, scope, headers, body)) is not None:
        return 403, *refusal
    return body
