"""get_report and get_tdx_quote: the fixed unavailability errors of well-formed calls.

Their argument checks, which come first, are in test_arguments.py and the
shared vectors (arguments.json).
"""

from __future__ import annotations

import sys

import pytest

from quorvel import get_report, get_tdx_quote

from reference import GET_REPORT_UNAVAILABLE as NO_SEV_GUEST
from reference import TDX_UNAVAILABLE as NO_TDX


def raised(function, *args, **kwargs) -> BaseException:
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return info.value


class TestGetReport:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((b"",), {}),
            ((b"",), {"_msg_ver": None, "_vmpl": None}),
            ((b"\0" * 64, None, None), {}),
            ((b"", 0, 4294967295), {}),
            ((b"", True, False), {}),
            ((), {"_challenge": b"x" * 4096, "_vmpl": 1}),
        ],
    )
    def test_raises_not_implemented(self, args, kwargs):
        e = raised(get_report, *args, **kwargs)
        assert type(e) is NotImplementedError
        assert e.args == (NO_SEV_GUEST,) and len(NO_SEV_GUEST) == 84
        assert e.__cause__ is None and e.__context__ is None


class TestGetTdxQuote:
    @pytest.mark.parametrize("data", [b"", bytes(64), b"\xff" * 64, bytes(1 << 16)])
    def test_raises_value_error(self, data):
        for e in (raised(get_tdx_quote, data), raised(get_tdx_quote, _report_data=data)):
            assert type(e) is ValueError
            assert e.args == (NO_TDX,) and len(NO_TDX) == 105


class TestRepeatedCalls:
    @pytest.mark.parametrize("function, error", [(get_report, NotImplementedError), (get_tdx_quote, ValueError)])
    def test_every_call_raises_a_fresh_exception(self, function, error):
        errors = [raised(function, b"") for _ in range(3)]
        assert [type(e) for e in errors] == [error] * 3
        assert len({id(e) for e in errors}) == 3
        assert sys.exc_info() == (None, None, None)

    def test_handled_exception_is_kept_and_chained(self):
        try:
            raise KeyError("outer")
        except KeyError as outer:
            with pytest.raises(NotImplementedError) as info:
                get_report(b"")
            assert sys.exc_info()[1] is outer
            assert info.value.__context__ is outer
