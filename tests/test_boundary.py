"""Argument binding and conversion, and what comes out of the call boundary."""

import pytest

import _quarl
from _quarl import asset, inspect_modules, materialize_asset, partitions


def message_of(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


BINDING = [
    (lambda: partitions(), "partitions() missing 1 required positional argument: 'values'"),
    (lambda: partitions(["a"], values=["b"]), "partitions() got multiple values for argument 'values'"),
    (lambda: partitions(vals=["a"]), "partitions() got an unexpected keyword argument 'vals'"),
    (lambda: partitions([], []), "partitions() takes 1 positional arguments but 2 were given"),
    (lambda: asset(None), "asset() takes 0 positional arguments but 1 was given"),
    (lambda: asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
    (lambda: asset(nam="x"), "asset() got an unexpected keyword argument 'nam'"),
    (lambda: inspect_modules(), "inspect_modules() missing 1 required positional argument: 'modules'"),
    (lambda: inspect_modules([], []), "inspect_modules() takes 1 positional arguments but 2 were given"),
    (
        lambda: materialize_asset("m"),
        "materialize_asset() missing 2 required positional arguments: 'function_name' and 'output_dir'",
    ),
    (
        lambda: materialize_asset(),
        "materialize_asset() missing 3 required positional arguments: "
        "'module_name', 'function_name', and 'output_dir'",
    ),
    (
        lambda: materialize_asset(output_dir="o"),
        "materialize_asset() missing 2 required positional arguments: 'module_name' and 'function_name'",
    ),
    (
        lambda: materialize_asset(1, 2, 3, 4, 5),
        "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
    ),
    (
        lambda: materialize_asset("m", "f", "o", None, 5),
        "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
    ),
    (
        lambda: materialize_asset("m", module_name="n"),
        "materialize_asset() got multiple values for argument 'module_name'",
    ),
    # The first fault in the caller's keyword order ends the binding.
    (
        lambda: materialize_asset("m", bogus=1, module_name="n"),
        "materialize_asset() got an unexpected keyword argument 'bogus'",
    ),
    (
        lambda: materialize_asset("m", module_name="n", bogus=1),
        "materialize_asset() got multiple values for argument 'module_name'",
    ),
    # Keyword names are quoted as given, whatever they hold.
    (lambda: partitions(**{"v\udc80": 1}), "partitions() got an unexpected keyword argument 'v\udc80'"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_messages(call, message):
    assert message_of(call) == message


class Seq:
    """Passes CPython's sequence check; iterates its items."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


CONVERSION = [
    (lambda: partitions("ab"), "argument 'values': 'str' object cannot be converted to 'PyList'"),
    (lambda: partitions(("a",)), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: partitions(values=None), "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda: asset(name=3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: asset(serializer=b"x"), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: inspect_modules("pkg.mod"), "argument 'modules': Can't extract `str` to `Vec`"),
    (lambda: inspect_modules({"a": 1}), "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: inspect_modules({"a"}), "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
    (lambda: inspect_modules(x for x in "a"), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: inspect_modules(["a", 1]), "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    (lambda: inspect_modules(Seq("a", None)), "argument 'modules': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset(1, "f", "o"), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset("m", 1, "o"), "argument 'function_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset("m", "f", None), "argument 'output_dir': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset("m", "f", "o", {}), "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    # Conversion runs in parameter order: the first bad argument is the one reported.
    (lambda: materialize_asset(1, 2, 3), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: asset(serializer=1, name=2), "argument 'name': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, message", CONVERSION)
def test_conversion_messages(call, message):
    assert message_of(call) == message


def test_conversion_error_keeps_the_cause_of_the_first_error():
    class Boom(Seq):
        def __iter__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("inner") from root

    with pytest.raises(TypeError) as info:
        inspect_modules(Boom())
    assert str(info.value) == "argument 'modules': inner"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_of_conversion_pass_unchanged():
    class Broken(Seq):
        def __iter__(self):
            raise ValueError("no iteration today")

    with pytest.raises(ValueError, match="^no iteration today$"):
        inspect_modules(Broken())
    with pytest.raises(UnicodeEncodeError):
        asset(name="\udc80")


@pytest.fixture
def probe():
    return pytest.importorskip("_quarl_probe", reason="built only with QUARL_TEST_PROBE=ON")


def test_fault_becomes_panic_exception_outside_exception(probe):
    with pytest.raises(BaseException) as info:
        try:
            probe.fault("boom")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by except Exception")
    panic = type(info.value)
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic.__bases__ == (BaseException,)
    assert info.value.args == ("boom",)
    assert panic.__doc__.startswith("The exception raised when native code called from Python faults.\n\n")
    assert "derived from BaseException" in panic.__doc__


def test_fault_without_message(probe):
    with pytest.raises(BaseException) as info:
        probe.fault()
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("native code faulted without a message",)


def test_failure_without_pending_exception_is_system_error(probe):
    with pytest.raises(SystemError) as info:
        probe.fetch_unset()
    assert str(info.value) == "attempted to fetch exception but none was set"


def test_python_exceptions_pass_through_unchanged(probe):
    error = LookupError("mine")

    def raise_it():
        raise error

    with pytest.raises(LookupError) as info:
        probe.call(raise_it)
    assert info.value is error


def test_panic_from_a_nested_call_resumes_as_a_new_panic(probe, capsys):
    with pytest.raises(BaseException) as info:
        probe.call(lambda: probe.fault("inner"))
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("inner",)
    err = capsys.readouterr().err
    lines = err.splitlines()
    assert lines[0] == "quarl: resuming a fault after fetching a PanicException from Python"
    assert lines[1] == "Python stack trace below:"
    assert lines[-1] == "pyo3_runtime.PanicException: inner"


def test_panic_whose_str_fails(probe, capsys):
    def raise_odd_panic():
        try:
            probe.fault("x")
        except BaseException as panic:
            class Odd(type(panic)):
                def __str__(self):
                    raise RuntimeError("no str")
            raise Odd("x")

    with pytest.raises(BaseException) as info:
        probe.call(raise_odd_panic)
    assert info.value.args == ("Unwrapped panic from Python code",)
    capsys.readouterr()
