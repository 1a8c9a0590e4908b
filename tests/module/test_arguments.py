"""How a message shows a keyword that matches no parameter.

Argument matching and conversion are checked by the shared vectors
(test_vectors.py) and, over every kind of call and value, against the
reference model (test_properties.py).
"""

from __future__ import annotations

import sys

import pytest

from quorvel import get_tdx_quote, parse_report

import report_builder
from hostile_objects import Unprintable, captured_unraisable


class SelfNamed(Unprintable):
    """Its type's name is an instance of itself, as unprintable as it."""


SelfNamed.__name__ = SelfNamed("SelfNamed")

VALID = bytes(report_builder.minimal(3))


def call(function, *args, **kwargs):
    """Calls a function that must raise; returns the exception."""
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return info.value


class TestKeywordText:
    @pytest.mark.parametrize(
        "key, shown",
        [("\ud800", "\ufffd" * 3), ("a\udfffb", "a\ufffd\ufffd\ufffdb"), ("\udbff\udc00", "\ufffd" * 6)],
    )
    def test_lone_surrogates_become_replacement_characters(self, key, shown):
        e = call(parse_report, **{key: VALID})
        assert type(e) is TypeError
        assert str(e) == f"parse_report() got an unexpected keyword argument '{shown}'"

    @pytest.mark.parametrize("key, shown, reports", [
        (Unprintable("x"), "<unprintable Unprintable object>", 1),
        # Every type name is unprintable in turn: the names are given up
        # after eight levels instead of recursing without end.
        (SelfNamed("x"), "<unprintable " * 8 + "<unprintable object>" + " object>" * 8, 9),
    ])
    def test_unprintable_keyword_goes_to_the_unraisable_hook(self, key, shown, reports):
        with captured_unraisable() as seen:
            e = call(get_tdx_quote, **{key: b""})
        assert type(e) is TypeError
        assert str(e) == f"get_tdx_quote() got an unexpected keyword argument '{shown}'"
        assert [(exc_type, str(exc_value)) for exc_type, exc_value, _ in seen] == [(RuntimeError, "no text")] * reports
        assert seen[0][2] is key
        assert sys.exc_info() == (None, None, None)
