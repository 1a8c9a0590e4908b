"""The module object: its attributes, its functions and its initialisation."""

from __future__ import annotations

import ctypes
import inspect
import json
import subprocess
import sys
import textwrap
import types

import pytest

import quorvel

FUNCTIONS = {
    "get_report": "(_challenge, _msg_ver=None, _vmpl=None)",
    "parse_report": "(report_bytes)",
    "get_tdx_quote": "(_report_data)",
}


def init_again():
    """Calls the exported initialisation function once more, as a second import would."""
    init = ctypes.PyDLL(quorvel.__file__).PyInit_quorvel
    init.argtypes = []
    init.restype = ctypes.py_object
    return init()


class TestModuleObject:
    def test_attributes(self):
        assert (quorvel.__name__, quorvel.__doc__) == ("quorvel", "")
        assert type(quorvel.__all__) is list
        assert quorvel.__all__ == ["get_report", "parse_report", "get_tdx_quote"]
        assert {name for name in vars(quorvel) if not name.startswith("__")} == set(FUNCTIONS)
        assert sys.modules["quorvel"] is quorvel

    @pytest.mark.parametrize("name, signature", FUNCTIONS.items())
    def test_function(self, name, signature):
        function = getattr(quorvel, name)
        assert type(function) is types.BuiltinFunctionType
        assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "quorvel")
        assert function.__self__ is quorvel
        assert function.__text_signature__ == signature
        assert function.__doc__ is None
        assert str(inspect.signature(function)) == signature


class TestRepeatedInitialisation:
    def test_returns_the_cached_module(self):
        assert init_again() is quorvel
        assert init_again() is quorvel
        assert quorvel.__all__ == ["get_report", "parse_report", "get_tdx_quote"]

    def test_keeps_attributes_set_from_python(self):
        quorvel.marker_from_test = marker = object()
        try:
            assert init_again().marker_from_test is marker
        finally:
            del quorvel.marker_from_test

    def test_functions_keep_working(self):
        functions = [quorvel.get_report, quorvel.parse_report, quorvel.get_tdx_quote]
        module = init_again()
        assert [module.get_report, module.parse_report, module.get_tdx_quote] == functions
        with pytest.raises(NotImplementedError):
            module.get_report(b"")


SUBINTERPRETER_CHILD = textwrap.dedent(
    """
    import json, sys
    import _testcapi
    import quorvel

    out = sys.argv[1]
    code = '''
    try:
        import quorvel
    except BaseException as e:
        result = [type(e).__name__, str(e)]
    else:
        result = ["imported", ""]
    import json
    with open(%r, "w") as f:
        json.dump(result, f)
    ''' % out
    outcomes = []
    for _ in range(2):
        status = _testcapi.run_in_subinterp(code)
        with open(out) as f:
            outcomes.append([status] + json.load(f))
    report = bytearray(1184)
    report[0], report[0x188], report[0x189] = 3, 0x19, 0x01
    cpuid = quorvel.parse_report(bytes(report))["cpuid"]
    print(json.dumps([outcomes, sys.modules["quorvel"] is quorvel, cpuid]))
    """
)


class TestSubinterpreter:
    def test_import_fails_in_a_second_interpreter(self, tmp_path):
        pytest.importorskip("_testcapi")
        done = subprocess.run(
            [sys.executable, "-c", SUBINTERPRETER_CHILD, str(tmp_path / "outcome.json")],
            capture_output=True, text=True, timeout=120, check=False,
        )
        assert done.returncode == 0, done.stderr
        outcomes, same_module, cpuid = json.loads(done.stdout)
        prefix = "PyO3 modules do not yet support subinterpreters, see "
        for status, kind, message in outcomes:
            assert (status, kind) == (0, "ImportError")
            assert message.startswith(prefix) and len(message) > len(prefix)
        assert outcomes[0] == outcomes[1]
        # The main interpreter's module is untouched and keeps working.
        assert same_module is True
        assert cpuid == {"fam_id": 25, "mod_id": 1, "step": 0}
