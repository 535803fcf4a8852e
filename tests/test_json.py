"""The JSON layer seen from Python: Python values enter it through json.dumps and the module's
parser (partitions() is the shortest road in), and the parser's fault descriptions come back in the
caller's message. Replacing json.dumps reaches the parser with any text at all."""

import builtins
import decimal
import json
import math
import pathlib
import struct
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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


def refusal(feed, text):
    """The message of the ValueError that partitions() raises when json.dumps gives `text`."""
    feed(text)
    with pytest.raises(ValueError) as caught:
        _quarl.partitions([0])
    return str(caught.value)


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
    if case.get("ok"):
        feed(case["text"])
        assert repr(_quarl.partitions([None])) == "Partitions(1 values)"
    else:
        assert refusal(feed, case["text"]) == "invalid partition value: " + case["error"]


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
    if error is None:
        feed(text)
        assert repr(_quarl.partitions([0])) == "Partitions(1 values)"
    else:
        column = (depth - 1) * len(opening) + 1
        assert refusal(feed, text) == (
            f"invalid partition value: recursion limit exceeded at line 1 column {column}"
        )


def test_deep_nesting_does_not_exhaust_the_stack(feed):
    assert refusal(feed, "[" * 1_000_000) == (
        "invalid partition value: recursion limit exceeded at line 1 column 128"
    )


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
    assert refusal(feed, text) == "invalid partition value: " + error


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



# ---------------------------------------------------------------------------------------------
# Writer: the compact text comes back as the values_json of a partition dimension


def values_json(values):
    wrapper = _quarl.asset(partitions={"d": _quarl.partitions(values)})(lambda d: d)
    return wrapper.__quarl_metadata__["partitions"]["d"]["values_json"]


def rewritten(feed, text):
    """The module's own text for the value that `text` parses to."""
    feed(text)
    out = values_json([None])
    assert out.startswith("[") and out.endswith("]")
    return out[1:-1]


