"""The deprecated base: system message, file lines and the deprecation warning."""

import abc
import inspect
import subprocess
import sys
import warnings

import pytest

from vorn_tools.code_interpreter.code_interpreter.code_interpreter import BaseCodeInterpreter

DEFAULT = "You are a helpful assistant with code execution capabilities."


def _defined_quietly():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)

        class Impl(BaseCodeInterpreter):
            async def execute(self, message, files=None, **kwargs):
                return await super().execute(message, files, **kwargs)

    return Impl()


@pytest.mark.parametrize("args", [(), (None,), ([],)])
def test_system_message_without_files_is_the_default_prompt(args):
    assert _defined_quietly()._build_system_message(*args) == DEFAULT


def test_system_message_lists_the_files_between_header_and_footer():
    items = [{"filename": "a.csv", "file_path": "/files/a.csv"}, {"filename": "b{x}.txt"}]
    assert _defined_quietly()._build_system_message(items) == (
        DEFAULT + "\n\nAvailable files:\n- a.csv [file_path: /files/a.csv]\n- b{x}.txt"
        "\n\nThese files are accessible in the code execution environment."
    )


@pytest.mark.parametrize(
    ("item", "line"),
    [
        ({"filename": "report.csv"}, "- report.csv"),
        ({"filename": "report.csv", "file_path": "/files/report.csv"}, "- report.csv [file_path: /files/report.csv]"),
        ({"file_id": 7, "filename": "a.txt", "file_path": "/files/a.txt"}, "- a.txt [file_id: 7, file_path: /files/a.txt]"),
        ({"file_id": 7}, "- unknown [file_id: 7]"),
        ({"filename": None}, "- None"),
        ({"filename": ""}, "- "),
        ({"filename": "{a}{{b}}"}, "- {a}{{b}}"),
    ],
)
def test_file_lines(item, line):
    assert _defined_quietly()._format_single_file(item) == line


def test_files_section_of_no_lines_and_bad_items():
    ci = _defined_quietly()
    assert ci._format_files_section([]) == (
        "\n\nAvailable files:\n\n\nThese files are accessible in the code execution environment."
    )
    with pytest.raises(TypeError):
        ci._format_files_section([1])
    with pytest.raises(AttributeError):
        ci._format_single_file("a.csv")


async def test_base_execute_raises_not_implemented():
    with pytest.raises(NotImplementedError):
        await _defined_quietly().execute("hi")


def _define(**namespace):
    class Child(BaseCodeInterpreter, **namespace):
        pass

    return Child


def test_subclass_warning_points_at_the_class_statement():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 2

        class MyInterpreter(BaseCodeInterpreter):
            pass

    assert len(caught) == 1
    w = caught[0]
    assert w.category is DeprecationWarning
    assert str(w.message) == (
        "MyInterpreter subclasses BaseCodeInterpreter, which is deprecated and will be merged into "
        "SandboxCodeInterpreter. Subclass or use SandboxCodeInterpreter instead."
    )
    assert (w.filename, w.lineno) == (__file__, line)


def test_each_definition_warns_once_and_instances_never():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        class Outer:
            class Mid(BaseCodeInterpreter):
                async def execute(self, message, files=None, **kwargs):
                    return None

        class Leaf(Outer.Mid):
            pass

        Leaf()
        Outer.Mid()

    assert [str(w.message).split()[0] for w in caught] == ["Mid", "Leaf"]
    assert {w.filename for w in caught} == {__file__}


def test_warning_skips_custom_metaclasses_and_chained_hooks():
    class Meta(abc.ABCMeta):
        def __new__(mcls, name, bases, ns, **kw):
            return super().__new__(mcls, name, bases, ns, **kw)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        class Hooked(BaseCodeInterpreter, metaclass=Meta):
            def __init_subclass__(cls, **kw):
                super().__init_subclass__(**kw)

        class Below(Hooked):
            pass

        Dynamic = type(Below)("Dynamic", (Below,), {})

    assert [str(w.message).split()[0] for w in caught] == ["Hooked", "Below", "Dynamic"]
    assert [w.filename for w in caught] == [__file__] * 3
    assert Dynamic.__name__ == "Dynamic"


def test_refused_class_keyword_fails_before_any_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            _define(colour="red")
    assert caught == []


def test_abstract_execute_blocks_instantiation():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        Child = _define()
    with pytest.raises(TypeError, match="abstract"):
        Child()


def test_importing_the_interpreter_warns_once_at_its_definition():
    code = (
        "import warnings; warnings.simplefilter('always')\n"
        "with warnings.catch_warnings(record=True) as w:\n"
        "    warnings.simplefilter('always')\n"
        "    import vorn_tools.code_interpreter.code_interpreter\n"
        "    assert w == [], w\n"
        "    import vorn_tools.code_interpreter.code_interpreter.code_interpreter\n"
        "    assert w == [], w\n"
        "    import vorn_tools.code_interpreter.code_interpreter.sandbox_code_interpreter\n"
        "print(len(w), w[0].category.__name__, str(w[0].message).split()[0], w[0].filename.rsplit('/', 1)[-1])\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1", "DeprecationWarning", "SandboxCodeInterpreter", "sandbox_code_interpreter.py"]
