"""The few operations quarl asks of an object store, and the stores that give them.

Keys are relative to the store's root (its bucket and prefix). A conditional write either happens
or raises `Refused`; a request whose answer never came raises `Unanswered`, and the caller reads
back what it wrote to learn whether it happened. Every other failure is an OSError, or a
StorageError where a user can act on it (credentials, bucket, access).

    S3Store       s3:// through s3fs (and botocore, which reads the environment's credentials
                  and AWS_ENDPOINT_URL); requests that may run at once go through its event loop
    MemoryStore   memory://NAME: a store inside this process, with the same conditional writes
"""

from __future__ import annotations

import asyncio
import errno
import hashlib
import itertools
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar

from quarl.run.storage import StorageError

T = TypeVar("T")

# Requests of one batch in flight at once (reads of pointers, uploads of an attempt's files).
CONCURRENCY = 64
# A file of twice this size or more is uploaded in parts of this size, at once (S3 takes parts of
# 5 MiB and more); a smaller one in one request.
PART_SIZE = 8 << 20


class Refused(Exception):
    """A conditional write whose condition did not hold: nothing was written."""


class Unanswered(OSError):
    """A request sent whose answer never came: it may or may not have taken effect."""


@dataclass(frozen=True)
class Entry:
    key: str
    size: int
    modified: float  # seconds since the epoch


@dataclass(frozen=True)
class Upload:
    """A multipart upload begun and neither completed nor aborted."""

    key: str
    upload_id: str
    initiated: float


class Store(Protocol):
    url: str  # scheme://bucket/prefix, no trailing "/"

    def get(self, key: str) -> tuple[bytes, str] | None:
        """The object's bytes and ETag; None when there is none."""

    def get_many(self, keys: Sequence[str]) -> list[tuple[bytes, str] | None]: ...

    def head(self, key: str) -> str | None:
        """The object's ETag; None when there is none."""

    def read_range(self, key: str, start: int, length: int) -> tuple[bytes, int] | None:
        """Up to LENGTH bytes from START (negative: from the end) and the object's size."""

    def put(self, key: str, data: bytes, *, if_match: str | None = None, if_absent: bool = False) -> str:
        """Writes the object; returns its new ETag. Raises Refused when a condition fails."""

    def upload(self, pairs: Sequence[tuple[str, str]]) -> None:
        """Uploads local files to keys, (path, key) pairs, at once."""

    def download(self, key: str, path: str) -> None: ...

    def listing(self, prefix: str) -> list[Entry]:
        """Every object whose key starts with PREFIX."""

    def delete(self, keys: Sequence[str]) -> None: ...

    def uploads(self, prefix: str) -> list[Upload]: ...

    def abort(self, upload: Upload) -> None: ...


# --- in this process ------------------------------------------------------------------------------

