"""Every function from several threads at once, with the interpreter switching threads as often as
it can: inside json.dumps, inside user code, inside the module's own calls back into Python. No
call may crash, and each must give what it gives when run alone."""

import json
import random
import sys
import threading
import time

import pytest

from _quarl import inspect_modules, materialize_asset
from quarl import asset, partitions

THREADS = 4
SECONDS = 2.0  # how long the threads keep calling; a bound on the test, not a measurement


class Halt(BaseException):
    pass


class Finalized:
    """An object whose release runs Python code, so that a wrapper's release can switch threads."""

    def __del__(self):
        sum(range(20))


class Busy(dict):
    def items(self):
        sum(range(50))
        return dict.items(self)


def outcome(call):
    try:
        return ("returned", call())
    except BaseException as error:  # SystemExit from a failed run, and the Halt below
        return ("raised", type(error).__name__, str(error))


def plain(a, b=2):
    """doc"""
    return [a, b]


def halting():
    raise Halt("stop")


def run_files(out):
    """The files of a run, with the run's own directory taken out of value_path."""
    files = {}
    for path in sorted(out.iterdir()):
        files[path.name] = path.read_text(encoding="utf-8").replace(str(out), "<out>")
    return files


def materialized(function_name, kwargs=None):
    def run(out):
        result = outcome(lambda: materialize_asset("adv_threads", function_name, str(out), kwargs))
        return result, run_files(out)
    return run


def cases(threads):
    wrapper = asset(name="n", inputs={"x": "ref"}, partitions={"d": partitions([1, "a"])})(plain)
    return {
        "partitions": lambda out: repr(partitions([1, Busy(k=[None, 2.5]), "x"] * 20)),
        "partitions refused": lambda out: partitions([1, {1}]),
        "partitions not a list": lambda out: partitions("ab"),
        "asset metadata": lambda out: asset(
            name="a", serializer="s", inputs={"up": threads.totals, "raw": "ref"},
            partitions={"d": partitions([Busy(k=1), 2])})(plain).__quarl_metadata__,
        "asset refused": lambda out: asset(inputs={"x": 3}),
        "decorator binding": lambda out: asset()(plain, plain),
        "wrapper call": lambda out: wrapper(1, b=Busy(k=3)),
        "wrapper raising": lambda out: asset()(halting)(),
        "wrapper of a finalized object": lambda out: asset()(Finalized()).__quarl_kind__,
        "getters": lambda out: (wrapper.__name__, wrapper.__qualname__, wrapper.__module__,
                                wrapper.__doc__, wrapper.__wrapped__ is plain),
        "inspect": lambda out: inspect_modules(["adv_threads", "adv_members"]),
        "inspect, module skipped": lambda out: inspect_modules(["adv_threads_missing"]),
        "materialize": materialized("totals", '{"day": "mon", "scale": 3}'),
        "materialize with inputs": materialized("derived", '{"base": {"a": 1}}'),
        "materialize, asset raises": materialized("refuses"),
        "materialize, value not JSON": materialized("unencodable"),
        "materialize, inputs not a dict": materialized("totals", "[1]"),
    }


@pytest.fixture
def switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_every_function_from_several_threads(fixture_modules, tmp_path, switching, capfd):
    fixture_modules("adversarial")
    import adv_threads

    calls = cases(adv_threads)
    baseline = {name: outcome(lambda: call(tmp_path / "alone" / name.replace(" ", "_")))
                for name, call in calls.items()}
    assert baseline["inspect"][0] == "returned"
    assert len(json.loads(baseline["inspect"][1])["assets"]) == 5
    assert baseline["materialize"][1][1]["result.json"].startswith('{"artifact_format"')

    mismatches, rounds = [], [0] * THREADS
    deadline = time.monotonic() + SECONDS

    def worker(index):
        order = list(calls)
        shuffle = random.Random(index).shuffle
        while True:
            shuffle(order)
            for name in order:
                out = tmp_path / f"thread{index}" / f"{rounds[index]}" / name.replace(" ", "_")
                got = outcome(lambda: calls[name](out))
                if got != baseline[name]:
                    mismatches.append((index, name, got))
            rounds[index] += 1
            if time.monotonic() > deadline:
                return

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
    assert min(rounds) >= 1
    skipped = "quarl: skipping module 'adv_threads_missing': ModuleNotFoundError: No module named " \
              "'adv_threads_missing'\n"
    assert set(capfd.readouterr().err.splitlines(keepends=True)) == {skipped}
