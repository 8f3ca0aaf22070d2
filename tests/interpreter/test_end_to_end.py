"""A scripted model driving the interpreter against a real local sandbox."""

import re

import pytest
from vorn_inference.schema import Attachment, Role, ToolResult

from tests.fakes.local_sandbox import LocalSandbox
from tests.interpreter.scripted_model import ScriptedLMInvoker, code_call, reply
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter

SALES = b"region,amount\nnorth,10\nsouth,20\nnorth,30\n"

READ_CODE = """import csv
totals = {{}}
with open({path!r}, newline="") as fh:
    for row in csv.DictReader(fh):
        totals[row["region"]] = totals.get(row["region"], 0) + int(row["amount"])
print(f"rows read, totals: {{totals}}")
"""

CHART_CODE = """import os
path = os.path.join(os.path.dirname({csv_path!r}), "chart.svg")
bars = "".join(
    f'<rect x="{{i * 40}}" y="{{100 - v}}" width="30" height="{{v}}"><title>{{k}}</title></rect>'
    for i, (k, v) in enumerate(sorted(totals.items()))
)
with open(path, "w") as fh:
    fh.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100">{{bars}}</svg>')
print(path)
"""


def last_tool_output(messages):
    return [m.contents[0].output for m in messages if m.role == Role.USER and isinstance(m.contents[0], ToolResult)][-1]


def csv_path_from_system(messages):
    return re.search(r"- sales\.csv \[file_path: (.+)\]", messages[0].text).group(1)


@pytest.fixture
async def local_sandbox():
    sandbox = await LocalSandbox.create()
    yield sandbox
    await sandbox.terminate()


async def test_model_uploads_runs_twice_writes_a_chart_and_links_it(local_sandbox):
    model = ScriptedLMInvoker(
        [
            lambda msgs: reply("Let me read the data.", code_call("c1", READ_CODE.format(path=csv_path_from_system(msgs)))),
            lambda msgs: reply("", code_call("c2", CHART_CODE.format(csv_path=csv_path_from_system(msgs)))),
            lambda msgs: reply(f"North sold 40, south 20.\n\n[Download chart.svg](sandbox:{last_tool_output(msgs)})"),
        ]
    )
    interpreter = SandboxCodeInterpreter(local_sandbox, model)
    files = [Attachment.from_bytes(bytes=SALES, filename="sales.csv")]

    out = await interpreter.execute("Chart the sales per region.", files)

    # The model was told the real location of its input, and the code found it there.
    assert csv_path_from_system(model.invocations[0][0]) == f"{local_sandbox.root}/files/sales.csv"
    assert out.text.startswith("North sold 40, south 20.")
    first, second = out.code_exec_results
    assert (first.id, first.output) == ("c1", ["rows read, totals: {'north': 40, 'south': 20}\n"])
    chart_path = f"{local_sandbox.root}/files/chart.svg"
    assert second.id == "c2" and second.output[0] == chart_path + "\n"
    (chart,) = second.output[1:]
    assert chart.filename == "chart.svg"
    assert chart.data == open(chart_path, "rb").read() and chart.data.count(b"<rect") == 2
    assert out.attachments == [chart]

