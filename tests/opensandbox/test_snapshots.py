"""Snapshot lookup by name, through the real synchronous SDK and the stand-in's paged listing."""

from __future__ import annotations

import logging

import pytest
from opensandbox.sync.manager import SandboxManagerSync

from tests.fakes.opensandbox_server import OpenSandboxStandIn
from vorn_tools.code_interpreter.code_sandbox import opensandbox_snapshots
from vorn_tools.code_interpreter.code_sandbox.opensandbox_snapshots import list_snapshots_named, newest_ready_snapshot_id


@pytest.fixture
def manager(opensandbox: OpenSandboxStandIn):
    manager = SandboxManagerSync.create(connection_config=opensandbox.connection_config(sync=True))
    yield manager
    manager.close()


def _pages(opensandbox: OpenSandboxStandIn) -> list[list[str]]:
    return [query["page"] for route, query in opensandbox.requests if route == "snapshot.list"]


def test_scan_pages_through_and_orders_newest_first(opensandbox, manager, monkeypatch):
    closed: list[SandboxManagerSync] = []
    close = SandboxManagerSync.close
    monkeypatch.setattr(SandboxManagerSync, "close", lambda self: (closed.append(self), close(self))[1])
    for created in (1.0, 5.0, 3.0):
        opensandbox.add_snapshot("report", created_at=created)
    failed = opensandbox.add_snapshot("report", state="Failed", created_at=9.0)
    opensandbox.add_snapshot("Report", created_at=10.0)
    opensandbox.add_snapshot("other", created_at=11.0)

    ready = list_snapshots_named(manager, "report", ready_only=True, page_size=2)
    assert [s.created_at.timestamp() for s in ready] == [5.0, 3.0, 1.0]
    assert _pages(opensandbox) == [["1"], ["2"], ["3"]]
    everything = list_snapshots_named(manager, "report", ready_only=False, page_size=2)
    assert everything[0].id == failed and len(everything) == 4
    newest = max(ready, key=lambda s: s.created_at).id
    assert newest_ready_snapshot_id("report", connection_config=opensandbox.connection_config(sync=True)) == newest
    assert newest_ready_snapshot_id("absent", connection_config=opensandbox.connection_config(sync=True)) is None
    assert len(closed) == 2 and manager not in closed  # each lookup closes the manager it made


@pytest.mark.parametrize("fault", ["endless", "error", "mixed times"])
def test_a_failed_scan_warns_once_and_finds_nothing(opensandbox, manager, monkeypatch, caplog, fault):
    opensandbox.add_snapshot("report")
    if fault == "mixed times":  # a creation time without its offset cannot be ordered against the others
        opensandbox.add_snapshot("report", naive=True)
    elif fault == "endless":
        monkeypatch.setattr(opensandbox_snapshots, "SNAPSHOT_LIST_MAX_PAGES", 4)
        opensandbox.endless_pages(times=100)
    else:
        opensandbox.fail("snapshot.list", 500)
    with caplog.at_level(logging.WARNING):
        assert list_snapshots_named(manager, "report", ready_only=True) == []
    (record,) = [r for r in caplog.records if r.name == opensandbox_snapshots.__name__]
    assert record.getMessage().startswith("OpenSandbox snapshot lookup failed for 'report': ")
    assert opensandbox.calls["snapshot.list"] == (4 if fault == "endless" else 1)
