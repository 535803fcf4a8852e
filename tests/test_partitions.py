import json

import pytest

from quarl import asset, partitions


def values_json(p):
    return asset(partitions={"d": p})(None).__quarl_metadata__["partitions"]["d"]["values_json"]


@pytest.mark.parametrize(
    "values, text",
    [
        ([], "[]"),
        (["AAPL", "MSFT", "GOOG"], '["AAPL","MSFT","GOOG"]'),
        (["a", "a"], '["a","a"]'),
        ([1, "1", None, True, [1, 2], {"k": 1}], '[1,"1",null,true,[1,2],{"k":1}]'),
        ([("a", 1)], '[["a",1]]'),
        ([{"b": 1, "a": 2, 1: 3}], '[{"1":3,"a":2,"b":1}]'),
        ([2**70, -(2**70), 2**64 - 1, -(2**63)], "[1180591620717411303424,-1180591620717411303424,18446744073709551615,-9223372036854775808]"),
        (["é\n\"\\\x01"], '["é\\n\\"\\\\\\u0001"]'),
    ],
)
def test_values_are_kept_as_json(values, text):
    p = partitions(values)
    assert repr(p) == str(p) == f"Partitions({len(values)} values)"
    assert values_json(p) == text


def test_keyword_form_and_list_subclass():
    class L(list):
        pass

    assert repr(partitions(values=L(["x"]))) == "Partitions(1 values)"


@pytest.mark.parametrize(
    "values, error, message",
    [
        ([{1, 2}], TypeError, "Object of type set is not JSON serializable"),
        ([object()], TypeError, "Object of type object is not JSON serializable"),
        ([float("nan")], ValueError, "invalid partition value: expected value at line 1 column 1"),
        ([1, float("inf")], ValueError, "invalid partition value: expected value at line 1 column 1"),
        ([[-float("inf")]], ValueError, "invalid partition value: invalid number at line 1 column 3"),
    ],
)
def test_refused_values(values, error, message):
    before = list(values)
    with pytest.raises(error) as info:
        partitions(values)
    assert type(info.value) is error and str(info.value) == message
    assert len(values) == len(before) and all(a is b for a, b in zip(values, before))


def test_json_dumps_is_looked_up_at_each_call(monkeypatch):
    seen = []
    monkeypatch.setattr(json, "dumps", lambda v: seen.append(v) or "7")
    assert values_json(partitions(["a", "b"])) == "[7,7]"
    assert seen == ["a", "b"]


@pytest.mark.parametrize("result", [b"1", 1, None])
def test_json_dumps_returning_a_non_str(monkeypatch, result):
    monkeypatch.setattr(json, "dumps", lambda v: result)
    with pytest.raises(TypeError) as info:
        partitions([1])
    assert str(info.value) == f"'{type(result).__name__}' object cannot be converted to 'PyString'"


def test_list_shrinking_while_converting_ends_the_walk(monkeypatch):
    values = [1, 2, 3, 4]
    real = json.dumps

    def dumps(v):
        if v == 1:
            del values[2:]
        return real(v)

    monkeypatch.setattr(json, "dumps", dumps)
    assert values_json(partitions(values)) == "[1,2]"


def test_list_growing_while_converting_is_not_followed(monkeypatch):
    values = [1, 2]
    real = json.dumps
    monkeypatch.setattr(json, "dumps", lambda v: (values.append(v), real(v))[1])
    assert values_json(partitions(values)) == "[1,2]"
    assert values == [1, 2, 1, 2]


def test_element_replaced_while_converting_stays_alive(monkeypatch):
    # json.dumps drops the list's only reference to the element it is converting.
    values = [["a" * 5]]
    real = json.dumps

    def dumps(v):
        values[0] = None
        return real(v)

    monkeypatch.setattr(json, "dumps", dumps)
    assert values_json(partitions(values)) == '[["aaaaa"]]'


def test_nesting_limit():
    x = []
    for _ in range(127):
        x = [x]
    assert repr(partitions(x)) == "Partitions(1 values)"  # x nests 128 levels
    with pytest.raises(ValueError) as info:
        partitions([x])
    assert str(info.value) == "invalid partition value: recursion limit exceeded at line 1 column 128"
