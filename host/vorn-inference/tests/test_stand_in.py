"""The stand-in's records are strict, so a library that misuses them fails its own tests.

The prompt builder and the invoker are exercised through the code interpreter's tests.
"""

import pytest

from vorn_inference.schema import Attachment, CodeExecResult, LMOutput, ToolCall


def test_lm_output_keeps_each_kind_in_order_and_refuses_others():
    out = LMOutput()
    calls = [ToolCall(id="1", name="t", args={"code": "x"}), ToolCall(id="2", name="u")]
    chart = Attachment.from_bytes(bytes=b"\x89PNG", filename="chart.png")
    records = [CodeExecResult(id="1", code="x", output=["4\n", chart]), CodeExecResult(id="2")]
    out.add_text("hello")
    out.add_tool_call(calls)
    out.add_code_exec_result(records)
    assert (out.text, out.tool_calls, out.code_exec_results, out.attachments) == ("hello", calls, records, [chart])
    with pytest.raises(TypeError, match="expected ToolCall"):
        out.add_tool_call([calls[0], "call"])
    assert out.tool_calls == calls
