"""What tools/valgrind.py runs under memcheck: every function of _quarl on its success and error
paths, a few rounds each, so that a leak or a bad access in the module shows up against its own
frames. Not a test (it asserts only that each call ends as expected); see tests/ for those."""

import functools
import json
import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
for group in ("inspect", "materialize", "adversarial"):
    sys.path.insert(0, str(ROOT / "tests" / "fixtures" / group))

import _quarl  # noqa: E402
from _quarl import asset, inspect_modules, materialize_asset, partitions  # noqa: E402


def interned(*directories):
    """The interpreter never frees a string it has interned, and pathlib (3.12) interns each part
    of every path it parses: the parts of the paths that the calls below parse are interned here
    first, outside the extension's frames, so that those losses are not charged to it."""
    for directory in directories:
        for name in ("value.json", "result.json"):
            str(pathlib.Path(directory, name).resolve())
    return directories


# For the same reason the fixtures' own paths are parsed, and the modules that the calls import
# are imported (compiling a module interns the names in its code), before the first call.
for source in (ROOT / "tests" / "fixtures").rglob("*.py"):
    str(source.resolve())
FIXTURES = ["pipeline.assets", "adv_threads", "adv_members", "failing.lost_source",
            "failing.not_finite", "failing.interrupting"]
for name in ["importlib", "inspect", "textwrap", "builtins", "types", *FIXTURES]:
    __import__(name)

ROUNDS = 3


def expect(error_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error_type:
        return
    raise AssertionError(f"{call!r}{args} did not raise {error_type.__name__}")


class Interrupting(dict):
    def items(self):
        raise KeyboardInterrupt


def upstream(x: int = 1) -> int:
    """doc"""
    return x


def declare():
    p = partitions(["a", 1, None, [1.5, {"k": True}], 2**70])
    repr(p)
    expect(TypeError, partitions, "ab")
    expect(TypeError, partitions, [{1}])
    expect(ValueError, partitions, [float("nan")])
    expect(KeyboardInterrupt, partitions, [1, Interrupting(k=1)])
    expect(TypeError, partitions)
    expect(TypeError, partitions, [], values=[])

    w = asset(name="n", serializer="s", inputs={"x": "ref"}, partitions={"d": p})(upstream)
    derived = asset(inputs={"up": w, "raw": "text"})(upstream)
    derived.__quarl_metadata__
    (w.__name__, w.__qualname__, w.__module__, w.__doc__, w.__wrapped__, w.__quarl_kind__,
     w.__quarl_original__)
    w(3), w(x=4), _quarl.AssetWrapper.__call__(w, 5)
    expect(TypeError, w, 1, 2)
    expect(TypeError, asset, inputs={"x": 3})
    expect(TypeError, asset, partitions={"d": [1]})
    expect(TypeError, asset, name=1)
    expect(TypeError, asset(), upstream, upstream)
    expect(AttributeError, getattr, asset()(42), "__qualname__")
    expect(TypeError, _quarl.Partitions)
    expect(TypeError, asset, 1)

    # Long chains: the recursion count on calls and reads, the deferred release on free.
    chain = upstream
    for i in range(30_000):
        chain = asset()(chain if i % 2 else functools.partial(chain))
    expect(RecursionError, chain)
    chain = upstream
    for _ in range(30_000):
        chain = asset()(chain)
    expect(RecursionError, getattr, chain, "__name__")
    del chain


def inspect():
    report = inspect_modules(["pipeline.assets", "adv_threads", "adv_members",
                              "no_such_module_for_valgrind"])
    assert json.loads(report)["assets"]
    compact = _quarl._inspect_modules_compact(["pipeline.assets", "adv_members"])
    assert json.loads(compact)["assets"]
    expect(TypeError, inspect_modules, "pipeline")
    expect(TypeError, inspect_modules, [], compact=True)
    expect(TypeError, inspect_modules, [1])
    expect(OSError, inspect_modules, ["failing.lost_source"])
    expect(RuntimeError, inspect_modules, ["failing.not_finite"])
    expect(KeyboardInterrupt, inspect_modules, ["failing.interrupting"])


def materialize(scratch):
    out, taken, blocked = interned(*(os.path.join(scratch, name)
                                     for name in ("run", "taken", "blocked")))
    materialize_asset("pipeline.assets", "greeting", out, '{"name": "ada"}')
    materialize_asset("pipeline.assets", "nothing", out)
    for function_name, kwargs in [("greeting", '{"name": "4"}'), ("greeting", "[1]"),
                                  ("greeting", "{bad"), ("a_set", None), ("nope", None),
                                  ("interrupted", None), ("unprintable", None)]:
        expect(SystemExit, materialize_asset, "pipeline.assets", function_name, out, kwargs)
    expect(SystemExit, materialize_asset, "no_such_module_for_valgrind", "f", out)
    pathlib.Path(taken).write_text("mine", encoding="utf-8")
    expect(FileExistsError, materialize_asset, "pipeline.assets", "nothing", taken)
    expect(TypeError, materialize_asset, "pipeline.assets", "nothing", 1)
    os.makedirs(os.path.join(blocked, "result.json"), exist_ok=True)
    expect(IsADirectoryError, materialize_asset, "pipeline.assets", "greeting", blocked,
           '{"name": "4"}')


def faults():
    try:
        import _quarl_probe
    except ImportError:  # built only with QUARL_TEST_PROBE=ON
        return
    panic = None
    try:
        _quarl_probe.fault("on purpose")
    except BaseException as error:  # PanicException derives from BaseException
        panic = type(error)
    expect(panic, _quarl_probe.fault)
    expect(SystemError, _quarl_probe.fetch_unset)
    _quarl_probe.call(lambda: 1)


def main():
    with tempfile.TemporaryDirectory() as scratch:
        for _ in range(ROUNDS):
            declare()
            inspect()
            materialize(scratch)
            faults()
    print("workload done")


if __name__ == "__main__":
    main()
