"""The JSON layer seen from Python: Python values enter it through json.dumps and the module's
parser (partitions() is the shortest road in), and the parser's fault descriptions come back in the
caller's message. Replacing json.dumps reaches the parser with any text at all."""

import builtins
import json
import pathlib
import sys
import types

import pytest

import _quarl

CONFORMANCE = json.loads(
    (pathlib.Path(__file__).parent / "data" / "json-parse.json").read_text(encoding="utf-8")
)


@pytest.fixture
def feed(monkeypatch):
    """feed(text) makes json.dumps return `text` for whatever it is given, so that partitions()
    hands exactly that text to the parser."""

    def use(text):
        monkeypatch.setattr(json, "dumps", lambda value: text)

    return use


def nested_list(levels):
    """A list nested `levels` deep, counting itself: nested_list(2) == [[]]."""
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


# ---------------------------------------------------------------------------------------------
# Parser


def case_id(case):
    text = case["text"]
    return repr(text if len(text) <= 24 else f"{text[:10]}...{len(text)} chars")


@pytest.mark.parametrize("case", CONFORMANCE, ids=[case_id(c) for c in CONFORMANCE])
def test_parser_conformance(feed, case):
    feed(case["text"])
    if case.get("ok"):
        assert repr(_quarl.partitions([None])) == "Partitions(1 values)"
    else:
        with pytest.raises(ValueError) as caught:
            _quarl.partitions([None])
        assert str(caught.value) == "invalid partition value: " + case["error"]


@pytest.mark.parametrize(
    "text",
    [
        " \t\r\n[1] \t\r\n",
        '{"a": [1, 2.5, "x", true, false, null], "b": {}}',
        '"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\"\\\\"',
        '"raw UTF-8: \u00e9 \u20ac \U0001f600"',
        "-0",
        "-9223372036854775808",
        "18446744073709551616",
        "-1e-400",
        "1" * 400,
    ],
)
def test_parser_accepts(feed, text):
    feed(text)
    assert repr(_quarl.partitions([None, None])) == "Partitions(2 values)"


@pytest.mark.parametrize(
    "value, error",
    [
        (float("nan"), "expected value at line 1 column 1"),
        (float("inf"), "expected value at line 1 column 1"),
        (float("-inf"), "invalid number at line 1 column 2"),
        ([1.0, float("nan")], "expected value at line 1 column 7"),
        ({"k": float("inf")}, "expected value at line 1 column 7"),
    ],
)
def test_non_finite_floats_are_refused(value, error):
    with pytest.raises(ValueError) as caught:
        _quarl.partitions(["fine", value])
    assert str(caught.value) == "invalid partition value: " + error


