"""Test-wide fixtures: no test may depend on, or leak, a real credential."""

from __future__ import annotations

import os

import pytest

_CREDENTIAL_ENV = (
    "E2B_API_KEY",
    "E2B_ACCESS_TOKEN",
    "E2B_DOMAIN",
    "E2B_DEBUG",
    "OPEN_SANDBOX_API_KEY",
    "OPEN_SANDBOX_DOMAIN",
    "AWS_ACCESS_KEY_ID",
    "AWS_SECRET_ACCESS_KEY",
    "AWS_SESSION_TOKEN",
    "AWS_PROFILE",
    "OPENAI_API_KEY",
    "ANTHROPIC_API_KEY",
    "HTTP_PROXY",
    "HTTPS_PROXY",
    "ALL_PROXY",
    "http_proxy",
    "https_proxy",
    "all_proxy",
)


@pytest.fixture(autouse=True)
def clean_environ(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in _CREDENTIAL_ENV:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")
