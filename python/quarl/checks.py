"""Checks of an asset's value: `@quarl.check(ASSET, severity=..., blocking=...)`.

    @quarl.check(orders)
    def no_negative_quantities(table: pd.DataFrame) -> bool:
        return bool((table["qty"] >= 0).all())

A check is a plain function of the module that takes the asset's value as its first parameter
(and the run's partition values by name, where it has parameters named after them). It passes by
returning True or None; it fails by returning False or a message, or by raising, whose "Type:
message" is then its message. It may return (outcome, metadata) instead, metadata being a dict
that the history keeps with the result ({"rows": 5000, "nulls": 0}).

Checks run in the run's own process, on the value in memory, once the value is written and before
quarl run publishes it: a failed blocking check of severity "error" keeps the value from being
published. `quarl check` evaluates checks on published values again with `python -m
quarl.checker`, in a process of its own (user code never runs in quarl's own).

Imported by user modules, in every run's process: nothing at import but _quarl.
"""

from __future__ import annotations

import _quarl

TYPE_CHECKING = False  # not typing's: see quarl/__init__.py
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping, Sequence
    from typing import IO, Any, Literal, TypeVar

    from _quarl import AssetWrapper

    Check = TypeVar("Check", bound=Callable[..., Any])

MARK = "__quarl_check__"
SEVERITIES = ("error", "warn")


class CheckFailed(Exception):
    """What a check's failure counts as where exceptions are compared: `quarl.retry(on=...)`
    naming it retries a run that a check blocked. Never raised by quarl."""


CheckFailed.__module__ = "quarl"  # named as users write it: quarl.CheckFailed


def _probe() -> None:
    """Stands for a consumer of the checked asset, so that the module spells the asset's reference
    exactly as inputs= does."""


def asset_ref(target: object) -> str:
    """The reference of an asset ("<file>:<function>"), as inputs= records it."""
    try:
        inputs = _quarl.asset(inputs={"asset": target})(_probe).__quarl_metadata__["inputs"]  # type: ignore[dict-item]
    except TypeError:
        raise TypeError(f"quarl.check() takes an @asset or an asset's reference string, not "
                        f"{type(target).__name__}") from None
    assert inputs is not None
    return inputs["asset"]


def check(asset: AssetWrapper[..., Any] | str, *, severity: Literal["error", "warn"] = "error",
          blocking: bool = True) -> Callable[[Check], Check]:
    """Makes the decorated function a check of ASSET's value. severity="error" (the default) fails
    the run's command; "warn" is shown as a warning only. A blocking error (the default) keeps a
    value that fails it from being published; a non-blocking one lets it be published, and still
    fails the command. A warning never blocks. A function may check several assets, one decorator
    each."""
    if severity not in SEVERITIES:
        raise ValueError(f"quarl.check(): severity must be 'error' or 'warn', not {severity!r}")
    if not isinstance(blocking, bool):
        raise TypeError(f"quarl.check(): blocking must be True or False, not {blocking!r}")
    ref = asset_ref(asset)

    def decorate(function: Check) -> Check:
        if isinstance(function, _quarl.AssetWrapper) or not hasattr(function, "__code__"):
            raise TypeError(f"quarl.check() decorates a plain function, not {type(function).__name__}")
        marks = list(getattr(function, MARK, None) or [])
        marks.append({"asset": ref, "severity": severity, "blocking": blocking})
        setattr(function, MARK, marks)
        return function

    return decorate


# --- evaluating checks ---------------------------------------------------------------------------

def _plain(item: Any) -> Any:
    """A metadata value that JSON cannot say: a numpy number as a plain one, else its text."""
    as_item = getattr(item, "item", None)
    if callable(as_item):
        try:
            return as_item()
        except Exception:
            pass
    return str(item)


def _metadata(found: dict[Any, Any]) -> dict[str, Any]:
    """What the history keeps of a check's metadata: a JSON object."""
    import json

    kept: dict[str, Any] = json.loads(json.dumps({str(k): v for k, v in found.items()}, default=_plain))
    return kept


def _outcome(returned: Any) -> tuple[bool, str | None, dict[str, Any] | None]:
    """What a check's return value says: passed, its message, its metadata."""
    metadata = None
    if isinstance(returned, tuple) and len(returned) == 2 and isinstance(returned[1], dict):
        returned, metadata = returned[0], _metadata(returned[1])
    if returned is None or returned is True:
        return True, None, metadata
    if returned is False:
        return False, "returned False", metadata
    if isinstance(returned, str):
        return False, returned, metadata
    kind = type(returned)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_"):
        passed = bool(returned)
        return passed, None if passed else "returned False", metadata
    return False, (f"returned {kind.__name__}, not True, None, False, a message or (outcome, "
                   "metadata)"), metadata


def evaluate(specs: Sequence[Mapping[str, Any]], value: Any, partition: Mapping[str, Any],
             log: IO[str] | None = None) -> list[dict[str, Any]]:
    """Runs each check on VALUE; returns their results as run.json keeps them. A failure is
    written to LOG with the exception's traceback, when it raised."""
    import importlib

    from quarl.values import error_text

    results = []
    for spec in specs:
        raised: BaseException | None = None
        metadata = None
        try:
            function = getattr(importlib.import_module(spec["module"]), spec["function"])
            code = getattr(function, "__code__", None)
            kwargs = {}
            if code is not None:
                named = code.co_varnames[1:code.co_argcount + code.co_kwonlyargcount]
                kwargs = {dim: item for dim, item in partition.items() if dim in named}
            passed, message, metadata = _outcome(function(value, **kwargs))
        except (Exception, SystemExit) as error:
            raised, passed, message = error, False, error_text(error)
        results.append({"name": spec["name"], "passed": passed, "severity": spec["severity"],
                        "blocking": spec["blocking"], "message": message, "metadata": metadata,
                        "fingerprint": spec["fingerprint"]})
        if not passed and log is not None:
            if raised is not None:
                import traceback

                # From the check's own frame on: the one above it is this loop's.
                traceback.print_exception(type(raised), raised, raised.__traceback__ and raised.__traceback__.tb_next,
                                          file=log)
            said = "warned" if spec["severity"] == "warn" else "failed"
            print(f"quarl: check {spec['name']} {said}: {message}", file=log, flush=True)
    return results