@pytest.mark.parametrize(
    "levels, error",
    [
        (1, None),
        (127, None),
        (128, None),
        (129, "recursion limit exceeded at line 1 column 128"),
        (300, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_nesting_limit(levels, error):
    # The outer list is not itself converted: each element is, so 128 levels given to
    # partitions() mean 127 levels of JSON text.
    value = nested_list(levels)
    if error is None:
        assert repr(_quarl.partitions(value)) == f"Partitions({min(levels - 1, 1)} values)"
    else:
        with pytest.raises(ValueError) as caught:
            _quarl.partitions(value)
        assert str(caught.value) == "invalid partition value: " + error


@pytest.mark.parametrize(
    "depth, error",
    [
        (127, None),
        (128, "recursion limit exceeded at line 1 column 128"),
    ],
)
@pytest.mark.parametrize("opening, closing", [("[", "]"), ('{"k":', "}")])
def test_nesting_limit_counts_arrays_and_objects(feed, depth, error, opening, closing):
    # The 128th bracket fails at its own column, whichever kind the brackets are.
    text = opening * depth + "1" + closing * depth
    feed(text)
    if error is None:
        assert repr(_quarl.partitions([0])) == "Partitions(1 values)"
    else:
        column = (depth - 1) * len(opening) + 1
        with pytest.raises(ValueError) as caught:
            _quarl.partitions([0])
        assert str(caught.value) == (
            f"invalid partition value: recursion limit exceeded at line 1 column {column}"
        )


def test_deep_nesting_does_not_exhaust_the_stack(feed):
    feed("[" * 1_000_000)
    with pytest.raises(ValueError) as caught:
        _quarl.partitions([0])
    assert str(caught.value) == "invalid partition value: recursion limit exceeded at line 1 column 128"


@pytest.mark.parametrize(
    "text, error",
    [
        # Columns count bytes, not characters: "é" is two bytes, "€" three, "😀" four.
        ('"\u00e9" x', "trailing characters at line 1 column 6"),
        ('["\u20ac",]', "trailing comma at line 1 column 8"),
        ('{"\U0001f600":1 2}', "expected `,` or `}` at line 1 column 11"),
        ("\u00e9", "expected value at line 1 column 1"),
        # Lines count "\n" only; a column restarts after each one.
        ("[1,\n\u00e9]", "expected value at line 2 column 1"),
        ("\r\r[1,]", "trailing comma at line 1 column 6"),
        ("[\n\n\n", "EOF while parsing a list at line 4 column 0"),
        ("[\n\n\n ", "EOF while parsing a list at line 4 column 1"),
    ],
)
def test_positions_count_bytes_and_lines(feed, text, error):
    feed(text)
    with pytest.raises(ValueError) as caught:
        _quarl.partitions([0])
    assert str(caught.value) == "invalid partition value: " + error


# ---------------------------------------------------------------------------------------------
# Bridge: how json is reached and how its outcomes are reported


def test_dumps_is_looked_up_at_each_call_with_one_positional_argument(monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return "1"

    monkeypatch.setattr(json, "dumps", dumps)
    first = {"k": 1}
    assert repr(_quarl.partitions([first, "second"])) == "Partitions(2 values)"
    assert calls == [((first,), {}), (("second",), {})]
    assert calls[0][0][0] is first


def test_json_is_imported_through_the_import_machinery(monkeypatch):
    fake = types.ModuleType("json")
    fake.dumps = lambda value: '"from the fake module"'
    imported = []
    real_import = builtins.__import__

    def spy(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setitem(sys.modules, "json", fake)
    monkeypatch.setattr(builtins, "__import__", spy)
    assert repr(_quarl.partitions([{1, 2}])) == "Partitions(1 values)"  # a set: the fake took it
    assert "json" in imported


def test_failed_json_import_propagates(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ModuleNotFoundError, match="import of json halted"):
        _quarl.partitions([1])


@pytest.mark.parametrize(
    "result, type_name",
    [(5, "int"), (b"[1]", "bytes"), (None, "NoneType"), (bytearray(b"1"), "bytearray")],
)
def test_non_str_dumps_result_is_refused(feed, result, type_name):
    feed(result)
    with pytest.raises(TypeError) as caught:
        _quarl.partitions([1])
    assert str(caught.value) == f"'{type_name}' object cannot be converted to 'PyString'"


def test_str_subclass_dumps_result_is_accepted(feed):
    class Text(str):
        pass

    feed(Text("[1, 2]"))
    assert repr(_quarl.partitions([0])) == "Partitions(1 values)"


@pytest.mark.parametrize(
    "value, exception",
    [({1, 2}, TypeError), (object(), TypeError), (b"bytes", TypeError)],
)
def test_dumps_errors_pass_through_unchanged(value, exception):
    with pytest.raises(exception) as caught:
        _quarl.partitions([1, value])
    with pytest.raises(exception) as expected:
        json.dumps(value)
    assert str(caught.value) == str(expected.value)


def test_circular_value_error_passes_through():
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError) as caught:
        _quarl.partitions([loop])
    assert str(caught.value) == "Circular reference detected"


def test_dumps_exception_object_is_the_one_raised(monkeypatch):
    raised = KeyError("mine")

    def dumps(value):
        raise raised

    monkeypatch.setattr(json, "dumps", dumps)
    with pytest.raises(KeyError) as caught:
        _quarl.partitions([1])
    assert caught.value is raised
