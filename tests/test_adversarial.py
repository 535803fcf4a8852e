"""Hostile inputs: objects whose protocols raise or lie, containers that change under the module's
feet, replaced standard functions, deep nesting and huge inputs. Every call must end in a value or
a Python exception, and a run directory must hold only what the failure rules allow."""

import builtins
import collections
import importlib
import inspect
import json
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _quarl import inspect_modules, materialize_asset
from quarl import asset, partitions


# --- shared pieces -------------------------------------------------------------------------------

class Halt(BaseException):
    """A BaseException of the user's own, neither an Exception nor one of the interpreter's."""


# Exceptions a hostile callback raises, as (type, args): each raise makes a fresh instance.
RAISED = [(ValueError, ("bad value",)), (LookupError, ("gone",)), (KeyboardInterrupt, ()),
          (SystemExit, (7,)), (GeneratorExit, ("closing",)), (Halt, ("halt",)),
          (RecursionError, ("deep",)), (MemoryError, ())]
raised = st.sampled_from(RAISED)


def make(spec):
    error_type, args = spec
    return error_type(*args)


def outcome(call):
    """What a call came to, in a form two runs can be compared by: the value, or the exception's
    type and message."""
    try:
        return ("returned", call())
    except BaseException as error:  # hostile callbacks raise anything at all
        return ("raised", type(error), str(error))


REAL_DUMPS = json.dumps  # tests replace json.dumps; their own bookkeeping keeps the real one


def canonical(text):
    """One spelling of a JSON text: our writer and Python's differ in layout, not in content."""
    return REAL_DUMPS(json.loads(text), sort_keys=True)


def strict_loads(text):
    """json.loads, refusing the bare words NaN and Infinity as the module's parser does."""
    def refuse(word):
        raise json.JSONDecodeError(f"{word} is not JSON", text, 0)
    return json.loads(text, parse_constant=refuse)


def text_of(object, what="PyString"):
    if not isinstance(object, str):
        raise TypeError(f"'{type(object).__name__}' object cannot be converted to '{what}'")
    return str.__str__(object)


json_scalars = (st.none() | st.booleans() | st.integers(-2**70, 2**70)
                | st.floats(allow_nan=False, allow_infinity=False)
                | st.text(st.characters(exclude_categories=("Cs",)), max_size=8))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner,
                                                                max_size=4),
    max_leaves=12)


# --- recursion through native code only ----------------------------------------------------------
# A wrapper around a wrapper around ... calls, reads and frees through C frames that Python's
# recursion checks do not see on their own.

def run_isolated(code):
    """Runs `code` in a fresh interpreter, so that a crash fails this test instead of pytest."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout


CHAIN = """
    import functools
    from quarl import asset

    def f():
        '''doc'''
        return 1

    chain = f
    for i in range({links}):
        chain = asset()(chain)
        if {with_partial} and i % 2:
            chain = functools.partial(chain)
