import pytest

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.schema import LMOutput, Message


class EchoInvoker(BaseLMInvoker):
    def __init__(self):
        super().__init__()
        self.seen = []

    async def _invoke(self, messages, **kwargs):
        self.seen.append((messages, kwargs))
        out = LMOutput()
        out.add_text(f"{len(messages)} messages, {len(self.tools)} tools")
        return out


async def test_invoke_passes_a_snapshot_and_the_keyword_arguments():
    inv = EchoInvoker()
    inv.set_tools(["tool"])
    convo = [Message.user("hi")]
    out = await inv.invoke(convo, temperature=0)
    convo.append(Message.assistant("later"))
    assert out.text == "1 messages, 1 tools"
    assert len(inv.seen[0][0]) == 1 and inv.seen[0][1] == {"temperature": 0}
    assert (await inv.invoke("plain text")).text.startswith("1 messages")


async def test_invalid_prompt_and_tools_are_refused():
    inv = EchoInvoker()
    with pytest.raises(TypeError, match="prompt"):
        await inv.invoke([{"role": "user"}])
    with pytest.raises(TypeError, match="tools must be a list"):
        inv.set_tools("tool")


def test_base_is_abstract():
    with pytest.raises(TypeError):
        BaseLMInvoker()
