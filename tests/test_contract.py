"""What quarl run and a run's process pass to each other, written by one side and read by the other."""

import hashlib
import json
import os

import pytest

from quarl import contract
from quarl.contract import Request, Value


def request(folder, **changes):
    fields = dict(attempt="0123456789ab", asset="m.f", module="m", function="f", folder=str(folder),
                  partition={"day": "d1"}, fingerprint="f" * 64, consumed=["aaaaaaaaaaaa"], serializer=None,
                  inputs={"day": {"value": "d1"}})
    return Request(**{**fields, **changes})


def test_json_kwargs_splice_upstream_values_unparsed(tmp_path):
    values = {}
    for name, text in {"a": b'{"x": [1, 2.50]}', "b": b"NaN", "c": b'"\\u00e9"'}.items():
        values[name] = tmp_path / name
        values[name].write_bytes(text)
    inputs = {"day": {"value": "d1"}, "single": Value(str(values["a"])),
              "many": [({"day": "d1"}, Value(str(values["b"]))), ({"day": "d2"}, Value(str(values["c"])))],
              "none": []}
    assert contract.json_kwargs(request(tmp_path, inputs=inputs)) == (
        '{"day":"d1","single":{"x": [1, 2.50]},"many":[{"partition":{"day":"d1"},"value":NaN},'
        '{"partition":{"day":"d2"},"value":"\\u00e9"}],"none":[]}')
    assert contract.json_kwargs(request(tmp_path, inputs={})) is None


@pytest.mark.parametrize("inputs, inline", [
    ({"day": {"value": "d1"}}, True),
    ({"up": Value("/o/m.u/value.pkl", "pickle"), "own": Value("/o/m.v/value.csv", "csv", "s:Csv")}, True),
    ({"all": [({"n": n}, Value(f"/o/m.u/n={n}/value.json")) for n in range(200)]}, False),
])
def test_a_request_reaches_the_run_as_it_was_made(tmp_path, inputs, inline):
    made = request(tmp_path, inputs=inputs, serializer="parquet")
    flag, argument = made.arguments()
    assert (flag, argument.startswith("@"), os.path.exists(tmp_path / contract.REQUEST_FILE)) == \
        ("--request", not inline, not inline)
    assert contract.read_request(argument).document() == made.document()
    contract.discard_request(str(tmp_path))
    assert not os.path.exists(tmp_path / contract.REQUEST_FILE)


@pytest.mark.parametrize("document, message", [
    ({"version": 1}, "the request has version 1, and this quarl reads version 2: quarl run and its workers "
                     "must be the same quarl"),
    ({"version": 2, "inputs": {}}, "the request lacks or misstates 'attempt'"),
    ([], "the request is not a JSON object"),
])
def test_a_request_this_quarl_cannot_read_is_refused(document, message):
    with pytest.raises(contract.ContractError) as raised:
        contract.read_request(json.dumps(document))
    assert str(raised.value) == message


@pytest.mark.parametrize("count, inline", [(2, True), (40, False)])
def test_a_batch_reaches_its_process_as_it_was_made(tmp_path, count, inline):
    made = [request(tmp_path, attempt=f"{n:012x}", partition={"day": f"d{n}"}) for n in range(count)]
    flag, argument = contract.batch_arguments(made)
    assert (flag, argument.startswith("@"), os.path.exists(tmp_path / contract.BATCH_FILE)) == \
        ("--batch", not inline, not inline)
    assert [r.document() for r in contract.read_batch(argument)] == [r.document() for r in made]
    contract.discard_request(str(tmp_path))
    assert not os.path.exists(tmp_path / contract.BATCH_FILE)


@pytest.mark.parametrize("document, message", [
    ({"version": 2, "runs": []}, "the batch has version 2, and this quarl reads version 1: quarl run and its "
                                 "workers must be the same quarl"),
    ({"version": 1, "runs": []}, "the batch names no runs"),
    ({"version": 1, "runs": [{"version": contract.REQUEST_VERSION}]}, "the request lacks or misstates 'inputs'"),
])
def test_a_batch_this_quarl_cannot_read_is_refused(document, message):
    with pytest.raises(contract.ContractError) as raised:
        contract.read_batch(json.dumps(document))
    assert str(raised.value) == message


def test_run_records_are_read_back_by_quarl_run(tmp_path):
    made = request(tmp_path, serializer="s:Csv")
    (tmp_path / "value.csv").write_text("a,b\n")
    cases = [
        (contract.success_record(made, value_file="value.csv", artifact_format="csv", serializer="s:Csv",
                                 result_type="Table"),
         (True, True, Value(f"{tmp_path}/value.csv", "csv", "s:Csv",
                            hashlib.sha256(b"a,b\n").hexdigest()), None)),
        (contract.failure_record(made, "TypeError: Object of type set is not JSON serializable", "TypeError",
                                 'm.f returned a value of type set: store it with @asset(serializer="pickle")'),
         (False, False, None, "TypeError: Object of type set is not JSON serializable; m.f returned a value "
                              'of type set: store it with @asset(serializer="pickle")')),
        # An older quarl's own run.json: successes only, and built-in formats only, as it named no
        # serializer of the user's.
        ({"attempt": "0123456789ab", "fingerprint": "f" * 64, "value_file": "value.csv",
          "artifact_format": "csv"}, (True, False, None, None)),
        ({"attempt": "0123456789ab", "fingerprint": "f" * 64, "value_file": "value.csv",
          "artifact_format": "json", "started": 1.0, "duration": 2.0},
         (True, True, Value(f"{tmp_path}/value.csv", "json", None, "attempt:0123456789ab"), None)),
    ]
    for written, (ok, published, value, reason) in cases:
        (tmp_path / "run.json").write_bytes(contract.record_bytes(written))
        record = contract.read_run_record(str(tmp_path))
        assert (record.ok, record.published_value) == (ok, published)
        assert (record.value(str(tmp_path)) if published else None, None if ok else record.reason) == (value, reason)
        assert record.attempt == "0123456789ab"
    for document in ({"version": 3, "ok": True}, [1]):
        (tmp_path / "run.json").write_text(json.dumps(document))
        assert contract.read_run_record(str(tmp_path)) is None


def test_the_inspection_record_is_read_back(tmp_path):
    path = tmp_path / "record.json"
    checks = [{"asset": "/p/m.py:f", "name": "positive", "module": "m", "function": "positive",
               "severity": "warn", "blocking": True, "fingerprint": "c" * 64}]
    options = {"/p/m.py:f": {"retry": {"times": 2, "delay": None, "on": ["ConnectionError"]}}}
    path.write_bytes(contract.inspection_document([("m", "/p/m.py"), ("n", None)], [("bad", "SyntaxError: x")],
                                                  checks, options))
    assert contract.read_inspection(str(path)) == (
        [("m", "/p/m.py"), ("n", None)], [("bad", "SyntaxError: x")], checks, options)
    path.write_text('{"version": 1, "imported": [], "skipped": []}')
    assert contract.read_inspection(str(path)) is None