"""


READING = "RecursionError maximum recursion depth exceeded while reading an asset's function"


@pytest.mark.parametrize("with_partial, action, expected", [
    (False, "chain()", "RecursionError maximum recursion depth exceeded while calling an asset"),
    (True, "chain()", "RecursionError maximum recursion depth exceeded while calling an asset"),
    (False, "chain.__name__", READING),
    (False, "chain.__doc__", READING),
    (False, "chain.__module__", READING),
    (False, "chain.__qualname__", READING),
])
def test_long_wrapper_chain_raises_recursion_error(with_partial, action, expected):
    out = run_isolated(CHAIN.format(links=300_000, with_partial=with_partial) + f"""
    try:
        {action}
    except RecursionError as error:
        print("RecursionError", error)
    """)
    assert out == expected + "\n"


@pytest.mark.parametrize("with_partial", [False, True])
def test_long_wrapper_chain_is_freed(with_partial):
    out = run_isolated(CHAIN.format(links=1_000_000, with_partial=with_partial) + """
    import weakref
    alive = weakref.ref(f)
    del f, chain
    print(alive() is None)
    """)
    assert out == "True\n"


@pytest.mark.parametrize("stand_in", ["_quarl.AssetWrapper", "type('function', (), {})"])
def test_replaced_function_type_does_not_lift_the_count(stand_in):
    # Wrappers of plain Python functions leave the counting to the interpreter; the module must
    # know that type for certain, whatever types.FunctionType has been made to say.
    out = run_isolated(f"""
    import types, _quarl
    types.FunctionType = {stand_in}
    """ + CHAIN.format(links=300_000, with_partial=False) + """
    try:
        chain()
    except RecursionError as error:
        print("RecursionError", error)
    """)
    assert out == "RecursionError maximum recursion depth exceeded while calling an asset\n"


def test_short_wrapper_chain_still_calls_through():
    out = run_isolated(CHAIN.format(links=200, with_partial=True) + """
    print(chain())
    """)
    assert out == "1\n"


def test_recursive_asset_beyond_a_raised_limit_raises_recursion_error():
    out = run_isolated("""
    import sys
    from quarl import asset

    @asset()
    def countdown(n):
        return 0 if n == 0 else 1 + countdown(n - 1)

    sys.setrecursionlimit(10**7)
    print(countdown(500))
    try:
        countdown(10**6)
    except RecursionError as error:
        print("RecursionError", str(error).startswith("maximum recursion depth exceeded"))
    """)
    assert out == "500\nRecursionError True\n"


# --- asset(): objects that lie about being assets ------------------------------------------------

def answer(spec):
    """A marker read: None is a missing attribute, ("raise", e) raises, ("value", v) gives v."""
    if spec is None:
        raise AttributeError("no such marker")
    if spec[0] == "raise":
        raise make(spec[1])
    return spec[1]


class Claims:
    @property
    def __quarl_kind__(self):
        return answer(self.kind)

    @property
    def __quarl_original__(self):
        return answer(self.original)


class Claimant(Claims):
    def __init__(self, kind, original):
        self.kind, self.original = kind, original


class ClaimantText(Claims, str):
    """A str that is also a claimant, and whose own protocols all lie or raise."""

    def __new__(cls, text, kind, original):
        self = super().__new__(cls, text)
        self.kind, self.original = kind, original
        return self

    def __str__(self):
        return "not the text"

    def __eq__(self, other):
        raise Halt("compared")

    def __hash__(self):
        raise Halt("hashed")


class LyingText(str):
    """A str whose protocols lie or raise; the text itself is what counts."""

    def __str__(self):
        return "not the text"

    def __eq__(self, other):
        raise Halt("compared")

    __hash__ = None


class ArmedKey(str):
    """A dict key that hashes normally while the dict is built, and raises once armed."""

    armed = False

    def __hash__(self):
        if ArmedKey.armed:
            raise Halt("hashed")
        return str.__hash__(self)

    def __eq__(self, other):
        if ArmedKey.armed:
            raise Halt("compared")
        return str.__eq__(self, other)


class NamelessMeta(type):
    @property
    def __name__(cls):
        raise LookupError("no name")


class NumberedMeta(type):
    @property
    def __name__(cls):
        return 3


class Nameless(metaclass=NamelessMeta):
    pass


class Numbered(metaclass=NumberedMeta):
    pass


def upstream():
    return 1


class Mapping(dict):
    """A dict whose every protocol raises: the module reads the dict's own entries."""

    def _refuse(self, *args, **kwargs):
        raise Halt("protocol used")

    keys = items = values = __iter__ = __getitem__ = __len__ = __contains__ = get = _refuse


KINDS = [None, ("value", "asset"), ("value", LyingText("asset")), ("value", "ASSET"),
         ("value", "asset\x00"), ("value", 1), ("value", b"asset")]
ORIGINALS = [None, ("value", upstream), ("value", Nameless), ("value", Numbered), ("value", len),
             ("value", Claimant(None, None))]
markers = st.one_of(st.just(("value", "asset")), st.sampled_from(KINDS),
                    st.tuples(st.just("raise"), raised))
originals = st.one_of(st.just(("value", upstream)), st.sampled_from(ORIGINALS),
                      st.tuples(st.just("raise"), raised))
