import pytest

from vorn_inference.prompt_builder.prompt_builder import PromptBuilder
from vorn_inference.schema import Role


def test_format_returns_system_then_user_and_a_copyable_list():
    prompt = PromptBuilder(system_template="You are {who}.", user_template="Sum {a} and {a}").format(
        {"who": "helpful", "a": 2}
    )
    assert [m.role for m in prompt] == [Role.SYSTEM, Role.USER]
    assert [m.text for m in prompt] == ["You are helpful.", "Sum 2 and 2"]
    grown = prompt.copy()
    grown.append(prompt[0])
    assert len(prompt) == 2


def test_empty_system_template_gives_only_the_user_message():
    assert [m.role for m in PromptBuilder(user_template="hi").format({})] == [Role.USER]


@pytest.mark.parametrize(
    ("template", "expected"),
    [
        ("{{}}", "{}"),
        ('json: {{"a": 1}}', 'json: {"a": 1}'),
        ("f'{{x!r}}'", "f'{x!r}'"),
        ("}}{{", "}{"),
    ],
)
def test_doubled_braces_are_literal(template, expected):
    assert PromptBuilder(user_template=template).format({})[0].text == expected


@pytest.mark.parametrize(
    "template",
    ['print({"a": 1})', "a } b", "a { b", "{0}", "{x.y}", "{x[0]}", "{x!r}", "{x:>3}", "{}"],
)
def test_unescaped_or_non_name_braces_are_refused_with_a_clear_error(template):
    with pytest.raises(ValueError, match="user_template.*literal braces"):
        PromptBuilder(user_template=template)


def test_missing_variable_names_itself():
    builder = PromptBuilder(system_template="{lang}", user_template="{task}")
    assert builder.variables == {"lang", "task"}
    with pytest.raises(KeyError, match="'task'"):
        builder.format({"lang": "python"})


def test_substituted_values_are_not_read_as_templates():
    assert PromptBuilder(user_template="{v}").format({"v": "{x}"})[0].text == "{x}"
