"""quarl.load: a published value, read where the user works (a notebook, a script).

    frame = quarl.load("pipeline.frames.orders", partition="day=2024-05-01")

reads the value that the last successful run of that asset (at that partition) published under
the output folder, with the serializer that its run's record names, once the record shows the
value is still the one its run wrote. The folder is found as quarl.run.layout lays it out; only
published runs are read, never an attempt or a failure.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from quarl import contract
from quarl.errors import QuarlError
from quarl.run import layout
from quarl.run.plan import canonical, partition_label

_SHOWN = 5


class LoadError(QuarlError):
    """A value that quarl.load cannot give: no such asset, partition or published value, or a
    value changed since its run wrote it. The message says which, and what there is."""


def load(asset: str, partition: Mapping[str, Any] | str | None = None,
         out: str | os.PathLike[str] = "quarl-out") -> Any:
    """The published value of ASSET (its key, or its function's name where only one asset in
    OUT has it), at PARTITION for a partitioned asset: a dict of its dimensions' values, or
    the text that tables print ("day=2024-05-01,region=eu"). Raises LoadError.

    Reading a value runs its serializer's code: pickle and serializers of your own can run
    anything, so read only output folders you trust."""
    out = os.fspath(out)
    from quarl.run.storage import is_url

    if is_url(out):
        raise LoadError(f"quarl.load reads an output folder, not an object store ({out}): copy the "
                        "run's attempt that its PUBLISHED.json names, or read it with its serializer")
    key = _asset_key(out, asset)
    folder = os.path.join(out, key)
    partitioned = layout.holds_partitions(folder) and not layout.holds_run(folder)
    if partition is None and partitioned:
        shown = _published_partitions(folder)
        raise LoadError(f"{key} is partitioned: say which partition, e.g. partition="
                        f"{partition_label(shown[0]) if shown else 'DIM=VALUE'!r}")
    if partition is not None and not partitioned:
        raise LoadError(f"{key} is not partitioned in {out}: leave out partition=")
    if partition is not None:
        folder = _partition_folder(out, key, folder, partition)
    found = layout.published_run(folder)
    if found is None:
        raise LoadError(_why_not(out, key, folder))
    from quarl import values

    return values.load(found[1])


def _asset_key(out: str, asset: str) -> str:
    """The key of the asset that ASSET names among the folders of OUT."""
    if not os.path.isdir(out):
        raise LoadError(f"no output folder {out}: quarl run writes its values there (out= names another)")
    # An asset whose runs have all failed has only the folder of its last failure.
    keys = sorted({name[1:-len(".failed")] if name.startswith(".") else name for name in
                   (entry.name for entry in os.scandir(out) if entry.is_dir())
                   if not name.startswith(".") or name.endswith(".failed")})
    if asset in keys:
        return asset
    named = [key for key in keys if key.rpartition(".")[2] == asset]
    if len(named) == 1:
        return named[0]
    if named:
        raise LoadError(f"{asset!r} names {len(named)} assets in {out}: {', '.join(named)}; write its key")
    raise LoadError(f"{out} holds no asset {asset!r} (its assets: {_listed(keys)})")


def _partition_folder(out: str, key: str, folder: str, partition: Mapping[str, Any] | str) -> str:
    """The published folder of PARTITION: a dict matches the values of each dimension, in any
    order; a text matches the partition that tables print so."""
    if isinstance(partition, str):
        wanted: Any = partition
        label = partition
        # The folder that the text names when no value in it holds a "," or a "=".
        pairs = [item.split("=") for item in partition.split(",")]
        direct = os.path.join(folder, ",".join(layout.printed_folder_name(dim) + "=" +
                                               layout.printed_folder_name(value) for dim, value in pairs)) \
            if all(len(pair) == 2 for pair in pairs) else None
        if direct is not None and os.path.isdir(direct) and \
                partition_label(_partition_of(os.path.basename(direct)) or ()) == partition:
            return direct
    else:
        try:
            wanted = {str(dim): canonical(value) for dim, value in partition.items()}
        except (TypeError, ValueError) as error:
            raise LoadError(f"partition={partition!r} is not a partition: {error}") from None
        label = partition_label(tuple(wanted.items()))
        # The folder as the dimensions' order in the dict would name it, which is mostly theirs.
        direct = os.path.join(folder, layout.partition_folder(tuple(wanted.items())))
        if os.path.isdir(direct):
            return direct
    for name in _partition_names(folder):
        found = _partition_of(name)
        if found is not None and (dict(found) if isinstance(wanted, dict) else partition_label(found)) == wanted:
            return os.path.join(folder, name)
    if direct is not None and os.path.isdir(f"{folder}/.{os.path.basename(direct)}.failed"):
        return direct  # never published: its failure says why
    published = [partition_label(found) for found in _published_partitions(folder)]
    raise LoadError(f"{key} has no published value for {label} in {out} "
                    f"(its published partitions: {_listed(published) or 'none'})")


def _partition_names(folder: str) -> list[str]:
    return sorted(entry.name for entry in os.scandir(folder)
                  if not entry.name.startswith(".") and "=" in entry.name and entry.is_dir())


def _partition_of(name: str) -> tuple[tuple[str, str], ...] | None:
    """The partition (dimension, canonical value text) pairs that a folder name writes."""
    pairs = []
    for dim, value in layout.split_partition_folder(name):
        text = layout.folder_name_value(value)
        if text is None:
            return None
        pairs.append((dim, text))
    return tuple(pairs)


def _published_partitions(folder: str) -> list[tuple[tuple[str, str], ...]]:
    found = (_partition_of(name) for name in _partition_names(folder))
    return [partition for partition in found if partition is not None]


def _listed(names: list[str]) -> str:
    return ", ".join(names[:_SHOWN]) + (", ..." if len(names) > _SHOWN else "")


def _why_not(out: str, key: str, folder: str) -> str:
    """Why FOLDER holds no value to read: none published, or one changed since."""
    shown = key if folder == os.path.join(out, key) else \
        f"{key} at {partition_label(_partition_of(os.path.basename(folder)) or ())}"
    record = contract.read_run_record(folder)
    if record is not None and record.published_value:
        return (f"the value of {shown} in {folder} was changed outside quarl since its run wrote it: "
                "quarl run makes it again")
    failed = contract.read_run_record(f"{os.path.dirname(folder)}/.{os.path.basename(folder)}.failed")
    if failed is not None and failed.ok is False:
        return f"{shown} has no published value in {out}: its run failed: {failed.reason}"
    return f"{shown} has no published value in {out}"
