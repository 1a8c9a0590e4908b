"""How the three functions match their arguments and check bytes arguments.

Beyond the call shapes of the shared vectors; the integer conversions are
properties over every kind of value, edge values always included
(test_properties.py).
"""

from __future__ import annotations

import sys

import pytest

from quorvel import get_report, get_tdx_quote, parse_report

import report_builder
from hostile_objects import Outer, Unprintable, captured_unraisable


class SelfNamed(Unprintable):
    """Its type's name is an instance of itself, as unprintable as it."""


SelfNamed.__name__ = SelfNamed("SelfNamed")

VALID = bytes(report_builder.minimal(3))


def call(function, *args, **kwargs):
    """Calls a function that must raise; returns the exception."""
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return info.value


MISSING_CHALLENGE = "get_report() missing 1 required positional argument: '_challenge'"
GET_REPORT_4 = "get_report() takes from 1 to 3 positional arguments but 4 were given"
UNEXPECTED_FOO = "get_report() got an unexpected keyword argument 'foo'"


class TestCallShape:
    # Beyond the call shapes of the shared vectors (test_vectors.py).
    @pytest.mark.parametrize(
        "function, args, kwargs, message",
        [
            (get_report, (), {"_vmpl": "x", "_msg_ver": "y"}, MISSING_CHALLENGE),
            (get_tdx_quote, (1, 2, 3), {}, "get_tdx_quote() takes 1 positional arguments but 3 were given"),
            (parse_report, (), {"report_bytes ": VALID}, "parse_report() got an unexpected keyword argument 'report_bytes '"),
            (get_tdx_quote, (), {"ключ": b""}, "get_tdx_quote() got an unexpected keyword argument 'ключ'"),
            (get_report, (b"", None, None), {"_vmpl": None}, "get_report() got multiple values for argument '_vmpl'"),
            # The positional count comes before any keyword, keywords before missing
            # parameters, the first bad keyword ends the search, and the call's shape
            # is checked before any argument's type.
            (get_report, (b"", 1, 2, 3), {"foo": 1}, GET_REPORT_4),
            (parse_report, (VALID, VALID), {"report_bytes": VALID}, "parse_report() takes 1 positional arguments but 2 were given"),
            (get_report, (), {"foo": 1}, UNEXPECTED_FOO),
            (get_report, (), {"_msg_ver": 1, "foo": 1}, UNEXPECTED_FOO),
            (get_report, (), {"foo": 1, "bar": 2}, UNEXPECTED_FOO),
            (get_report, (b"",), {"_challenge": b"", "foo": 1}, "get_report() got multiple values for argument '_challenge'"),
            (parse_report, ("text",), {"foo": 1}, "parse_report() got an unexpected keyword argument 'foo'"),
            (get_report, ("text", "x", "y", "z"), {}, GET_REPORT_4),
        ],
    )
    def test_message(self, function, args, kwargs, message):
        e = call(function, *args, **kwargs)
        assert type(e) is TypeError
        assert e.args == (message,)

    def test_keywords_and_positions_are_equivalent(self):
        assert parse_report(report_bytes=VALID) == parse_report(VALID)
        # Names are matched by content, so a str subclass works too.
        assert parse_report(**{Unprintable("report_bytes"): VALID}) == parse_report(VALID)
        assert type(call(get_report, _vmpl=2, _msg_ver=1, _challenge=b"")) is NotImplementedError
        assert type(call(get_tdx_quote, _report_data=b"")) is ValueError


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


BYTES_PARAMETERS = [(parse_report, "report_bytes"), (get_report, "_challenge"), (get_tdx_quote, "_report_data")]


class TestBytesArgument:
    @pytest.mark.parametrize("function, name", BYTES_PARAMETERS)
    @pytest.mark.parametrize(
        "value, type_name",
        [(bytearray(VALID), "bytearray"), (memoryview(VALID), "memoryview"), (VALID.decode("latin-1"), "str"),
         (None, "NoneType"), (5, "int"), ([1, 2], "list"), (Outer.Inner(), "Outer.Inner")],
    )
    def test_rejected(self, function, name, value, type_name):
        for e in (call(function, value), call(function, **{name: value})):
            assert type(e) is TypeError
            assert e.args == (f"argument '{name}': '{type_name}' object cannot be converted to 'PyBytes'",)
            assert e.__cause__ is None and e.__suppress_context__ is True

    def test_bytes_subclass_accepted(self):
        class Raw(bytes):
            pass

        assert parse_report(Raw(VALID)) == parse_report(VALID)
        assert type(call(get_report, Raw(b"x"))) is NotImplementedError
        assert type(call(get_tdx_quote, Raw(b"x"))) is ValueError