# Claimants come up most: a value that is refused outright ends the walk.
claimants = st.builds(Claimant, markers, originals)
input_values = st.one_of(
    claimants, claimants, claimants,
    st.builds(ClaimantText, st.text(max_size=4), markers, originals),
    st.builds(LyingText, st.text(max_size=4)),
    st.text(max_size=4),
    st.sampled_from([3, None, b"ref", ["ref"]]),
)
input_keys = st.text(max_size=3) | st.builds(ArmedKey, st.text(max_size=3))


def reference_inputs(inputs):
    """The documented reduction of `inputs` to references, in Python."""
    if not isinstance(inputs, dict):
        raise TypeError(f"'{type(inputs).__name__}' object cannot be converted to 'PyDict'")
    references = {}
    for key, value in list(dict.items(inputs)):
        parameter = text_of(key)
        try:
            kind = value.__quarl_kind__
            claims = isinstance(kind, str) and str.__eq__(kind, "asset") is True
        except Exception:
            claims = False
        if claims:
            try:
                function = value.__quarl_original__
            except Exception:
                function = value
            path = str(pathlib.Path(inspect.getsourcefile(function)).resolve())
            references[parameter] = path + ":" + text_of(function.__name__)
        elif isinstance(value, str):
            references[parameter] = str.__str__(value)
        else:
            raise TypeError("inputs values must be @asset-decorated functions or asset ref strings")
    return references


@settings(max_examples=200, deadline=None)
@given(entries=st.lists(st.tuples(input_keys, input_values), max_size=4),
       container=st.sampled_from([dict, Mapping]))
def test_inputs_are_read_as_documented_whatever_the_objects_do(entries, container):
    inputs = container()
    for key, value in entries:
        dict.__setitem__(inputs, key, value)
    ArmedKey.armed = True
    try:
        expected = outcome(lambda: reference_inputs(inputs))
        got = outcome(lambda: asset(inputs=inputs)(upstream).__quarl_metadata__["inputs"])
    finally:
        ArmedKey.armed = False
    assert got == expected


@pytest.mark.parametrize("inputs, message", [
    (collections.UserDict({"x": "ref"}),
     "'UserDict' object cannot be converted to 'PyDict'"),
    (types.MappingProxyType({"x": "ref"}),
     "'mappingproxy' object cannot be converted to 'PyDict'"),
])
def test_inputs_that_only_look_like_a_dict_are_refused(inputs, message):
    with pytest.raises(TypeError) as info:
        asset(inputs=inputs)
    assert str(info.value) == message


@pytest.mark.parametrize("argument", ["name", "serializer"])
def test_texts_are_taken_as_stored_not_as_their_protocols_say(argument):
    metadata = asset(**{argument: LyingText("kept")})(upstream).__quarl_metadata__
    assert type(metadata[argument]) is str and metadata[argument] == "kept"


IDENTITY = ["__name__", "__qualname__", "__module__", "__doc__"]


class Impostor:
    """A wrapped object one of whose identity attributes, or whose call, gives `outcome()`."""

    def __init__(self, attribute, outcome):
        object.__setattr__(self, "spec", (attribute, outcome))

    def __getattribute__(self, name):
        attribute, outcome = object.__getattribute__(self, "spec")
        if name == attribute and name in IDENTITY:
            return outcome()
        return object.__getattribute__(self, name)

    def __call__(self):
        attribute, outcome = object.__getattribute__(self, "spec")
        return outcome() if attribute == "call" else None


def raising(error):
    def outcome():
        raise error
    return outcome


@pytest.mark.parametrize("attribute", IDENTITY + ["call"])
@pytest.mark.parametrize("result, error", [
    (3, None), (None, None), (LyingText("name"), None), (b"name", None),
    (None, Halt("identity")), (None, KeyboardInterrupt()), (None, GeneratorExit()),
    (None, AttributeError("gone")),
])
def test_identity_reads_and_calls_pass_on_whatever_the_object_does(attribute, result, error):
    wrapper = asset()(Impostor(attribute, raising(error) if error else lambda: result))
    read = wrapper if attribute == "call" else lambda: getattr(wrapper, attribute)
    if error is None:
        assert read() is result
    else:
        with pytest.raises(BaseException) as info:
            read()
        assert info.value is error


