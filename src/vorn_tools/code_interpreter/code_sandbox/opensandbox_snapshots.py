"""Snapshot lookup by name on an OpenSandbox server.

Snapshots are addressed by server-made ids while templates are referenced by
a stable name, which is not unique on the server. Resolving a name therefore
scans the server's listing page by page, keeps the snapshots of that name and
orders them newest first. Synchronous and blocking: asynchronous callers run
these functions in a worker thread.
"""

from datetime import timedelta
from typing import Any

try:
    from opensandbox.config.connection_sync import ConnectionConfigSync
    from opensandbox.models.sandboxes import SnapshotFilter, SnapshotInfo
    from opensandbox.sync.manager import SandboxManagerSync
except ImportError as _import_error:
    raise ImportError(
        "opensandbox is required for OpenSandbox snapshot lookup. "
        "Install it with: pip install 'vorn-tools[opensandbox]'"
    ) from _import_error

from vorn_tools.code_interpreter.redaction import get_redacting_logger

logger = get_redacting_logger(__name__)

SNAPSHOT_READY_STATE = "Ready"
SNAPSHOT_FAILED_STATE = "Failed"
SNAPSHOT_LIST_PAGE_SIZE = 100
# A server that keeps answering "next page" must not keep a scan going
# forever; reaching this many pages fails the scan.
SNAPSHOT_LIST_MAX_PAGES = 1000


class _PageCapReached(RuntimeError):
    pass


def connection_settings(
    *, domain: str | None, protocol: str, api_key: str | None, ready_timeout: float, use_server_proxy: bool
) -> dict[str, Any]:
    """The keywords of an OpenSandbox connection configuration, async or sync.

    Every caller builds its configuration afresh from these; the request
    timeout is the ready timeout.
    """
    return {
        "domain": domain,
        "protocol": protocol,
        "api_key": api_key,
        "request_timeout": timedelta(seconds=ready_timeout),
        "use_server_proxy": use_server_proxy,
    }


def list_snapshots_named(
    manager: SandboxManagerSync,
    name: str,
    *,
    ready_only: bool,
    page_size: int = SNAPSHOT_LIST_PAGE_SIZE,
) -> list[SnapshotInfo]:
    """The snapshots named exactly ``name``, newest first.

    With ``ready_only`` only snapshots in state "Ready" are asked for. A failed
    scan (a listing error, an unexpected page, creation times that cannot be
    ordered, or more than ``SNAPSHOT_LIST_MAX_PAGES`` pages) logs one warning
    and gives an empty list.
    """
    states = [SNAPSHOT_READY_STATE] if ready_only else None
    matches: list[SnapshotInfo] = []
    page = 1
    try:
        while True:
            if page > SNAPSHOT_LIST_MAX_PAGES:
                raise _PageCapReached(f"listing still had more pages after {SNAPSHOT_LIST_MAX_PAGES} pages")
            result: Any = manager.list_snapshots(SnapshotFilter(states=states, page_size=page_size, page=page))
            for snapshot in result.snapshot_infos or ():
                if snapshot.name == name:
                    matches.append(snapshot)
            pagination = result.pagination
            if not pagination or not pagination.has_next_page:
                break
            page += 1
        # Inside the guard: creation times that cannot be ordered (naive mixed
        # with aware, or missing) are a listing the scan cannot use.
        matches.sort(key=lambda snapshot: snapshot.created_at, reverse=True)
    except Exception as exc:
        logger.warning(f"OpenSandbox snapshot lookup failed for {name!r}: {exc}")
        return []
    return matches


def newest_ready_snapshot_id(
    name: str,
    *,
    connection_config: ConnectionConfigSync,
    page_size: int = SNAPSHOT_LIST_PAGE_SIZE,
) -> str | None:
    """The id of the newest "Ready" snapshot named ``name``, or ``None``.

    A failed scan also gives ``None``; a failure to create the manager
    propagates. The manager is closed before returning.
    """
    manager = SandboxManagerSync.create(connection_config=connection_config)
    try:
        snapshots = list_snapshots_named(manager, name, ready_only=True, page_size=page_size)
    finally:
        manager.close()
    if not snapshots:
        return None
    return snapshots[0].id
