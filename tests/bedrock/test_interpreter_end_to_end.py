"""The code interpreter end to end on ``BedrockAgentCoreSandbox``, through aiobotocore and the stand-in."""

from __future__ import annotations

from vorn_inference.schema import Attachment

from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter

# The input lands under its bare name, in the session's working directory.
READ_CODE = """import csv
totals = {}
for row in csv.DictReader(open("sales.csv", newline="")):
    totals[row["region"]] = totals.get(row["region"], 0) + int(row["amount"])
print(totals)
"""
REPORT_CODE = """open("/files/report.csv", "w").write("".join(f"{k},{v}\\n" for k, v in sorted(totals.items())))
print("written")
"""


async def test_upload_two_runs_with_state_and_linked_file_downloaded(make_sandbox, agentcore) -> None:
    model = ScriptedLMInvoker([
        reply("Reading.", code_call("c1", READ_CODE)),
        reply("", code_call("c2", REPORT_CODE)),
        reply("Done: [Download report.csv](sandbox:/files/report.csv)"),
    ])
    sales = Attachment.from_bytes(bytes=b"region,amount\nnorth,10\nsouth,20\nnorth,30\n", filename="sales.csv")

    out = await SandboxCodeInterpreter(make_sandbox(), model).execute("Total the sales.", [sales])

    assert "[file_path: sales.csv]" in model.invocations[0][0][0].text
    first, second = out.code_exec_results
    assert first.output == ["{'north': 40, 'south': 20}\n"]
    assert second.output[0] == "written\n"
    assert (second.output[1].filename, second.output[1].data) == ("report.csv", b"north,40\nsouth,20\n")
    assert agentcore.calls["start"] == 1 and agentcore.calls["writeFiles"] == 2