# --- partitions(): lists that change while json.dumps runs ---------------------------------------

class Mutator(dict):
    """A dict that changes the list being converted when json.dumps reads its items: json's
    encoder asks a dict subclass for items(), so this runs in the middle of the walk."""

    def __init__(self, target, operation, payload):
        super().__init__(k=payload)
        self.target, self.operation, self.payload = target, operation, payload

    def items(self):
        t, payload = self.target, self.payload
        match self.operation:
            case "append":
                t.append(payload)
            case "pop":
                if list.__len__(t):
                    t.pop()
            case "clear":
                t.clear()
            case "insert at 0":
                t.insert(0, payload)
            case "drop first":
                del t[:1]
            case "replace all":
                t[:] = [payload] * 3
            case "replace next":
                t[1:2] = [payload]
        return dict.items(self)


class HostileList(list):
    """A list whose every protocol raises: partitions() reads the list's own storage."""

    def _refuse(self, *args):
        raise Halt("protocol used")

    __iter__ = __len__ = __getitem__ = __reversed__ = __contains__ = _refuse


OPERATIONS = ["append", "pop", "clear", "insert at 0", "drop first", "replace all", "replace next"]
partition_entries = st.lists(
    st.one_of(json_values.map(lambda v: ("value", v)),
              st.tuples(st.just("mutate"), st.sampled_from(OPERATIONS), json_scalars),
              st.tuples(st.just("mutate inside"), st.sampled_from(OPERATIONS), json_scalars)),
    max_size=6)


def build_list(entries, kind):
    """A fresh list from its description; Mutators change that very list."""
    values = kind()
    for entry in entries:
        if entry[0] == "value":
            element = entry[1]
        else:
            element = Mutator(values, entry[1], entry[2])
            if entry[0] == "mutate inside":
                element = [element]
        list.append(values, element)
    return values


def reference_partitions(values):
    """The documented walk in Python: the bound is the smaller of the length at the start and the
    length now, read before each element."""
    initial, converted, i = list.__len__(values), [], 0
    while i < min(initial, list.__len__(values)):
        converted.append(strict_loads(text_of(json.dumps(list.__getitem__(values, i)))))
        i += 1
    return REAL_DUMPS(converted, sort_keys=True)


def values_json(p):
    return asset(partitions={"d": p})(None).__quarl_metadata__["partitions"]["d"]["values_json"]


class FaultyDumps:
    """json.dumps that, from its `after`-th call on, raises or returns what `fault` says."""

    def __init__(self, real, after, fault):
        self.real, self.after, self.fault, self.calls = real, after, fault, 0

    def __call__(self, value):
        self.calls += 1
        if self.fault is None or self.calls <= self.after:
            return self.real(value)
        if self.fault[0] == "raise":
            raise make(self.fault[1])
        return self.fault[1]


dumps_faults = st.one_of(
    st.none(),
    st.tuples(st.just("raise"), raised),
    st.tuples(st.just("return"), st.sampled_from([42, b"[]", None, "[1,", "NaN", "1 2"])))


@settings(max_examples=200, deadline=None)
@given(entries=partition_entries, kind=st.sampled_from([list, HostileList]),
       fault=dumps_faults, after=st.integers(0, 4))
def test_partitions_walk_the_list_as_documented_while_it_changes(entries, kind, fault, after):
    real = json.dumps
    try:
        json.dumps = FaultyDumps(real, after, fault)
        expected = outcome(lambda: reference_partitions(build_list(entries, kind)))
        json.dumps = FaultyDumps(real, after, fault)
        values = build_list(entries, kind)
        got = outcome(lambda: canonical(values_json(partitions(values))))
    finally:
        json.dumps = real
    if expected[:2] == ("raised", json.JSONDecodeError):
        # Python's parser and ours describe a bad text differently; the kind of error is fixed.
        assert got[:2] == ("raised", ValueError)
        assert got[2].startswith("invalid partition value: ")
    else:
        assert got == expected


