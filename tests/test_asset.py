import ctypes
import gc
import inspect
import pathlib
import weakref

import pytest

import _quarl
from quarl import asset, partitions

EMPTY = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}


def plain(a, b=2, *, k=3):
    """plain doc"""
    return (a, b, k)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, {}),
        ({"name": None, "inputs": None, "partitions": None, "serializer": None}, {}),
        ({"name": "prices"}, {"name": "prices"}),
        ({"serializer": "parquet"}, {"serializer": "parquet"}),
        ({"inputs": {}}, {"inputs": {}}),
        ({"partitions": {}}, {"partitions": {}}),
        ({"inputs": {"x": "any text: é"}}, {"inputs": {"x": "any text: é"}}),
        (
            {"partitions": {"ticker": partitions(["A", "B"]), "day": partitions([1])}},
            {
                "partitions": {
                    "ticker": {"kind": "inline", "values_json": '["A","B"]'},
                    "day": {"kind": "inline", "values_json": "[1]"},
                }
            },
        ),
    ],
)
def test_metadata_layout(kwargs, expected):
    metadata = asset(**kwargs)(plain).__quarl_metadata__
    assert metadata == {**EMPTY, **expected}
    assert list(metadata) == ["kind", "name", "serializer", "inputs", "partitions"]
    if "partitions" in expected:
        assert all(list(d) == ["kind", "values_json"] for d in metadata["partitions"].values())


def test_maps_keep_the_order_of_the_given_dict():
    keys = [f"k{i}" for i in range(20)][::-1]
    wrapper = asset(inputs={k: k for k in keys}, partitions={k: partitions([]) for k in keys})(plain)
    assert list(wrapper.__quarl_metadata__["inputs"]) == keys
    assert list(wrapper.__quarl_metadata__["partitions"]) == keys


def test_asset_input_reference_is_resolved_file_and_function_name(fixture_modules):
    root = fixture_modules("declare")
    from upstream.derived import derived
    from upstream.raw import raw

    file = str((root / "upstream" / "raw.py").resolve())
    assert derived.__quarl_metadata__["inputs"] == {
        "data": f"{file}:raw",  # the function's __name__, not the asset's name=
        "other": "somewhere.py:thing",
    }
    assert raw.__quarl_metadata__["name"] == "raw data"


