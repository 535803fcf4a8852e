"""Calls through an AssetWrapper and reads of __quarl_metadata__, each against its baseline."""

import functools
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))
from common import ratio, report  # noqa: E402

from quarl import asset, partitions  # noqa: E402


def f0():
    return None


def f3(a, b, c=0):
    return a


w0 = asset()(f0)
w3 = asset()(f3)


def py_wrapper(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


p0, p3 = py_wrapper(f0), py_wrapper(f3)
# functools.partial is CPython's own native vectorcall forwarder: the floor for any wrapper written
# in C, since only a plain Python function gets its call inlined by the interpreter.
n0, n3 = functools.partial(f0), functools.partial(f3)
meta = asset(name="n", inputs={"x": "a:b"}, partitions={"d": partitions(["A", "B"])})(f0)
plain_meta = asset()(f0)

N = 200_000
G = globals()
DISPLAY_PLAIN = '{"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}'
DISPLAY_FULL = ('{"kind": "asset", "name": "n", "serializer": None, "inputs": {"x": "a:b"}, '
                '"partitions": {"d": {"kind": "inline", "values_json": \'["A","B"]\'}}}')


def timed(ours, baseline):
    return ratio(ours, baseline, number=N, globals=G)


print("ratio ours/baseline, time per statement (lower is better)")
report("call, no arguments: wrapper / direct", timed("w0()", "f0()"), 1.10)
report("call, 2 positional + 1 keyword: wrapper / direct", timed("w3(1, 2, c=3)", "f3(1, 2, c=3)"), 1.10)
report("call, no arguments: wrapper / functools.partial", timed("w0()", "n0()"))
report("call, 2 pos + 1 kw: wrapper / functools.partial", timed("w3(1, 2, c=3)", "n3(1, 2, c=3)"))
report("call, no arguments: wrapper / functools.wraps wrapper", timed("w0()", "p0()"))
report("call, 2 pos + 1 kw: wrapper / functools.wraps wrapper", timed("w3(1, 2, c=3)", "p3(1, 2, c=3)"))
report("__quarl_metadata__ (no inputs) / dict display",
       timed("plain_meta.__quarl_metadata__", DISPLAY_PLAIN), 1.5)
report("__quarl_metadata__ (all fields) / dict display",
       timed("meta.__quarl_metadata__", DISPLAY_FULL), 1.5)
