import pytest

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.prompt_builder.prompt_builder import PromptBuilder
from vorn_inference.schema import Attachment, CodeExecResult, LMOutput, Message, Role, ToolCall


def test_lm_output_keeps_each_kind_in_order_and_refuses_others():
    out = LMOutput()
    assert (out.text, out.tool_calls, out.code_exec_results) == ("", [], [])
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


@pytest.mark.parametrize(("template", "text"), [("{{}}", "{}"), ('{{"a": {a}}}', '{"a": 1}'), ("}}{{", "}{")])
def test_prompt_builder_formats_system_then_user(template, text):
    system, user = PromptBuilder(system_template="be {a}", user_template=template).format({"a": 1})
    assert (system.role, system.text, user.role, user.text) == (Role.SYSTEM, "be 1", Role.USER, text)
    assert [m.role for m in PromptBuilder(user_template="hi").format({})] == [Role.USER]


async def test_invoker_gets_a_snapshot_the_tools_and_the_keyword_arguments():
    class Echo(BaseLMInvoker):
        async def _invoke(self, messages, **kwargs):
            convo.append(Message.user("later"))
            out = LMOutput()
            out.add_text(f"{len(messages)} {self.tools} {kwargs}")
            return out

    echo, convo = Echo(), [Message.user("hi")]
    echo.set_tools(["tool"])
    assert (await echo.invoke(convo, temperature=0)).text == "1 ['tool'] {'temperature': 0}"