class MemoryStore:
    """A store in this process's memory: every operation is atomic under one lock, ETags are
    never reused. For tests, and for trying quarl's storage without a server."""

    _named: dict[str, MemoryStore] = {}
    _naming = threading.Lock()

    def __init__(self, url: str = "memory://store") -> None:
        self.url = url.rstrip("/")
        self.objects: dict[str, tuple[bytes, str, float]] = {}
        self.pending: list[Upload] = []
        self._lock = threading.Lock()
        self._tags = itertools.count(1)

    @classmethod
    def named(cls, url: str) -> MemoryStore:
        with cls._naming:
            url = url.rstrip("/")
            store = cls._named.get(url)
            if store is None:
                store = cls._named[url] = cls(url)
            return store

    @classmethod
    def register(cls, store: MemoryStore) -> MemoryStore:
        """Makes STORE the one that its URL names in this process."""
        with cls._naming:
            cls._named[store.url] = store
        return store

    def get(self, key: str) -> tuple[bytes, str] | None:
        with self._lock:
            found = self.objects.get(key)
        return None if found is None else (found[0], found[1])

    def get_many(self, keys: Sequence[str]) -> list[tuple[bytes, str] | None]:
        return [self.get(key) for key in keys]

    def head(self, key: str) -> str | None:
        found = self.get(key)
        return None if found is None else found[1]

    def read_range(self, key: str, start: int, length: int) -> tuple[bytes, int] | None:
        found = self.get(key)
        if found is None:
            return None
        data = found[0]
        begin = max(0, len(data) + start) if start < 0 else start
        return data[begin:begin + length], len(data)

    def put(self, key: str, data: bytes, *, if_match: str | None = None, if_absent: bool = False) -> str:
        with self._lock:
            current = self.objects.get(key)
            if if_absent and current is not None:
                raise Refused(key)
            if if_match is not None and (current is None or current[1] != if_match):
                raise Refused(key)
            tag = f'"{hashlib.md5(data).hexdigest()}-{next(self._tags)}"'
            self.objects[key] = (bytes(data), tag, time.time())
            return tag

    def upload(self, pairs: Sequence[tuple[str, str]]) -> None:
        for path, key in pairs:
            with open(path, "rb") as file:
                self.put(key, file.read())

    def download(self, key: str, path: str) -> None:
        found = self.get(key)
        if found is None:
            raise FileNotFoundError(errno.ENOENT, "no such object", f"{self.url}/{key}")
        with open(path, "wb") as file:
            file.write(found[0])

    def listing(self, prefix: str) -> list[Entry]:
        with self._lock:
            return [Entry(key, len(data), modified) for key, (data, _, modified) in sorted(self.objects.items())
                    if key.startswith(prefix)]

    def delete(self, keys: Sequence[str]) -> None:
        with self._lock:
            for key in keys:
                self.objects.pop(key, None)

    def uploads(self, prefix: str) -> list[Upload]:
        with self._lock:
            return [upload for upload in self.pending if upload.key.startswith(prefix)]

    def abort(self, upload: Upload) -> None:
        with self._lock:
            self.pending = [u for u in self.pending if u != upload]


# --- S3 ---------------------------------------------------------------------------------------------

def _code(error: BaseException) -> str | None:
    """The S3 error code behind an error that s3fs translated (or botocore's own)."""
    for candidate in (error, error.__cause__, error.__context__):
        response = getattr(candidate, "response", None)
        if isinstance(response, dict):
            code = response.get("Error", {}).get("Code")
            return str(code) if code is not None else None
    return None


_REFUSED = frozenset({"PreconditionFailed", "ConditionalRequestConflict", "412"})
_UNANSWERED = ("EndpointConnectionError", "ConnectTimeoutError", "ReadTimeoutError", "ConnectionClosedError",
               "ClientConnectorError", "ServerDisconnectedError", "ClientOSError", "ServerTimeoutError")


