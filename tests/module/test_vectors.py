"""The module against the shared test vectors of tests/vectors (format in its README)."""

from __future__ import annotations

import builtins
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import quorvel

VECTORS_DIR = Path(__file__).resolve().parents[1] / "vectors"
FILES = sorted(VECTORS_DIR.glob("*.json"))
VECTORS = [(path.name, v) for path in FILES for v in json.loads(path.read_text(encoding="utf-8"))["vectors"]]


DECODERS: dict[str, Callable[[Any], Any]] = {
    "bytes": bytes.fromhex,
    "bytearray": bytearray.fromhex,
    "str": str,
    "int": int,
    "float": float,
    "bool": bool,
}


def decode_value(value: Any) -> Any:
    """An argument from its JSON form (README.md of the vectors)."""
    if value is None:
        return None
    (tag, content), = value.items()
    return DECODERS[tag](content)


def as_json(value: Any) -> Any:
    """A result in the vectors' form: bytes as hex, dictionaries in their own order."""
    if type(value) is bytes:
        return value.hex()
    if type(value) is dict:
        return {key: as_json(item) for key, item in value.items()}
    assert value is None or type(value) is int, f"unexpected {type(value).__name__} in a result"
    return value


def test_files_are_up_to_date(monkeypatch):
    monkeypatch.syspath_prepend(str(VECTORS_DIR))
    for name in ("generate", "reference"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    import generate

    expected = generate.render()
    assert sorted(expected) == [path.name for path in FILES], "vector files differ from what generate.py writes"
    stale = [name for name, text in expected.items() if (VECTORS_DIR / name).read_text(encoding="utf-8") != text]
    assert not stale, f"run python tests/vectors/generate.py: {stale} out of date"


def test_names_are_unique():
    names = [(file, vector["name"]) for file, vector in VECTORS]
    assert len(names) == len(set(names))
    assert len(VECTORS) >= 150


@pytest.mark.parametrize("vector", [v for _, v in VECTORS], ids=[f"{file[:-5]}:{v['name']}" for file, v in VECTORS])
def test_vector(vector):
    function = getattr(quorvel, vector["function"])
    args = [decode_value(a) for a in vector["args"]]
    kwargs = {key: decode_value(value) for key, value in vector["kwargs"].items()}
    try:
        result = function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - compared with the expectation below
        assert "error" in vector, f"raised {error!r}, expected a result"
        expected = vector["error"]
        assert type(error) is getattr(builtins, expected["type"])
        assert len(error.args) == 1 and type(error.args[0]) is str
        if "message" in expected:
            assert error.args[0] == expected["message"]
        elif "message_prefix" in expected:
            assert error.args[0].startswith(expected["message_prefix"])
            assert len(error.args[0]) > len(expected["message_prefix"])
        return
    assert "result" in vector, f"returned a result, expected {vector['error']}"
    # Compared as text so that key order counts too.
    assert json.dumps(as_json(result)) == json.dumps(vector["result"])
