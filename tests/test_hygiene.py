"""Every public function and getter, on its success and error paths, many times over: nothing may
accumulate (objects, Python memory, native heap) and the arguments' reference counts stay put."""

import ctypes
import gc
import json
import os
import sys
import tempfile
import tracemalloc

import pytest

import _quarl
from quarl import asset, partitions

ROUNDS = 1000


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def native_heap_bytes():
    """Bytes in use on the C heap (C++ new and large Python objects), or None off glibc."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    return mallinfo2().uordblks


def swallow(call, *errors):
    def run():
        try:
            call()
        except errors:
            pass
    return run


def plain(a, b=2):
    return a


wrapper = asset(name="n", inputs={"x": "ref"}, partitions={"d": partitions([1, "a", None])})(plain)
no_qualname = asset()(42)
values = ["a", 1, {"k": [1.5, None]}]
kw = {"name": "n", "inputs": {"x": wrapper, "y": "ref"}, "partitions": {"d": partitions(values)}}
scratch = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
not_a_dir = os.path.join(scratch, "file")
open(not_a_dir, "w").close()


def materialize(*args):
    def run():
        try:
            _quarl.materialize_asset(*args)
        except SystemExit:
            pass
    return run


CASES = {
    "partitions": lambda: partitions(values),
    "partitions, json.dumps refuses": swallow(lambda: partitions([1, {1}]), TypeError),
    "partitions, NaN": swallow(lambda: partitions([float("nan")]), ValueError),
    "partitions, not a list": swallow(lambda: partitions("ab"), TypeError),
    "partitions, binding": swallow(lambda: partitions([], values=[]), TypeError),
    "partitions repr": lambda: repr(partitions(values)),
    "asset and decorate": lambda: asset(**kw)(plain),
    "asset, bad input": swallow(lambda: asset(inputs={"x": wrapper, "y": 3}), TypeError),
    "asset, bad partitions": swallow(lambda: asset(inputs={"x": "r"}, partitions={"d": [1]}), TypeError),
    "asset, bad name": swallow(lambda: asset(name=1), TypeError),
    "decorator, two arguments": swallow(lambda: asset()(plain, plain), TypeError),
    "wrapper call": lambda: wrapper(1, b=3),
    "wrapper call through tp_call": lambda: _quarl.AssetWrapper.__call__(wrapper, 1, b=3),
    "wrapper call raising": swallow(lambda: wrapper(), TypeError),
    "metadata": lambda: wrapper.__quarl_metadata__,
    "getters": lambda: (wrapper.__name__, wrapper.__doc__, wrapper.__module__, wrapper.__qualname__,
                        wrapper.__wrapped__, wrapper.__quarl_original__, wrapper.__quarl_kind__),
    "getter raising": swallow(lambda: no_qualname.__qualname__, AttributeError),
    "no constructor": swallow(lambda: _quarl.Partitions(), TypeError),
    "materialize": materialize("hygiene_assets", "derived", scratch, '{"base": {"n": 1}, "day": "mon"}'),
    "materialize, function raises": materialize("hygiene_assets", "failing", scratch),
    "materialize, value not JSON": materialize("hygiene_assets", "unencodable", scratch),
    "materialize, no such module": materialize("hygiene_no_such_module", "x", scratch),
    "materialize, inputs not a dict": materialize("hygiene_assets", "plain", scratch, "[1]"),
    "materialize, output is a file": swallow(
        lambda: _quarl.materialize_asset("hygiene_assets", "plain", not_a_dir), FileExistsError),
}


@pytest.fixture(autouse=True, scope="module")
def hygiene_modules():
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "fixtures", "hygiene"))
    yield
    sys.path.pop(0)
    sys.modules.pop("hygiene_assets", None)


def growth(case):
    """Growth of (objects, traced Python memory, native heap) over ROUNDS calls."""
    gc.collect()
    objects, heap = len(gc.get_objects()), native_heap_bytes()
    tracemalloc.start()
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        case()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    gc.collect()
    heap = 0 if heap is None else native_heap_bytes() - heap
    return len(gc.get_objects()) - objects, traced, heap


@pytest.mark.parametrize("name", CASES)
def test_nothing_accumulates(name):
    case = CASES[name]
    for _ in range(100):  # warm caches: interned names, lazily made types, imported modules
        case()
    # The interpreter's own tables grow in steps now and then (a dict resizing); a leak grows in
    # every window, so the smaller of two windows is what counts.
    first, second = growth(case), growth(case)
    objects, traced, heap = (min(a, b) for a, b in zip(first, second))
    assert objects < 50  # a leaked object a call would add ROUNDS
    assert traced < 16_000  # 16 bytes a call
    assert heap < 24_000


def test_reference_counts_of_arguments_are_unchanged():
    args = {"values": [1, "a"], "inputs": {"x": "r"}, "parts": {"d": partitions(["x"])}, "f": plain}
    module, function, kwargs = "hygiene_assets", "derived", '{"base": {"n": 1}, "day": "mon"}'
    tracked = [args["values"], args["inputs"], args["parts"], args["f"], module, function, scratch, kwargs]
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(500):
        partitions(args["values"])
        w = asset(inputs=args["inputs"], partitions=args["parts"])(args["f"])
        w(1)
        del w
        try:
            _quarl.materialize_asset(module, function, scratch, kwargs)
        except SystemExit:
            pass
        swallow(lambda: partitions(args["inputs"]), TypeError)()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


def test_wrapper_releases_its_function():
    import weakref

    def f():
        pass

    ref = weakref.ref(f)
    w = asset()(f)
    del f
    assert ref() is not None
    del w
    assert ref() is None