def test_input_given_as_an_object_without_original_uses_the_object_itself():
    class Marker:
        __quarl_kind__ = "asset"

        def __call__(self):
            pass

    with pytest.raises(TypeError):  # getsourcefile refuses an instance
        asset(inputs={"x": Marker()})
    marker = type("M", (), {"__quarl_kind__": "asset"})
    reference = asset(inputs={"x": marker})(plain).__quarl_metadata__["inputs"]["x"]
    assert reference == f"{pathlib.Path(__file__).resolve()}:M"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"inputs": {"x": 3}}, TypeError, "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"x": plain}}, TypeError, "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": [1]}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"inputs": {1: "x"}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"partitions": {"t": ["A"]}}, TypeError, "partition values must be partitions([...]) instances"),
        ({"partitions": ("t",)}, TypeError, "'tuple' object cannot be converted to 'PyDict'"),
        ({"partitions": {None: partitions([])}}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"name": 3}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        # inputs are checked before partitions, and name before both
        ({"inputs": {"x": 3}, "partitions": 1}, TypeError, "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"name": 1, "inputs": 1}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ({"inputs": 1, "serializer": 1}, TypeError, "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_refused_arguments(kwargs, error, message):
    with pytest.raises(error) as info:
        asset(**kwargs)
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize(
    "kind", ["ASSET", 1, None, b"asset"], ids=["upper", "int", "none", "bytes"]
)
def test_only_the_str_asset_marks_an_input_as_asset(kind):
    value = type("V", (), {"__quarl_kind__": kind})()
    with pytest.raises(TypeError, match="^inputs values must be"):
        asset(inputs={"x": value})


def test_errors_of_user_code_reach_the_caller_unchanged():
    class Kind:
        @property
        def __quarl_kind__(self):
            raise KeyError("discarded")  # a failing read only means "not an asset"

    with pytest.raises(TypeError, match="^inputs values must be"):
        asset(inputs={"x": Kind()})

    class NoSource:
        __quarl_kind__ = "asset"
        __quarl_original__ = len

    with pytest.raises(TypeError, match="got builtin_function_or_method$"):
        asset(inputs={"x": NoSource()})

    class NamelessMeta(type):
        @property
        def __name__(cls):
            raise ZeroDivisionError

    class BadName:
        __quarl_kind__ = "asset"
        __quarl_original__ = NamelessMeta("F", (), {})

    with pytest.raises(ZeroDivisionError):
        asset(inputs={"x": BadName()})


def test_decorator():
    dec = asset()
    assert type(dec).__name__ == "builtin_function_or_method"
    assert dec.__name__ == "asset_decorator" and dec.__doc__ is None
    for call in (lambda: dec(), lambda: dec(plain, plain)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "asset() decorator expects exactly one argument (the function)"
    first, second = dec(plain, extra=1), dec(plain)
    assert first is not second and first.__quarl_original__ is second.__quarl_original__ is plain
    assert dec(42).__quarl_original__ == 42


class TestWrapper:
    wrapper = asset(name="n")(plain)

    def test_markers_and_identity(self):
        w = self.wrapper
        assert type(w) is _quarl.AssetWrapper
        assert w.__quarl_kind__ == "asset"
        assert w.__quarl_original__ is w.__wrapped__ is plain
        for name in ("__name__", "__qualname__", "__module__", "__doc__"):
            assert getattr(w, name) == getattr(plain, name)
        assert w.__quarl_metadata__ is not w.__quarl_metadata__
        assert w.__quarl_metadata__ == w.__quarl_metadata__
        assert w == w and w != asset(name="n")(plain) and hash(w) == object.__hash__(w)

    def test_forwarding_getters_read_afresh(self):
        def f():
            """before"""

        w = asset()(f)
        f.__doc__ = "after"
        f.__qualname__ = "renamed"
        assert (w.__doc__, w.__qualname__) == ("after", "renamed")

    def test_forwarding_getters_pass_errors(self):
        w = asset()(42)
        with pytest.raises(AttributeError, match="__qualname__"):
            w.__qualname__
        assert w.__doc__ == (42).__doc__

    @pytest.mark.parametrize("name", ["__name__", "__quarl_kind__", "__quarl_metadata__", "__doc__", "other"])
    def test_attributes_are_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(self.wrapper, name, "x")

    @pytest.mark.parametrize(
        "args, kwargs", [((), {}), ((1,), {}), ((1, 5), {}), ((1,), {"k": 9}), ((), {"a": 1, "b": 2, "k": 0})]
    )
    def test_calls_forward_arguments(self, args, kwargs):
        expected = (lambda a, b=2, *, k=3: (a, b, k))
        if not args and not kwargs:
            with pytest.raises(TypeError, match="missing 1 required positional argument: 'a'"):
                self.wrapper()
            return
        assert self.wrapper(*args, **kwargs) == expected(*args, **kwargs)
        assert _quarl.AssetWrapper.__call__(self.wrapper, *args, **kwargs) == expected(*args, **kwargs)

    def test_exception_of_the_function_passes_unchanged(self):
        error = ValueError("bad name")

        def f():
            raise error

        with pytest.raises(ValueError) as info:
            asset()(f)()
        assert info.value is error

    def test_not_bound_as_a_method(self):
        class Holder:
            method = asset()(lambda *args: args)

        assert Holder().method(1) == (1,)
        assert Holder.method(2) == (2,)
        assert Holder.__dict__["method"].__get__(None, Holder) is Holder.__dict__["method"]

    def test_inspect_sees_the_function(self):
        assert inspect.signature(self.wrapper) == inspect.signature(plain)
        assert inspect.unwrap(self.wrapper) is plain
        assert inspect.getdoc(self.wrapper) == "plain doc"

    def test_reentrant_call(self):
        def countdown(n):
            return n if n == 0 else w(n - 1)

        w = asset()(countdown)
        assert w(50) == 0

    def test_cycle_through_the_wrapper_is_reclaimed(self):
        # As in a module of assets dropped from sys.modules: the function's globals hold its
        # own wrapper.
        namespace = {}
        exec("def f():\n    return w\n", namespace)
        namespace["w"] = asset()(namespace["f"])
        alive = weakref.ref(namespace["f"])
        del namespace
        gc.collect()
        assert alive() is None

    def test_cleared_wrapper_stays_safe(self):
        # What the cycle collector does to a wrapper in a cycle, that a finalizer may still reach.
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        slot = get_slot(_quarl.AssetWrapper, 51)  # Py_tp_clear
        assert slot
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)
        w = asset(name="n")(lambda: 1)
        assert (clear(w), clear(w)) == (0, 0)
        assert w.__quarl_original__ is w.__wrapped__ is None
        assert w.__quarl_metadata__["name"] == "n"
        with pytest.raises(TypeError, match="'NoneType' object is not callable"):
            w()
        with pytest.raises(AttributeError):
            w.__qualname__

    def test_no_vectorcall_offset_to_see(self):
        assert "__vectorcalloffset__" not in dir(self.wrapper)
        assert not hasattr(_quarl.AssetWrapper, "__vectorcalloffset__")


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_while_reading_markers_are_not_discarded(error):
    class Marker:
        @property
        def __quarl_kind__(self):
            raise error("stop")

    with pytest.raises(error, match="^stop$"):
        asset(inputs={"x": Marker()})

    class Original:
        __quarl_kind__ = "asset"

        @property
        def __quarl_original__(self):
            raise error("stop")

    with pytest.raises(error, match="^stop$"):
        asset(inputs={"x": Original()})