class S3Store:
    """An S3 bucket (or a prefix in it) through s3fs."""

    def __init__(self, url: str) -> None:
        try:
            import s3fs  # type: ignore[import-untyped, import-not-found, unused-ignore]
        except ImportError as error:
            raise StorageError(f"an output folder on S3 ({url}) needs s3fs ({error}); install it with "
                               "quarl's extra: pip install 'quarl[s3]'") from None
        self.url = url.rstrip("/")
        bucket, _, prefix = self.url[len("s3://"):].partition("/")
        self.bucket, self.prefix = bucket, prefix.strip("/")
        # A file system of our own: the instance that s3fs shares keeps listings in a cache,
        # which must never decide what is published.
        self.fs = s3fs.S3FileSystem(skip_instance_cache=True, use_listings_cache=False,
                                    session=_prepared[0] if _prepared else None)

    def _key(self, key: str) -> str:
        return f"{self.prefix}/{key}" if self.prefix else key

    def _relative(self, key: str) -> str:
        return key[len(self.prefix) + 1:] if self.prefix else key

    def _run(self, coroutine: Any) -> Any:
        from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]

        return sync(self.fs.loop, lambda: coroutine)

    async def _call(self, method: str, **kwargs: Any) -> Any:
        try:
            return await self.fs._call_s3(method, Bucket=self.bucket, **kwargs)
        except BaseException as error:
            raise self._translated(error) from None

    def _translated(self, error: BaseException) -> BaseException:
        code = _code(error)
        name = type(error).__name__
        where = self.url
        if code in _REFUSED or (isinstance(error, FileExistsError) and code is None):
            return Refused(str(error))
        if name == "NoCredentialsError" or code in ("InvalidAccessKeyId", "SignatureDoesNotMatch"):
            return StorageError(f"no credentials for {where} that S3 accepts: set AWS_ACCESS_KEY_ID and "
                                "AWS_SECRET_ACCESS_KEY (or AWS_PROFILE) in the environment")
        if code == "NoSuchBucket":
            return StorageError(f"no such bucket: {self.bucket} ({where})")
        if code in ("AccessDenied", "AllAccessDisabled") or isinstance(error, PermissionError):
            return StorageError(f"access denied to {where}: {error}")
        if code in ("NotImplemented", "501"):
            return StorageError(f"{where} does not implement a request quarl needs: {error}")
        if name in _UNANSWERED or isinstance(error, (asyncio.TimeoutError, TimeoutError, ConnectionError)):
            return Unanswered(errno.ETIMEDOUT, f"no answer from {where}: {error}")
        if isinstance(error, OSError):
            return error
        if isinstance(error, Exception):
            return OSError(errno.EIO, f"{where}: {name}: {error}")
        return error

    async def _get(self, key: str) -> tuple[bytes, str] | None:
        try:
            answer = await self._call("get_object", Key=self._key(key))
        except FileNotFoundError:
            return None
        async with answer["Body"] as body:
            data = await body.read()
        return data, answer["ETag"]

    async def _gathered(self, calls: Iterable[Callable[[], Any]]) -> list[Any]:
        limit = asyncio.Semaphore(CONCURRENCY)

        async def one(call: Callable[[], Any]) -> Any:
            async with limit:
                return await call()

        return list(await asyncio.gather(*(one(call) for call in calls)))

    def get(self, key: str) -> tuple[bytes, str] | None:
        found: tuple[bytes, str] | None = self._run(self._get(key))
        return found

    def get_many(self, keys: Sequence[str]) -> list[tuple[bytes, str] | None]:
        def reading(key: str) -> Callable[[], Any]:
            return lambda: self._get(key)

        found: list[tuple[bytes, str] | None] = self._run(self._gathered([reading(key) for key in keys]))
        return found

    def head(self, key: str) -> str | None:
        async def head() -> str | None:
            try:
                answer = await self._call("head_object", Key=self._key(key))
            except FileNotFoundError:
                return None
            return str(answer["ETag"])

        found: str | None = self._run(head())
        return found

    def read_range(self, key: str, start: int, length: int) -> tuple[bytes, int] | None:
        async def read() -> tuple[bytes, int] | None:
            wanted = f"bytes={start}" if start < 0 else f"bytes={start}-{start + length - 1}"
            try:
                answer = await self._call("get_object", Key=self._key(key), Range=wanted)
            except FileNotFoundError:
                return None
            except OSError as error:
                if "InvalidRange" in str(error) or _code(error) == "InvalidRange":
                    return b"", 0
                raise
            async with answer["Body"] as body:
                data = await body.read()
            total = answer.get("ContentRange", "").rpartition("/")[2]
            return data[:length], int(total) if total.isdigit() else len(data)

        found: tuple[bytes, int] | None = self._run(read())
        return found

    def put(self, key: str, data: bytes, *, if_match: str | None = None, if_absent: bool = False) -> str:
        conditions: dict[str, str] = {}
        if if_match is not None:
            conditions["IfMatch"] = if_match
        if if_absent:
            conditions["IfNoneMatch"] = "*"
        answer = self._run(self._call("put_object", Key=self._key(key), Body=data, **conditions))
        return str(answer["ETag"])

    def upload(self, pairs: Sequence[tuple[str, str]]) -> None:
        async def one(path: str, key: str) -> None:
            try:
                await self.fs._put_file(path, f"{self.bucket}/{self._key(key)}", chunksize=PART_SIZE)
            except BaseException as error:
                raise self._translated(error) from None

        def sending(path: str, key: str) -> Callable[[], Any]:
            return lambda: one(path, key)

        self._run(self._gathered([sending(path, key) for path, key in pairs]))

    def download(self, key: str, path: str) -> None:
        async def get() -> None:
            try:
                await self.fs._get_file(f"{self.bucket}/{self._key(key)}", path)
            except BaseException as error:
                raise self._translated(error) from None

        self._run(get())

    def listing(self, prefix: str) -> list[Entry]:
        async def listed() -> list[Entry]:
            entries: list[Entry] = []
            token: dict[str, str] = {}
            while True:
                answer = await self._call("list_objects_v2", Prefix=self._key(prefix), **token)
                entries += [Entry(self._relative(item["Key"]), int(item["Size"]), item["LastModified"].timestamp())
                            for item in answer.get("Contents", [])]
                if not answer.get("IsTruncated"):
                    return entries
                token = {"ContinuationToken": answer["NextContinuationToken"]}

        found: list[Entry] = self._run(listed())
        return found

    def delete(self, keys: Sequence[str]) -> None:
        async def deleted() -> None:
            for start in range(0, len(keys), 1000):
                batch = [{"Key": self._key(key)} for key in keys[start:start + 1000]]
                answer = await self._call("delete_objects", Delete={"Objects": batch, "Quiet": True})
                failed = answer.get("Errors") or []
                if failed:
                    first = failed[0]
                    raise OSError(errno.EIO, f"{self.url}/{self._relative(first.get('Key', ''))}: "
                                  f"{first.get('Code')}: {first.get('Message')}")

        self._run(deleted())

    def uploads(self, prefix: str) -> list[Upload]:
        async def listed() -> list[Upload]:
            found: list[Upload] = []
            marker: dict[str, str] = {}
            while True:
                answer = await self._call("list_multipart_uploads", Prefix=self._key(prefix), **marker)
                found += [Upload(self._relative(item["Key"]), item["UploadId"], item["Initiated"].timestamp())
                          for item in answer.get("Uploads", []) or []]
                if not answer.get("IsTruncated"):
                    return found
                marker = {"KeyMarker": answer["NextKeyMarker"], "UploadIdMarker": answer["NextUploadIdMarker"]}

        found: list[Upload] = self._run(listed())
        return found

    def abort(self, upload: Upload) -> None:
        self._run(self._call("abort_multipart_upload", Key=self._key(upload.key), UploadId=upload.upload_id))


