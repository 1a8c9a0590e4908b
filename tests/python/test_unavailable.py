"""get_report and get_tdx_quote: argument checks first, then the fixed unavailability errors."""

from __future__ import annotations

import sys

import pytest

from quorvel import get_report, get_tdx_quote

NO_SEV_GUEST = "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest)."
NO_TDX = "TDX device failure: TDX quote generation not available (built without libtdx-attest-dev or not on Linux)."
OUT_OF_RANGE = "out of range integral type conversion attempted"


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

    @pytest.mark.parametrize(
        "args, error, message",
        [
            (("text",), TypeError, "argument '_challenge': 'str' object cannot be converted to 'PyBytes'"),
            ((bytearray(4), "x"), TypeError, "argument '_challenge': 'bytearray' object cannot be converted to 'PyBytes'"),
            ((b"", 4294967296), OverflowError, OUT_OF_RANGE),
            ((b"", 0, 4294967296), OverflowError, OUT_OF_RANGE),
            ((b"", "1", -1), TypeError, "argument '_msg_ver': 'str' object cannot be interpreted as an integer"),
            ((b"", 1, 2, 3), TypeError, "get_report() takes from 1 to 3 positional arguments but 4 were given"),
        ],
    )
    def test_argument_errors_take_precedence(self, args, error, message):
        e = raised(get_report, *args)
        assert type(e) is error
        assert str(e) == message


class TestGetTdxQuote:
    @pytest.mark.parametrize("data", [b"", bytes(64), b"\xff" * 64, bytes(1 << 16)])
    def test_raises_value_error(self, data):
        for e in (raised(get_tdx_quote, data), raised(get_tdx_quote, _report_data=data)):
            assert type(e) is ValueError
            assert e.args == (NO_TDX,) and len(NO_TDX) == 105

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((bytearray(64),), {}, "argument '_report_data': 'bytearray' object cannot be converted to 'PyBytes'"),
            (("x" * 64,), {}, "argument '_report_data': 'str' object cannot be converted to 'PyBytes'"),
            ((bytes(64), b""), {}, "get_tdx_quote() takes 1 positional arguments but 2 were given"),
            ((), {"report_data": b""}, "get_tdx_quote() got an unexpected keyword argument 'report_data'"),
        ],
    )
    def test_argument_errors_take_precedence(self, args, kwargs, message):
        e = raised(get_tdx_quote, *args, **kwargs)
        assert type(e) is TypeError
        assert str(e) == message


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
