"""A scripted model driving the interpreter against a real local sandbox."""

import re

from vorn_inference.schema import Attachment, ToolResult

from tests.fakes.local_sandbox import LocalSandbox
from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter

READ_CODE = """import csv
src = {path!r}
totals = {{}}
for row in csv.DictReader(open(src, newline="")):
    totals[row["region"]] = totals.get(row["region"], 0) + int(row["amount"])
print(f"totals: {{totals}}")
"""

# Uses `src` and `totals` from the first run: the sandbox keeps its interpreter state.
CHART_CODE = """import os
path = os.path.join(os.path.dirname(src), "chart.svg")
open(path, "w").write("<svg>" + "".join(f'<rect height="{v}"/>' for v in totals.values()) + "</svg>")
print(path)
"""


def csv_path(messages):
    return re.search(r"- sales\.csv \[file_path: (.+)\]", messages[0].text).group(1)


def last_tool_output(messages):
    return [m.contents[0].output for m in messages if isinstance(m.contents[0], ToolResult)][-1]


async def test_model_uploads_runs_twice_writes_a_chart_and_links_it():
    model = ScriptedLMInvoker(
        [
            lambda m: reply("Let me read the data.", code_call("c1", READ_CODE.format(path=csv_path(m)))),
            reply("", code_call("c2", CHART_CODE)),
            lambda m: reply(f"North sold 40, south 20.\n\n[Download chart.svg](sandbox:{last_tool_output(m)})"),
        ]
    )
    sales = Attachment.from_bytes(bytes=b"region,amount\nnorth,10\nsouth,20\nnorth,30\n", filename="sales.csv")
    sandbox = await LocalSandbox.create()
    try:
        out = await SandboxCodeInterpreter(sandbox, model).execute("Chart the sales per region.", [sales])
        chart_path = f"{sandbox.root}/files/chart.svg"
        on_disk = open(chart_path, "rb").read()
        # The model was told the real location of its input, and its code found the file there.
        assert csv_path(model.invocations[0][0]) == f"{sandbox.root}/files/sales.csv"
    finally:
        await sandbox.terminate()
    assert out.text.startswith("North sold 40, south 20.")
    first, second = out.code_exec_results
    assert (first.id, first.output) == ("c1", ["totals: {'north': 40, 'south': 20}\n"])
    assert (second.id, second.output[0]) == ("c2", chart_path + "\n")
    (chart,) = second.output[1:]
    assert (chart.filename, chart.data) == ("chart.svg", on_disk) and on_disk.count(b"<rect") == 2
    assert out.attachments == [chart]