_prepared: list[Any] = []


def prepare() -> None:
    """Reads botocore's descriptions of S3 (some 100 ms of JSON and of looking for files) into a
    session before any client exists, once: a warm server does it before it forks its runs,
    whose clients then start from it. The session holds no thread, socket or event loop yet,
    which makes forking it safe."""
    if _prepared:
        return
    try:
        import aiobotocore.session  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        return
    session = aiobotocore.session.AioSession()
    loader = session.get_component("data_loader")
    loader.list_available_services("service-2")
    for kind in ("service-2", "endpoint-rule-set-1", "paginators-1"):
        try:
            loader.load_service_model("s3", kind)
        except Exception:  # a description this botocore does not have: read when needed
            pass
    for name in ("endpoints", "partitions", "sdk-default-configuration", "_retry"):
        try:
            loader.load_data(name)
        except Exception:
            pass
    _prepared.append(session)


def open_store(url: str, shown: str | None = None) -> Store:
    """The store at URL (scheme://BUCKET); SHOWN is what messages call it."""
    scheme = url.partition("://")[0].lower()
    if scheme == "s3":
        bucket = url[len("s3://"):].partition("/")[0]
        if not bucket:
            raise StorageError(f"{url} names no bucket: write s3://BUCKET or s3://BUCKET/PREFIX")
        return S3Store(url)
    if scheme == "memory":
        return MemoryStore.named(url)
    raise StorageError(f"{shown or url}: quarl publishes a run with a conditional write (If-Match, If-None-Match), "
                       f"and has been tested with S3's only; {scheme}:// is not supported yet")