def nested(levels, wrap):
    value = None
    for _ in range(levels):
        value = wrap(value)
    return value


def cyclic():
    values = [1]
    values.append(values)
    return values


@pytest.mark.parametrize("values, error, message", [
    (lambda: [nested(100_000, lambda v: [v])], RecursionError, None),
    (lambda: [nested(100_000, lambda v: {"k": v})], RecursionError, None),
    # The 128th opening brace, at column 6 * 127 + 1, is one level too deep.
    (lambda: [nested(129, lambda v: {"k": v})], ValueError,
     "invalid partition value: recursion limit exceeded at line 1 column 763"),
    (cyclic, ValueError, "Circular reference detected"),
])
def test_deep_and_cyclic_values_are_refused(values, error, message):
    with pytest.raises(error) as info:
        partitions(values())
    assert type(info.value) is error
    assert message is None or str(info.value) == message


def test_huge_partition_list():
    values = [i if i % 3 else f"key-{i}" for i in range(300_000)] + [[1, {"a": None}]] * 1000
    p = partitions(values)
    assert repr(p) == "Partitions(301000 values)"
    assert canonical(values_json(p)) == REAL_DUMPS(values, sort_keys=True)


# --- inspect_modules(): members that claim to be assets, and replaced library functions ----------

def reference_inspect(names):
    """The documented inspection in Python, over the library functions as they stand."""
    def source(object):
        return text_of(textwrap.dedent(inspect.getsource(object)).strip()) + "\n"

    info = sys.version_info
    version = f"{info.major}.{info.minor}.{info.micro}"
    assets = []
    for name in names:
        try:
            module = importlib.import_module(name)
        except KeyboardInterrupt:
            raise
        except BaseException:  # noqa: B036 - a module that fails to import, however, is skipped
            continue
        module_source = source(module)
        module_path = text_of(module.__name__)
        for item in inspect.getmembers(module):
            member = item[1]
            try:
                kind = member.__quarl_kind__
            except Exception:
                continue
            if not (isinstance(kind, str) and str.__eq__(kind, "asset") is True):
                continue
            text = text_of(json.dumps(member.__quarl_metadata__))
            try:
                metadata = strict_loads(text)
            except json.JSONDecodeError:
                raise RuntimeError("JSON parse error") from None
            try:
                original = member.__quarl_original__
            except Exception:
                original = member
            function_source = source(original)
            function_name = text_of(original.__name__)
            try:
                file = inspect.getsourcefile(original)
            except Exception:
                file_path = ""
            else:
                file_path = text_of(str(pathlib.Path(file).resolve()))
            annotation = inspect.signature(original).return_annotation
            if annotation is inspect.Signature.empty:
                return_type = None
            elif builtins.isinstance(annotation, type):
                return_type = text_of(annotation.__name__)
            else:
                return_type = text_of(str(annotation))
            assets.append({
                "decorator_metadata": metadata, "file_path": file_path,
                "function_name": function_name, "function_source": function_source,
                "kind": "asset", "module_path": module_path, "module_source": module_source,
                "python_version": version, "return_type": return_type})
    return REAL_DUMPS({"assets": assets}, sort_keys=True)


def compare_inspection(names):
    """inspect_modules against the reference: the same report, or the same exception."""
    expected = outcome(lambda: reference_inspect(names))
    got = outcome(lambda: canonical(inspect_modules(names)))
    if expected[:3] == ("raised", RuntimeError, "JSON parse error"):
        # Python's parser and ours describe a bad text differently; the kind of error is fixed.
        assert got[:2] == ("raised", RuntimeError) and got[2].startswith("JSON parse error: ")
    else:
        assert got == expected


@pytest.fixture
def members(fixture_modules):
    fixture_modules("adversarial")
    import adv_members

    yield adv_members
    adv_members.SLOTS.clear()


def slot_answer(spec):
    """A Claimant's answer for one marker (see adv_members): None for a missing attribute."""
    return None if spec is None else lambda: answer(spec)


