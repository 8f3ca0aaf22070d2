"""The logger manager."""

import logging

from vorn_core.logging import LoggerManager


def test_same_name_gives_the_same_standard_logger():
    first = LoggerManager().get_logger("vorn_core.tests.a")
    assert first is LoggerManager().get_logger("vorn_core.tests.a") is logging.getLogger("vorn_core.tests.a")
    assert first is not LoggerManager().get_logger("vorn_core.tests.b")