FLOAT_LAYOUTS = [
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (1e16, "1e+16"),
    (1.5e-7, "1.5e-7"),
    (1e-6, "1e-6"),
    (-1e-6, "-1e-6"),
    (2.5e-6, "2.5e-6"),
    (1e-5, "0.00001"),
    (1.234e-5, "0.00001234"),
    (0.5, "0.5"),
    (-0.5, "-0.5"),
    (0.1, "0.1"),
    (1 / 3, "0.3333333333333333"),
    (1.0, "1.0"),
    (12.5, "12.5"),
    (100.0, "100.0"),
    (-100.0, "-100.0"),
    (123456789012345.6, "123456789012345.6"),
    (1e15, "1000000000000000.0"),
    (1234567890123456.0, "1234567890123456.0"),
    (1.2345678901234568e16, "1.2345678901234568e+16"),
    (1e21, "1e+21"),
    (1e100, "1e+100"),
    (-1.5e300, "-1.5e+300"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"),
    (5e-324, "5e-324"),
    (1e-310, "1e-310"),
]


@pytest.mark.parametrize("value, text", FLOAT_LAYOUTS, ids=[t for _, t in FLOAT_LAYOUTS])
def test_float_layout(value, text):
    assert values_json([value]) == f"[{text}]"


@pytest.mark.parametrize(
    "text, expected",
    [
        # Any spelling of a number writes back in the one layout of its value.
        ("1E16", "1e+16"),
        ("1e-06", "1e-6"),
        ("1e2", "100.0"),
        ("100.000", "100.0"),
        ("0.1e1", "1.0"),
        ("-0.0", "-0.0"),
        ("0e0", "0.0"),
        ("10000000000000000.0", "1e+16"),
        ("0.000001", "1e-6"),
        # Correct rounding, as float() reads the same text.
        ("9007199254740993.0", "9007199254740992.0"),
        ("9007199254740995.0", "9007199254740996.0"),
        ("1.00000000000000011102230246251565404236316680908203125", "1.0"),
        ("1.00000000000000011102230246251565404236316680908203125001", "1.0000000000000002"),
        ("0." + "3" * 400, "0.3333333333333333"),
        ("2.2250738585072011e-308", "2.225073858507201e-308"),
        ("2.4703282292062328e-324", "5e-324"),
        ("2.4703282292062327e-324", "0.0"),
        ("1.7976931348623158e308", "1.7976931348623157e+308"),
        ("1e-400", "0.0"),
        ("-1e-400", "-0.0"),
        ("0.0000000000000000000000000000000000000000000001e-400", "0.0"),
        ("1" + "0" * 40 + "e-400", "0.0"),
    ],
)
def test_float_texts(feed, text, expected):
    assert rewritten(feed, text) == expected
    assert float(expected) == float(text)


@pytest.mark.parametrize(
    "text, error",
    [
        ("1.7976931348623159e308", "number out of range at line 1 column 22"),
        ("0.0000001e316", "number out of range at line 1 column 13"),
        ("[1e309]", "number out of range at line 1 column 6"),
    ],
)
def test_float_overflow(feed, text, error):
    assert refusal(feed, text) == "invalid partition value: " + error


@pytest.mark.parametrize(
    "value, text",
    [
        (0, "0"),
        (-1, "-1"),
        (True, "true"),
        (False, "false"),
        (None, "null"),
        (2**63 - 1, "9223372036854775807"),
        (2**63, "9223372036854775808"),
        (2**64 - 1, "18446744073709551615"),
        (-(2**63), "-9223372036854775808"),
        # Beyond both 64-bit ranges the digits are kept as they are, never rounded to a float.
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (2**70, "1180591620717411303424"),
        (-(2**70), "-1180591620717411303424"),
        (10**100 + 1, "1" + "0" * 99 + "1"),
    ],
)
def test_integers_and_words(value, text):
    assert values_json([value]) == f"[{text}]"


def test_big_integer_in_partitions_keeps_its_digits():
    assert values_json([2**70]) == "[1180591620717411303424]"


@pytest.mark.parametrize(
    "text, expected",
    [("-0", "0"), ("0", "0"), ("1" * 400, "1" * 400), ("-" + "9" * 30, "-" + "9" * 30)],
)
def test_integer_texts(feed, text, expected):
    assert rewritten(feed, text) == expected


STRING_ESCAPES = [
    ("plain", '"plain"'),
    ("", '""'),
    ("\b\f\n\r\t", r'"\b\f\n\r\t"'),
    ('quote " and backslash \\', r'"quote \" and backslash \\"'),
    ("\x00\x01\x0b\x1a\x1f", r'"\u0000\u0001\u000b\u001a\u001f"'),
    ("\x7f and / stay", '"\x7f and / stay"'),
    ("café € \u2028 \uffff \U0001f600", '"café € \u2028 \uffff \U0001f600"'),
]


@pytest.mark.parametrize("value, text", STRING_ESCAPES, ids=[repr(v) for v, _ in STRING_ESCAPES])
def test_string_escapes(value, text):
    out = values_json([value])
    assert out == f"[{text}]"
    assert json.loads(out) == [value]


def test_non_ascii_is_written_as_utf8_bytes():
    # "é" is two bytes of UTF-8 in the text, the emoji four; neither becomes a \u escape.
    out = values_json(["é\n\U0001f600"])
    assert out.encode() == b'["\xc3\xa9\\n\xf0\x9f\x98\x80"]'


@pytest.mark.parametrize(
    "text, expected",
    [
        (r'"\u00e9\u20AC"', '"é€"'),
        (r'"\ud83d\ude00"', '"\U0001f600"'),
        (r'"\/\"\\"', r'"/\"\\"'),
        (r'"\u0000\u001F\u007f"', '"\\u0000\\u001f\x7f"'),
        (r'"\b\f\n\r\t"', r'"\b\f\n\r\t"'),
    ],
)
def test_string_escapes_in_parsed_text(feed, text, expected):
    assert rewritten(feed, text) == expected


@pytest.mark.parametrize(
    "value, text",
    [
        ({"b": 1, "a": [True, None]}, '{"a":[true,null],"b":1}'),
        ({1: "x"}, '{"1":"x"}'),
        ({None: 1, True: 2, 2.5: 3}, '{"2.5":3,"null":1,"true":2}'),
        # Both keys write as "1": the later one stays, as json.loads keeps it.
        ({1: "int", "1": "str"}, '{"1":"str"}'),
        # Byte order of the UTF-8 keys.
        (
            {"é": 1, "z": 2, "Z": 3, "\U0001f600": 4, "\uffff": 5, "": 6, "a\x00": 7, "a": 8},
            '{"":6,"Z":3,"a":8,"a\\u0000":7,"z":2,"é":1,"\uffff":5,"\U0001f600":4}',
        ),
        ({"k\n": {"y": 1, "x": {}}}, '{"k\\n":{"x":{},"y":1}}'),
        ((1, (2, [])), "[1,[2,[]]]"),
        ([], "[]"),
        ({}, "{}"),
    ],
)
def test_containers(value, text):
    assert values_json([value]) == f"[{text}]"


@pytest.mark.parametrize(
    "text, expected",
    [
        (' [ 1 , { "a" : 2 } , [ ] ] ', '[1,{"a":2},[]]'),
        ('{"a":1,"b":2,"a":3}', '{"a":3,"b":2}'),
        ('{"a":{"x":1},"a":{"y":2}}', '{"a":{"y":2}}'),
        ('{"\\u0061":1,"a":2}', '{"a":2}'),
        ('{"a":2,"\\u0061":1}', '{"a":1}'),
    ],
)
def test_objects_in_parsed_text(feed, text, expected):
    out = rewritten(feed, text)
    assert out == expected
    assert json.loads(out) == json.loads(text)


def test_values_json_of_several_values_and_of_none():
    assert values_json([]) == "[]"
    assert values_json(["a", "a", 1, 1.0]) == '["a","a",1,1.0]'


def test_deepest_accepted_nesting_writes_back_whole():
    value = nested_list(127)
    assert values_json([value]) == "[" + "[" * 127 + "]" * 127 + "]"


# ---------------------------------------------------------------------------------------------
# Properties: the module's text against Python's own json


def python_compact(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def same(a, b):
    """Equal values of the same types all the way down (1 and 1.0 differ, so do 0.0 and -0.0)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def as_loaded(value):
    """What json.loads gives back for `value`: tuples become lists."""
    if isinstance(value, (list, tuple)):
        return [as_loaded(v) for v in value]
    if isinstance(value, dict):
        return {k: as_loaded(v) for k, v in value.items()}
    return value


def json_values(scalars):
    return st.recursive(
        scalars,
        lambda children: st.lists(children, max_size=6)
        | st.dictionaries(st.text(max_size=8), children, max_size=6),
        max_leaves=24,
    )


EXACT_SCALARS = st.none() | st.booleans() | st.integers() | st.text()
FINITE_FLOATS = st.floats(allow_nan=False, allow_infinity=False)
PROPERTY_SETTINGS = settings(max_examples=200, deadline=None)


@PROPERTY_SETTINGS
@given(st.lists(json_values(EXACT_SCALARS), max_size=6))
def test_text_matches_python_compact_sorted_dumps(values):
    assert values_json(values) == python_compact(values)


@PROPERTY_SETTINGS
@given(st.lists(json_values(EXACT_SCALARS | FINITE_FLOATS), max_size=6))
def test_text_reads_back_to_the_same_values(values):
    assert same(json.loads(values_json(values)), as_loaded(values))


def float_layout(value):
    """The float layout rules applied to the shortest digits that repr() finds."""
    if value == 0:
        return "-0.0" if math.copysign(1, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(value))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    first = len(digit_tuple) + exponent - 1  # decimal exponent of the first digit
    if first < -5 or first > 15:
        mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
        return f"{sign}{mantissa}e{'-' if first < 0 else '+'}{abs(first)}"
    if first < 0:
        return f"{sign}0.{'0' * (-first - 1)}{digits}"
    if len(digits) > first + 1:
        return f"{sign}{digits[:first + 1]}.{digits[first + 1:]}"
    return f"{sign}{digits.ljust(first + 1, '0')}.0"


def float_from_bits(bits):
    return struct.unpack("<d", struct.pack("<q", bits))[0]


@PROPERTY_SETTINGS
@given(
    st.one_of(
        FINITE_FLOATS,
        st.integers(-(2**63), 2**63 - 1).map(float_from_bits),
    ).filter(math.isfinite)
)
def test_float_text_is_the_shortest_round_trip_in_its_layout(value):
    out = values_json([value])
    assert out == f"[{float_layout(value)}]"
    assert same(json.loads(out)[0], value)


@PROPERTY_SETTINGS
@given(
    st.text("0123456789", min_size=1, max_size=30),
    st.text("0123456789", max_size=30),
    st.integers(-360, 330),
    st.booleans(),
)
def test_number_texts_read_as_float_reads_them(whole, fraction, exponent, negative):
    # The parser must round every decimal text as correctly as float() does.
    whole = whole.lstrip("0") or "0"
    text = ("-" if negative else "") + whole + ("." + fraction if fraction else "") + f"e{exponent}"
    expected = float(text)
    with pytest.MonkeyPatch.context() as patch:
        feed = lambda text: patch.setattr(json, "dumps", lambda value: text)  # noqa: E731
        if math.isinf(expected):
            feed(text)
            with pytest.raises(ValueError, match="^invalid partition value: number out of range "):
                _quarl.partitions([0])
        else:
            assert same(float(rewritten(feed, text)), expected)
