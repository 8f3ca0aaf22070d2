"""The deprecated base: system message, file lines and the deprecation warning."""

import abc
import inspect
import warnings

from vorn_tools.code_interpreter.code_interpreter.code_interpreter import BaseCodeInterpreter
from vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter import SandboxCodeInterpreter

DEFAULT = "You are a helpful assistant with code execution capabilities."


def test_system_message_lists_the_files():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)

        class Impl(BaseCodeInterpreter):
            async def execute(self, message, files=None, **kwargs): ...

    ci = Impl()
    assert ci._build_system_message() == ci._build_system_message([]) == DEFAULT
    items = [{"filename": "a.csv", "file_path": "/files/a.csv"}, {"filename": "b.txt"}, {"file_id": 7}]
    assert ci._build_system_message(items).split("\n") == [
        DEFAULT, "", "Available files:", "- a.csv [file_path: /files/a.csv]", "- b.txt", "- unknown [file_id: 7]", "",
        "These files are accessible in the code execution environment.",
    ]  # fmt: skip


def test_only_classes_that_bypass_sandbox_code_interpreter_warn_at_their_class_statement():
    class Meta(abc.ABCMeta):  # a custom metaclass adds frames between the statement and the hook
        def __new__(mcls, name, bases, ns, **kw):
            return super().__new__(mcls, name, bases, ns, **kw)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 2

        class MyInterpreter(BaseCodeInterpreter, metaclass=Meta):
            def __init_subclass__(cls, **kw):
                super().__init_subclass__(**kw)

            async def execute(self, message, files=None, **kwargs):
                return None

        class Leaf(MyInterpreter):
            pass

        Leaf()

        # The recommended class, and classes built on it, are clean even under warnings-as-errors.
        warnings.simplefilter("error")

        class Mine(SandboxCodeInterpreter):
            pass

        class Mixed(Mine, MyInterpreter):
            pass

    assert [(w.category, w.filename) for w in caught] == [(DeprecationWarning, __file__)] * 2
    assert caught[0].lineno == line
    names = [str(w.message).split(" subclasses BaseCodeInterpreter,")[0] for w in caught]
    assert names == ["MyInterpreter", "Leaf"]
