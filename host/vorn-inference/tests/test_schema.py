import pytest

from vorn_inference.schema import Attachment, CodeExecResult, LMOutput, Message, Role, ToolCall, ToolResult


def test_attachment_from_bytes_keeps_name_and_content():
    a = Attachment.from_bytes(bytes=b"a,b\n1,2\n", filename="sales.csv")
    assert (a.filename, a.data) == ("sales.csv", b"a,b\n1,2\n")
    assert "size=8" in repr(a) and "a,b" not in repr(a)


def test_lm_output_accumulates_in_order_and_splits_by_kind():
    out = LMOutput()
    assert (out.text, out.tool_calls, out.code_exec_results) == ("", [], [])
    calls = [ToolCall(id="1", name="t", args={"code": "x"}), ToolCall(id="2", name="u", args={})]
    out.add_text("hello")
    out.add_tool_call(calls)
    chart = Attachment.from_bytes(bytes=b"\x89PNG", filename="chart.png")
    records = [CodeExecResult(id="1", code="x", output=["4\n", chart]), CodeExecResult(id="2", code=None)]
    out.add_code_exec_result(records)
    out.add_tool_call(ToolCall(id="3", name="t"))
    assert out.text == "hello"
    assert [c.id for c in out.tool_calls] == ["1", "2", "3"]
    assert out.code_exec_results == records
    assert out.attachments == [chart]


@pytest.mark.parametrize(
    ("method", "bad"),
    [("add_text", 3), ("add_tool_call", "call"), ("add_code_exec_result", [ToolCall(id="1", name="t")])],
)
def test_lm_output_refuses_items_of_the_wrong_kind(method, bad):
    out = LMOutput()
    with pytest.raises(TypeError, match="expected"):
        getattr(out, method)(bad)
    assert out.outputs == []


def test_message_constructors_take_one_content_or_a_list():
    call = ToolCall(id="c1", name="execute_code_tool", args={"code": "print(1)"})
    a = Message.assistant(["thinking", call])
    assert a.role is Role.ASSISTANT and a.contents == ["thinking", call]
    u = Message.user(ToolResult(id="c1", output="1"))
    assert u.role == "user" and isinstance(u.contents[0], ToolResult) and u.contents[0].output == "1"
    assert Message.system("be brief").text == "be brief"