RAISES = [("raise", spec) for spec in RAISED]
# Weighted towards readable claimants, so that most examples get as far as a record.
slot_kinds = st.sampled_from([("value", "asset")] * 12 + [
    ("value", LyingText("asset")), ("value", "Asset"), ("value", 1), None] + RAISES)
slot_metadata = st.one_of(json_values.map(lambda value: ("value", value)), st.sampled_from(
    [("value", {"k": [1, None]})] * 12 + [("value", {1}), ("value", float("nan")), None] + RAISES))
slot_originals = st.sampled_from(["original_function"] * 12 + [
    "itself", "len", "lambda", None] + RAISES)
slot_behaviours = st.fixed_dictionaries(
    {"kind": slot_kinds, "metadata": slot_metadata, "original": slot_originals})


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(slots=st.lists(slot_behaviours, min_size=3, max_size=3))
def test_claimants_are_inspected_as_documented(members, slots):
    targets = {"original_function": members.original_function, "len": len,
               "lambda": lambda x: x}
    members.SLOTS.clear()
    for name, slot in zip(["slot_a", "slot_b", "slot_c"], slots):
        original = slot["original"]
        if original == "itself":
            original = ("value", getattr(members, name))
        elif isinstance(original, str):
            original = ("value", targets[original])
        members.SLOTS[name] = {"kind": slot_answer(slot["kind"]),
                               "metadata": slot_answer(slot["metadata"]),
                               "original": slot_answer(original)}
    compare_inspection(["adv_members"])


class StripLies(str):
    def strip(self, *args):
        return 42


class NoStr:
    def __str__(self):
        raise Halt("str")


def raiser(error):
    def replacement(*args, **kwargs):
        raise error
    return replacement


def returning(value):
    return lambda *args, **kwargs: value


def members_raising_after_one(real):
    def getmembers(module):
        yield real(module)[0]
        raise Halt("members")
    return getmembers


def signature_without_annotation(function):
    return object()


def path_resolving_to(result):
    class Path:
        def __init__(self, file):
            pass

        def resolve(self):
            return result
    return Path


INTERRUPT = KeyboardInterrupt()
HALT = Halt("replaced")
EXIT = SystemExit(3)
CLOSE = GeneratorExit()


# (module, function, replacement, the exception instance the replacement raises, if any)
REPLACED_FOR_INSPECTION = [
    ("inspect", "getsource", returning(42), None),
    ("inspect", "getsource", returning(b"def f(): pass"), None),
    ("inspect", "getsource", returning(LyingText("  lying text  ")), None),
    ("inspect", "getsource", raiser(OSError("no source")), None),
    ("inspect", "getsource", raiser(INTERRUPT), INTERRUPT),
    ("inspect", "getsource", raiser(EXIT), EXIT),
    ("inspect", "getsource", raiser(CLOSE), CLOSE),
    ("inspect", "getsource", raiser(HALT), HALT),
    ("textwrap", "dedent", returning(42), None),
    ("textwrap", "dedent", returning(StripLies("text")), None),
    ("textwrap", "dedent", raiser(HALT), HALT),
    ("json", "dumps", returning(42), None),
    ("json", "dumps", returning(LyingText('{"k": 1}')), None),
    ("json", "dumps", returning("[1,"), None),
    ("json", "dumps", raiser(INTERRUPT), INTERRUPT),
    ("inspect", "getmembers", members_raising_after_one(inspect.getmembers), None),
    ("inspect", "getmembers", raiser(EXIT), EXIT),
    ("inspect", "getsourcefile", raiser(ValueError("no file")), None),
    ("inspect", "getsourcefile", raiser(HALT), HALT),
    ("inspect", "getsourcefile", returning(None), None),
    ("inspect", "getsourcefile", returning(42), None),
    ("pathlib", "Path", path_resolving_to(NoStr()), None),
    ("pathlib", "Path", path_resolving_to(LyingText("/lying/path")), None),
    ("inspect", "signature", raiser(CLOSE), CLOSE),
    ("inspect", "signature", signature_without_annotation, None),
    ("importlib", "import_module", raiser(HALT), None),
    ("importlib", "import_module", raiser(INTERRUPT), INTERRUPT),
    ("importlib", "import_module", returning(sys), None),
]


