"""The code interpreter end to end on ``E2BSandbox``, through the real SDK and the stand-in."""

from __future__ import annotations

from vorn_inference.schema import Attachment, Role, ToolResult

from tests.fakes.e2b_server import E2BStandIn
from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox

SALES = b"region,amount\nnorth,10\nsouth,20\nnorth,30\n"

READ_CODE = """import csv
totals = {}
with open("/files/sales.csv", newline="") as fh:
    for row in csv.DictReader(fh):
        totals[row["region"]] = totals.get(row["region"], 0) + int(row["amount"])
print(f"totals: {totals}")
"""

# Uses `totals` from the first run: the sandbox keeps its interpreter state.
REPORT_CODE = """rows = [f"{region},{amount}" for region, amount in sorted(totals.items())]
with open("/files/report.csv", "w") as fh:
    fh.write("region,total\\n" + "\\n".join(rows) + "\\n")
with open("/files/raw.bin", "wb") as fh:
    fh.write(bytes(range(256)))
print("written")
"""


def _tool_outputs(messages) -> list[str]:
    return [m.contents[0].output for m in messages if m.role == Role.USER and isinstance(m.contents[0], ToolResult)]


async def test_upload_two_runs_with_state_and_linked_files_downloaded(sandbox: E2BSandbox, e2b: E2BStandIn) -> None:
    model = ScriptedLMInvoker(
        [
            reply("Reading the data.", code_call("c1", READ_CODE)),
            reply("", code_call("c2", REPORT_CODE)),
            lambda messages: reply(
                f"North sold 40, south 20 ({_tool_outputs(messages)[-1].strip()}).\n\n"
                "[Download report.csv](sandbox:/files/report.csv) and "
                "[the raw bytes](sandbox:/files/raw.bin)"
            ),
        ]
    )
    interpreter = SandboxCodeInterpreter(sandbox, model)

    out = await interpreter.execute("Total the sales per region.", [Attachment.from_bytes(bytes=SALES, filename="sales.csv")])

    assert "[file_path: /files/sales.csv]" in model.invocations[0][0][0].text
    assert out.text.startswith("North sold 40, south 20 (written).")
    first, second = out.code_exec_results
    assert (first.id, first.output) == ("c1", ["totals: {'north': 40, 'south': 20}\n"])
    assert second.id == "c2" and second.output[0] == "written\n"
    report, raw = second.output[1:]
    assert (report.filename, report.data) == ("report.csv", b"region,total\nnorth,40\nsouth,20\n")
    assert (raw.filename, raw.data) == ("raw.bin", bytes(range(256)))

    # Inputs were uploaded with every run; outputs came through the signed URL only.
    uploads = [body["paths"] for route, body in e2b.requests if route == "files.write"]
    assert uploads == [["/files/sales.csv"], ["/files/sales.csv"]]
    reads = [(body["path"], body["signed"]) for route, body in e2b.requests if route == "files.read"]
    assert reads == [("/files/report.csv", True), ("/files/raw.bin", True)]

