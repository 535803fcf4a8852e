import subprocess
import sys
import textwrap
import weakref

import pytest

import _quarl

NAMES = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


def test_all_lists_classes_then_functions_in_registration_order():
    assert _quarl.__all__ == NAMES
    assert [name for name in vars(_quarl) if name in NAMES] == NAMES
    assert _quarl.__doc__ == "The native `_quarl` module."


def test_second_init_returns_the_same_module_untouched():
    first = _quarl
    first.__dict__["marker"] = object()
    marker = first.marker
    try:
        del sys.modules["_quarl"]
        import _quarl as again

        assert again is first
        assert again.marker is marker
        assert again.__all__ == NAMES
    finally:
        sys.modules["_quarl"] = first
        del first.marker


@pytest.mark.parametrize(
    "name, signature",
    [
        ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)"),
        ("partitions", "(values)"),
        ("inspect_modules", "(modules)"),
        ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)"),
        # The orchestrator's compact report: a function of the module outside __all__.
        ("_inspect_modules_compact", "(modules)"),
    ],
)
def test_functions_are_builtins_of_the_module_with_text_signatures(name, signature):
    function = getattr(_quarl, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "_quarl"
    assert function.__self__ is _quarl
    assert function.__text_signature__ == signature


DOCS = {
    "asset": textwrap.dedent(
        """\
        Decorator that registers a Python function as a quarl asset.

        Usage
        -----
            from quarl import asset

            @asset()
            def my_data():
                return {"value": 42}

        Parameters
        ----------
        name : str, optional
            Override the asset's display name / continuity key.
            Defaults to ``"<file>:<function_name>"``.
        inputs : dict[str, asset], optional
            Declare upstream dependencies.  Map parameter names to other
            ``@asset``-decorated functions.  Quarl will materialize upstream
            assets first and pass their values as keyword arguments.

            Example::

                @asset()
                def raw(): return [1, 2, 3]

                @asset(inputs={"data": raw})
                def processed(data): return [x * 2 for x in data]

        partitions : dict[str, partitions(...)], optional
            Declare a partitioned asset.  Each dimension maps to a
            ``partitions([...])`` call that enumerates the static partition keys.
            Quarl will create one materialization job per partition combination.

            Example::

                from quarl import asset, partitions

                @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
                def prices(ticker: str):
                    return fetch_price(ticker)

        serializer : str, optional
            Reserved for future use.  Leave unset."""
    ),
    "partitions": textwrap.dedent(
        """\
        Declare a static partition universe for use with ``@asset(partitions=...)``.

        Example::

            from quarl import asset, partitions

            @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
            def prices(ticker: str): ..."""
    ),
    "inspect_modules": textwrap.dedent(
        """\
        Inspect modules for quarl assets. Called by the `python -m quarl.inspect` CLI stub.

        Imports each module, finds functions with `__quarl_kind__ == "asset"`,
        extracts source and metadata, returns JSON string to stdout."""
    ),
    "materialize_asset": textwrap.dedent(
        """\
        Materialize a single asset function. Called by the `python -m quarl.worker` CLI stub.

        Imports the module, finds the function, calls the unwrapped original,
        serializes the result to JSON, writes value.json and result.json.

        If `input_kwargs_json` is provided, it is parsed as a JSON dict and
        passed as keyword arguments to the function."""
    ),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings(name):
    assert getattr(_quarl, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("cls", [_quarl.AssetWrapper, _quarl.Partitions])
class TestClasses:
    def test_no_constructor(self, cls):
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == f"No constructor defined for {cls.__name__}"
        with pytest.raises(TypeError, match="^No constructor defined for"):
            cls(1, key=2)

    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})

    def test_bare_name_plain_object_base(self, cls):
        assert cls.__qualname__ == cls.__name__
        assert cls.__bases__ == (object,)
        assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)


def test_import_does_not_warn():
    script = "import _quarl; print(_quarl.Partitions.__module__, _quarl.Partitions.__name__)"
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", script], capture_output=True, text=True
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "_quarl Partitions\n", "")


def test_class_docs():
    assert _quarl.Partitions.__doc__ == (
        "Marker type returned by `partitions([...])`. Stores the static values."
    )
    # AssetWrapper's __doc__ is an instance getter; the class keeps its doc in the type slot.
    assert type(_quarl.AssetWrapper.__doc__).__name__ == "getset_descriptor"


@pytest.mark.parametrize(
    "make", [lambda: _quarl.asset()(len), lambda: _quarl.partitions([])], ids=["wrapper", "partitions"]
)
def test_instances_refuse_weak_references_and_new_attributes(make):
    instance = make()
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.anything = 1


def test_sub_interpreter_is_refused_after_the_main_one():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no way to start a sub-interpreter here")
    script = "import _quarl, _testcapi; print(_testcapi.run_in_subinterp('import _quarl'))"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout == "-1\n"
    assert "ImportError: _quarl does not support sub-interpreters" in done.stderr


def test_first_decoration_imports_nothing():
    script = ("import sys, _quarl; sys.modules['types'] = None\n"
              "print(_quarl.asset()(lambda: 1)())")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "1\n", "")


def test_refused_isolated_sub_interpreter_does_not_take_the_module():
    # CPython 3.12 refuses a single-phase module in an isolated sub-interpreter only once the
    # module's init has run; the main interpreter must still be able to import it afterwards.
    script = textwrap.dedent("""
        try:
            import _interpreters as interpreters
            interp = interpreters.create()
        except ModuleNotFoundError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=True)
        try:
            failure = interpreters.run_string(interp, "import _quarl")
        except Exception as error:
            failure = error
        interpreters.destroy(interp)
        print("refused" if "does not support loading in subinterpreters" in str(failure) else failure)
        import _quarl
        print(_quarl.asset()(len)([1, 2]))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if "No module named '_xxsubinterpreters'" in done.stderr:
        pytest.skip("no way to start an isolated sub-interpreter here")
    assert (done.returncode, done.stdout, done.stderr) == (0, "refused\n2\n", "")


def test_exports_only_the_init_function():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    symbols = subprocess.run(
        [nm, "-D", "--defined-only", _quarl.__file__], capture_output=True, text=True, check=True
    ).stdout.split()
    assert [s for s in symbols if not all(c in "0123456789abcdef" for c in s) and len(s) > 1] == [
        "PyInit__quarl"
    ]
    assert ".abi3." in _quarl.__file__