@pytest.mark.parametrize("target, name, replacement, sentinel", REPLACED_FOR_INSPECTION)
def test_replaced_library_functions_give_the_documented_result(members, monkeypatch, target,
                                                                 name, replacement, sentinel):
    members.SLOTS["slot_a"] = {"kind": lambda: "asset", "metadata": lambda: {"k": [1]},
                               "original": lambda: members.original_function}
    with monkeypatch.context() as patch:
        patch.setattr(sys.modules[target], name, replacement)
        compare_inspection(["adv_members"])
        if sentinel is not None:
            # The very exception the replacement raised reaches the caller, not a copy.
            with pytest.raises(BaseException) as info:
                inspect_modules(["adv_members"])
            assert info.value is sentinel


@pytest.mark.parametrize("error", [ValueError("not now"), SystemExit("not now"), Halt("not now")])
def test_import_failure_is_skipped_unless_an_interrupt(members, monkeypatch, capfd, error):
    monkeypatch.setattr(importlib, "import_module", raiser(error))
    assert inspect_modules(["adv_members"]) == '{"assets":[]}'
    assert capfd.readouterr().err == (
        f"quarl: skipping module 'adv_members': {type(error).__qualname__}: not now\n")


# --- materialize_asset(): the run directory after every kind of failure --------------------------

def record_bytes(**members):
    return REAL_DUMPS(members, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode()


def error_text(error):
    try:
        message = str(error)
    except BaseException:  # noqa: B036 - str() of a hostile exception raises anything
        message = "<exception str() failed>"
    return (f"{type(error).__qualname__}: {message}".encode("utf-8", "replace").decode(),
            type(error).__name__)


class Unprintable(Exception):
    def __str__(self):
        raise Halt("str")


class Outer:
    class Inner(LookupError):
        pass


RUN_RAISED = RAISED + [(Unprintable, ()), (Outer.Inner, ("nested",)),
                       (ValueError, ("bad \udc80 text",)), (KeyError, ("k",))]
run_raised = st.sampled_from(RUN_RAISED)


class BadSignature:
    def __str__(self):
        return 42


def expected_run(case, out, before):
    """What the caller sees and what the run directory holds afterwards, by the failure rules."""
    files = dict(before)
    files.pop("result.json", None)  # an earlier record goes before the run begins

    def failed(error):
        if case["write result"] is not None:
            return ("raised", case["write result"][0], str(make(case["write result"]))), files
        files["result.json"] = record_bytes(ok=False, error=error_text(error)[0],
                                            error_type=error_text(error)[1])
        if case["exit returns"]:
            return ("returned", None), files
        return ("raised", SystemExit, "1"), files

    if case["function"][0] == "raise":
        return failed(make(case["function"][1]))
    value = case["function"][1]
    if case["dumps"] is None:
        try:
            text = REAL_DUMPS(value)
        except TypeError as error:
            return failed(error)
    elif case["dumps"][0] == "raise":
        return failed(make(case["dumps"][1]))
    else:
        text = case["dumps"][1]
    if case["write value"] is not None:  # the replaced write_text raises before any check
        return failed(make(case["write value"]))
    if not isinstance(text, str):
        return failed(TypeError(f"data must be str, not {type(text).__name__}"))
    files["value.json"] = text.encode()
    if case["signature"] == "bad str":
        return failed(TypeError("__str__ returned non-string (type int)"))
    if case["signature"] is not None:
        return failed(make(case["signature"]))
    if case["write result"] is not None:
        return failed(None)
    files["result.json"] = record_bytes(
        artifact_format="json", function_name="subject", module_path="adv_subject", ok=True,
        result_type=type(value).__name__, signature="()", value_path=str(out / "value.json"))
    return ("returned", None), files


run_cases = st.fixed_dictionaries({
    "function": st.one_of(st.tuples(st.just("return"), json_values | st.just({1})),
                          st.tuples(st.just("raise"), run_raised)),
    "dumps": st.none() | st.tuples(st.just("raise"), run_raised)
             | st.tuples(st.just("return"), st.sampled_from([42, b"{}", "custom text", None])),
    "write value": st.none() | run_raised,
    "write result": st.none() | st.sampled_from(RAISED),
    "signature": st.none() | st.just("bad str") | run_raised,
    "exit returns": st.booleans(),
    "stale files": st.booleans(),
})


@pytest.fixture
def subject(fixture_modules):
    fixture_modules("adversarial")
    import adv_subject

    return adv_subject


def files_in(directory):
    return {path.name: path.read_bytes() for path in directory.iterdir()}


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=run_cases)
def test_run_directory_holds_only_what_the_failure_rules_allow(subject, tmp_path, case):
    out = pathlib.Path(tempfile.mkdtemp(dir=tmp_path)) / "run"
    out.mkdir()
    if case["stale files"]:
        (out / "value.json").write_bytes(b"stale value")
        (out / "result.json").write_bytes(b"stale result")
    expected, expected_files = expected_run(case, out, files_in(out))

    subject.BEHAVIOUR = lambda: answer(case["function"])
    real_write_text, real_signature = pathlib.Path.write_text, inspect.signature
    faults = {"value.json": case["write value"], "result.json": case["write result"]}

    def write_text(self, data, encoding=None, errors=None, newline=None):
        # Each file is written as a temporary ".value.json.<id>.tmp" and renamed into place.
        fault = faults.get(".".join(self.name.split(".")[1:3]))
        if fault is not None:
            raise make(fault)
        return real_write_text(self, data, encoding, errors, newline)

    def signature(function):
        if case["signature"] == "bad str":
            return BadSignature()
        if case["signature"] is not None:
            raise make(case["signature"])
        return real_signature(function)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(pathlib.Path, "write_text", write_text)
        patch.setattr(inspect, "signature", signature)
        if case["dumps"] is not None:
            patch.setattr(json, "dumps", FaultyDumps(REAL_DUMPS, 0, case["dumps"]))
        if case["exit returns"]:
            patch.setattr(sys, "exit", lambda code: None)
        got = outcome(lambda: materialize_asset("adv_subject", "subject", str(out)))
    assert got == expected
    assert files_in(out) == expected_files


