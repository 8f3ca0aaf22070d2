# The stand-in's records are strict, so a library that misuses them fails its own tests.
import pytest

from vorn_inference.schema import LMOutput, ToolCall


def test_lm_output_joins_texts_and_refuses_other_kinds():
    out = LMOutput()
    out.add_text(["a", "b"])
    with pytest.raises(TypeError, match="expected ToolCall"):
        out.add_tool_call([ToolCall(id="1", name="t"), "call"])
    assert (out.text, out.tool_calls) == ("a\nb", [])
