"""The tool the code interpreter offers the model."""

from vorn_tools.code_interpreter.code_interpreter.tools.tools import create_execute_code_tool

__all__ = ["create_execute_code_tool"]