class LyingEqual(str):
    """A str that hashes as its text but says it equals anything and prints as something else."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True

    def __str__(self):
        return "not the text"


@pytest.mark.parametrize("module_name, function_name", [
    (LyingText("adv_subject"), "subject"),
    ("adv_subject", LyingText("subject")),
    ("adv_subject", LyingEqual("subject")),
    (LyingEqual("adv_subject"), LyingEqual("BEHAVIOUR")),
])
def test_names_are_recorded_as_given_whatever_their_protocols(subject, tmp_path, module_name,
                                                               function_name):
    subject.BEHAVIOUR = lambda: [1]
    found = outcome(lambda: getattr(subject, function_name))
    got = outcome(lambda: materialize_asset(module_name, function_name, str(tmp_path)))
    if found[0] == "returned":
        value = found[1]()
        assert got == ("returned", None)
        assert files_in(tmp_path) == {
            "value.json": REAL_DUMPS(value).encode(),
            "result.json": record_bytes(
                artifact_format="json", function_name=str.__str__(function_name),
                module_path=str.__str__(module_name), ok=True, result_type=type(value).__name__,
                signature="()", value_path=str(tmp_path / "value.json"))}
    else:
        error = make((found[1], (found[2],)))
        assert got == ("raised", SystemExit, "1")
        assert files_in(tmp_path) == {"result.json": record_bytes(
            ok=False, error=f"{type(error).__qualname__}: {found[2]}", error_type=found[1].__name__)}


def test_bottomless_recursion_in_the_asset_is_recorded(subject, tmp_path):
    with pytest.raises(SystemExit) as info:
        materialize_asset("adv_subject", "bottomless", str(tmp_path))
    assert info.value.args == (1,)
    written = json.loads((tmp_path / "result.json").read_bytes())
    assert written["error_type"] == "RecursionError" and written["ok"] is False
    assert written["error"].startswith("RecursionError: maximum recursion depth exceeded")
    assert [p.name for p in tmp_path.iterdir()] == ["result.json"]
