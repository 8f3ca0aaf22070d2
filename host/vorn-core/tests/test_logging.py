"""The logger manager."""

from __future__ import annotations

import logging

import pytest

from vorn_core.logging import LoggerManager


def test_same_name_gives_the_same_standard_logger():
    first = LoggerManager().get_logger("vorn_core.tests.a")
    assert first is LoggerManager().get_logger("vorn_core.tests.a")
    assert first is logging.getLogger("vorn_core.tests.a")
    assert first is not LoggerManager().get_logger("vorn_core.tests.b")
    assert LoggerManager() is LoggerManager()


@pytest.mark.parametrize(("name", "error"), [(None, TypeError), (3, TypeError), ("", ValueError)])
def test_bad_names_are_refused(name, error):
    with pytest.raises(error, match="logger name"):
        LoggerManager().get_logger(name)
