"""What a run's process does with an object store: it downloads its inputs (each into a cache by
its URL, which names an attempt that is never written again) and, once its record is written,
uploads its attempt's files, the record last: an attempt whose run.json is in the store is whole.

Imported only by a run whose output is an object store.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import tempfile
from typing import TYPE_CHECKING, Any

from quarl.run.storage.store import Store, open_store, prepare

# A warm server imports this module before it forks the runs of an output on S3: they start their
# clients from the session prepared here.
prepare()

if TYPE_CHECKING:
    from quarl.contract import Request

# Inputs are cached beside the attempt folders: one scratch folder per quarl run and machine.
CACHE = ".inputs"
_stores: dict[str, Store] = {}


def split_url(url: str) -> tuple[str, str]:
    """scheme://BUCKET/KEY as (scheme://BUCKET, KEY)."""
    scheme, _, rest = url.partition("://")
    bucket, _, key = rest.partition("/")
    return f"{scheme}://{bucket}", key


def store_of(root: str) -> Store:
    store = _stores.get(root)
    if store is None:
        store = open_store(root)
        if not root.startswith("memory:"):  # a store in memory is the one its name names now
            _stores[root] = store
    return store


def _files(folder: str) -> list[str]:
    return [os.path.relpath(os.path.join(parent, name), folder)
            for parent, _, names in os.walk(folder) for name in names]


def fetch(url: str, cache: str) -> str:
    """The local copy of the value at URL, downloaded into CACHE unless it is there already;
    a value that is a folder (url/...) comes whole."""
    local = os.path.join(cache, hashlib.sha256(url.encode()).hexdigest()[:32], url.rpartition("/")[2])
    if os.path.lexists(local):
        return local
    os.makedirs(os.path.dirname(local), exist_ok=True)
    root, key = split_url(url)
    store = store_of(root)
    temporary = tempfile.mkdtemp(prefix=".quarl-tmp-", dir=os.path.dirname(local))
    try:
        part = os.path.join(temporary, "value")
        try:
            store.download(key, part)
        except FileNotFoundError:
            entries = store.listing(key + "/")
            if not entries:
                raise
            for entry in entries:
                target = os.path.join(part, *entry.key[len(key) + 1:].split("/"))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                store.download(entry.key, target)
        try:
            os.rename(part, local)
        except OSError:
            if not os.path.lexists(local):  # else another run of this machine fetched it first
                raise
    finally:
        shutil.rmtree(temporary, ignore_errors=True)
    return local


def localized(request: Request) -> Request:
    """The request with each upstream value that lives in the store replaced by its local copy."""
    from quarl.contract import Request, Value

    cache = os.path.join(os.path.dirname(os.path.abspath(request.folder)), CACHE)

    def local(value: Value) -> Value:
        if "://" not in value.path:
            return value
        return value._replace(path=fetch(value.path, cache))

    inputs: dict[str, Any] = {}
    for name, item in request.inputs.items():
        if isinstance(item, Value):
            inputs[name] = local(item)
        elif isinstance(item, list):
            inputs[name] = [(partition, local(value)) for partition, value in item]
        else:
            inputs[name] = item
    document = request.document()
    made = Request.from_document(document)
    made.inputs = inputs
    return made


def upload_attempt(folder: str, url: str, skip: frozenset[str] = frozenset()) -> None:
    """Uploads the files of FOLDER under URL, its run.json last (when there is one)."""
    root, prefix = split_url(url)
    store = store_of(root)
    pairs: list[tuple[str, str]] = []
    last: list[tuple[str, str]] = []
    for relative in sorted(_files(folder)):
        if relative in skip or os.path.basename(relative).startswith(".quarl-tmp-"):
            continue
        pair = (os.path.join(folder, relative), f"{prefix}/{relative.replace(os.sep, '/')}")
        (last if relative == "run.json" else pairs).append(pair)
    store.upload(pairs)
    if last:
        store.upload(last)
