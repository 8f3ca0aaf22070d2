"""The code interpreter end to end on ``OpenSandbox``, from an image and from a snapshot name."""

from __future__ import annotations

import pytest
from vorn_inference.schema import Attachment

from tests.fakes.opensandbox_server import OpenSandboxStandIn
from tests.opensandbox.conftest import eventually
from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter

READ_CODE = """import csv
with open("/tmp/files/sales.csv", newline="") as fh:
    totals = {}
    for row in csv.DictReader(fh):
        totals[row["region"]] = totals.get(row["region"], 0) + int(row["amount"])
print(f"totals: {totals}")
"""

# Uses `totals` from the first run (kernel state) and `seed`, which is on disk only
# in a sandbox started from the snapshot.
REPORT_CODE = """import os
seed = open("/tmp/seed.txt").read() if os.path.exists("/tmp/seed.txt") else "none"
with open("/tmp/files/report.csv", "w") as fh:
    fh.write("region,total\\n" + "".join(f"{r},{a}\\n" for r, a in sorted(totals.items())))
open("/tmp/files/raw.bin", "wb").write(bytes(range(256)))
print("seed", seed)
"""


@pytest.mark.parametrize("from_snapshot", [False, True])
async def test_upload_two_runs_with_state_and_linked_files_downloaded(make_sandbox, opensandbox: OpenSandboxStandIn,
                                                                     from_snapshot):
    options = {}
    if from_snapshot:
        seeded = await make_sandbox()
        assert (await seeded.execute_command("echo -n snap > /tmp/seed.txt")).exit_code == 0
        await seeded._sandbox.create_snapshot(name="analysis")
        options = {"snapshot_name": "analysis"}
        await eventually(lambda: any(s.state == "Ready" and s.sandbox_id for s in opensandbox.snapshots.values()))
    sandbox = await make_sandbox(**options)
    model = ScriptedLMInvoker([
        reply("Reading.", code_call("c1", READ_CODE)),
        reply("", code_call("c2", REPORT_CODE)),
        reply("[report](sandbox:/tmp/files/report.csv) and [raw](sandbox:/tmp/files/raw.bin)"),
    ])
    sales = Attachment.from_bytes(bytes=b"region,amount\nnorth,10\nsouth,20\nnorth,30\n", filename="sales.csv")

    out = await SandboxCodeInterpreter(sandbox, model).execute("Total the sales.", [sales])

    first, second = out.code_exec_results
    assert first.output == ["totals: {'north': 40, 'south': 20}\n"]
    assert second.output[0] == ("seed snap\n" if from_snapshot else "seed none\n")
    report, raw = second.output[1:]
    assert (report.filename, report.data) == ("report.csv", b"region,total\nnorth,40\nsouth,20\n")
    assert (raw.filename, raw.data) == ("raw.bin", bytes(range(256)))
    uploads = [body["paths"] for route, body in opensandbox.requests if route == "upload"]
    assert uploads == [["/tmp/files/sales.csv"], ["/tmp/files/sales.csv"]]
    source = opensandbox.sandboxes[sandbox.sandbox_id].source
    assert list(source) == (["snapshotId"] if from_snapshot else ["image"])
