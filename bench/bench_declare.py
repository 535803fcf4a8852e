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
print("ratio ours/baseline (lower is better)")
report("call, no arguments: wrapper / direct", ratio(lambda: w0(), lambda: f0(), number=N), 1.10)
report("call, 2 positional + 1 keyword: wrapper / direct",
       ratio(lambda: w3(1, 2, c=3), lambda: f3(1, 2, c=3), number=N), 1.10)
report("call, no arguments: wrapper / functools.partial", ratio(lambda: w0(), lambda: n0(), number=N), 1.10)
report("call, 2 pos + 1 kw: wrapper / functools.partial",
       ratio(lambda: w3(1, 2, c=3), lambda: n3(1, 2, c=3), number=N), 1.10)
report("call, no arguments: wrapper / functools.wraps wrapper", ratio(lambda: w0(), lambda: p0(), number=N))
report("call, 2 pos + 1 kw: wrapper / functools.wraps wrapper",
       ratio(lambda: w3(1, 2, c=3), lambda: p3(1, 2, c=3), number=N))
report("__quarl_metadata__ (no inputs) / dict display",
       ratio(lambda: plain_meta.__quarl_metadata__,
             lambda: {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None},
             number=N), 1.5)
report("__quarl_metadata__ (all fields) / dict display",
       ratio(lambda: meta.__quarl_metadata__,
             lambda: {"kind": "asset", "name": "n", "serializer": None, "inputs": {"x": "a:b"},
                      "partitions": {"d": {"kind": "inline", "values_json": '["A","B"]'}}},
             number=N), 1.5)
