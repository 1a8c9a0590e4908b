"""get_report and get_tdx_quote: the fixed unavailability errors of well-formed calls.

Their argument checks, which come first, are the shared vectors'
(arguments.json) and the reference model's (test_properties.py).
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


class TestUnavailable:
    # The call shapes that reach these errors are the shared vectors' (arguments.json).
    @pytest.mark.parametrize("function, args, kwargs, error, message, length", [
        (get_report, (b"",), {"_msg_ver": None, "_vmpl": None}, NotImplementedError, NO_SEV_GUEST, 84),
        (get_report, (), {"_challenge": b"x" * 4096, "_vmpl": 1}, NotImplementedError, NO_SEV_GUEST, 84),
        (get_tdx_quote, (bytes(1 << 16),), {}, ValueError, NO_TDX, 105),
        (get_tdx_quote, (), {"_report_data": b"\xff" * 64}, ValueError, NO_TDX, 105),
    ])
    def test_fixed_error(self, function, args, kwargs, error, message, length):
        e = raised(function, *args, **kwargs)
        assert type(e) is error
        assert e.args == (message,) and len(message) == length
        assert e.__cause__ is None and e.__context__ is None


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
