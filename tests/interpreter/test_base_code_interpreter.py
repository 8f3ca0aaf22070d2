"""The deprecated base: system message, file lines and the deprecation warning."""

import abc
import inspect
import subprocess
import sys
import warnings

import pytest

from vorn_tools.code_interpreter.code_interpreter.code_interpreter import BaseCodeInterpreter

DEFAULT = "You are a helpful assistant with code execution capabilities."


def _quiet_subclass(**namespace):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return type(BaseCodeInterpreter)("Impl", (BaseCodeInterpreter,), namespace)


async def _execute(self, message, files=None, **kwargs):
    return await super(type(self), self).execute(message, files, **kwargs)


async def test_abstract_execute_and_the_system_message():
    with pytest.raises(TypeError, match="abstract"):
        _quiet_subclass()()
    ci = _quiet_subclass(execute=_execute)()
    with pytest.raises(NotImplementedError):
        await ci.execute("hi")
    assert ci._build_system_message() == ci._build_system_message(None) == ci._build_system_message([]) == DEFAULT
    items = [{"filename": "a.csv", "file_path": "/files/a.csv"}, {"filename": "b{x}.txt"}]
    assert ci._build_system_message(items).split("\n") == [
        DEFAULT, "", "Available files:", "- a.csv [file_path: /files/a.csv]", "- b{x}.txt", "",
        "These files are accessible in the code execution environment.",
    ]


@pytest.mark.parametrize(
    ("item", "line"),
    [
        ({"filename": "report.csv"}, "- report.csv"),
        ({"file_id": 7, "filename": "a.txt", "file_path": "/f/a.txt"}, "- a.txt [file_id: 7, file_path: /f/a.txt]"),
        ({"file_id": 7}, "- unknown [file_id: 7]"),
        ({"filename": None}, "- None"),
        ({"filename": "{a}{{b}}"}, "- {a}{{b}}"),
        ("a.csv", AttributeError),
    ],
)
def test_file_lines(item, line):
    ci = _quiet_subclass(execute=_execute)()
    if isinstance(line, str):
        assert ci._format_single_file(item) == line
    else:
        with pytest.raises(line):
            ci._format_single_file(item)


def test_subclass_warning_points_at_the_class_statement_once_per_definition():
    class Meta(abc.ABCMeta):
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
        with pytest.raises(TypeError):
            type(BaseCodeInterpreter)("Refused", (BaseCodeInterpreter,), {}, colour="red")

    assert [(w.category, w.filename) for w in caught] == [(DeprecationWarning, __file__)] * 2
    assert caught[0].lineno == line and str(caught[0].message).startswith("MyInterpreter subclasses BaseCodeInterpreter,")
    assert str(caught[1].message).startswith("Leaf subclasses BaseCodeInterpreter,")


def test_importing_the_interpreter_warns_once_at_its_definition():
    code = (
        "import warnings\n"
        "with warnings.catch_warnings(record=True) as w:\n"
        "    warnings.simplefilter('always')\n"
        "    import vorn_tools.code_interpreter.code_interpreter.code_interpreter\n"
        "    assert w == [], w\n"
        "    import vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter\n"
        "print(len(w), w[0].category.__name__, str(w[0].message).split()[0], w[0].filename.rsplit('/', 1)[-1])\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    expected = ["1", "DeprecationWarning", "SandboxCodeInterpreter", "sandbox_code_interpreter.py"]
    assert done.stdout.split() == expected, done.stderr
