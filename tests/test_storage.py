"""The storage of runs: one table of cases run against the local folder and the object store (in
memory, and on moto's S3 server), and the races of the object store's commit played out step by
step on a store in this process."""

import json
import os
import re
import socket

import pytest

from conftest import needs_s3
from quarl import contract
from quarl.run.executors.base import Job
from quarl.run.storage import StorageError
from quarl.run.storage.local import LocalStorage
from quarl.run.storage.objects import ConflictError, Lease, ObjectStorage
from quarl.run.storage.store import MemoryStore, Refused, Unanswered
from quarl.run.storage.transfer import upload_attempt


def make(kind, tmp_path, request):
    if kind == "local":
        return LocalStorage(str(tmp_path / "out"))
    if kind == "memory":
        return ObjectStorage("memory://t/out", MemoryStore.register(MemoryStore("memory://t")),
                             local=str(tmp_path / "local"))
    s3 = request.getfixturevalue("s3")
    return ObjectStorage(s3.url(), local=str(tmp_path / "local"))


def attempt(storage, attempt_id, value, partition=(("day", '"d1"'),)):
    """What a run's process does: its value and record in its folder, uploaded where it is asked."""
    place = storage.place("m.a", partition)
    request = contract.Request(
        attempt=attempt_id, asset="m.a", module="m", function="a", folder=place.attempt(attempt_id),
        partition={"day": "d1"}, fingerprint="f" + attempt_id, consumed=[], serializer=None, inputs={},
        upload=storage.upload_to(place, attempt_id))
    job = Job(run=0, request=request, published=place.published, failed=place.failed)
    storage.prepare(job)
    with open(os.path.join(job.attempt, "value.json"), "w") as file:
        json.dump(value, file)
    with open(os.path.join(job.attempt, "stderr.log"), "w") as file:
        file.write(f"attempt {attempt_id}\n")
    contract.write_run_record(job.attempt, contract.success_record(
        request, value_file="value.json", artifact_format="json", serializer=None, result_type="int"))
    if request.upload is not None:
        upload_attempt(job.attempt, request.upload)
    return job, place


def publish(storage, job):
    record = storage.attempt_record(job)
    assert (record.attempt, record.ok, storage.value_written(job, record)) == (job.attempt_id, True, True)
    storage.write_decision(job, contract.decision_record(job.attempt_id, "succeeded", 0.0, 0.0, 0, None))
    return storage.publish([job])


def published(storage, place):
    """The published run as a reader finds it: its attempt, fingerprint and value."""
    found = storage.published_run(place)
    if found is None:
        return None
    record, value = found
    if "://" in value.path:
        from quarl.run.storage.transfer import fetch

        path = fetch(value.path, str(storage.scratch) + "-read")
    else:
        path = value.path
    with open(path) as file:
        return record.attempt, record.fingerprint, json.load(file)


def fresh(storage, kind, tmp_path):
    """Another reader of the same output, which has read nothing yet."""
    if kind == "local":
        return LocalStorage(storage.out)
    return ObjectStorage(storage.out, storage.store, local=str(tmp_path / "elsewhere"))


def first(storage, kind, tmp_path):
    job, place = attempt(storage, "aaaaaaaaaaa1", 1)
    assert publish(storage, job) == [None]
    return published(fresh(storage, kind, tmp_path), place)


def again(storage, kind, tmp_path):
    job, place = attempt(storage, "aaaaaaaaaaa1", 1)
    publish(storage, job)
    job, place = attempt(storage, "aaaaaaaaaaa2", 2)
    assert publish(storage, job) == [None]
    return published(storage, place), published(fresh(storage, kind, tmp_path), place)


def failure_keeps(storage, kind, tmp_path):
    job, place = attempt(storage, "aaaaaaaaaaa1", 1)
    publish(storage, job)
    failed, _ = attempt(storage, "aaaaaaaaaaa3", 3)
    folder = storage.keep_failed(failed)
    return (published(fresh(storage, kind, tmp_path), place), os.path.exists(failed.attempt),
            folder.rpartition("/")[2] in ("aaaaaaaaaaa3", ".day=d1.failed"))


def discarded(storage, kind, tmp_path):
    job, place = attempt(storage, "aaaaaaaaaaa4", 4)
    storage.discard(job)
    return os.path.exists(job.attempt), published(storage, place)


def two_holders(storage, kind, tmp_path):
    if kind == "local":
        os.makedirs(storage.out)
    with storage.locked():
        with pytest.raises(StorageError) as raised:
            with fresh(storage, kind, tmp_path).locked():
                pass
    with fresh(storage, kind, tmp_path).locked():  # released
        pass
    return re.sub(r"ends in \d+ s", "ends in N s", str(raised.value).replace(storage.shown, "OUT").replace(
        socket.gethostname(), "HOST").replace(str(os.getpid()), "PID"))


def history_elsewhere(storage, kind, tmp_path):
    if kind == "local":
        os.makedirs(storage.out)
    with storage.locked(), storage.history() as history:
        history.finish(history.begin("quarl run m"), 0)
    other = fresh(storage, kind, tmp_path).read_history()
    try:
        return [(i.command, i.exit_status) for i in other.invocations(5)]
    finally:
        other.close()


CASES = [
    (first, ("aaaaaaaaaaa1", "faaaaaaaaaaa1", 1)),
    (again, (("aaaaaaaaaaa2", "faaaaaaaaaaa2", 2), ("aaaaaaaaaaa2", "faaaaaaaaaaa2", 2))),
    (failure_keeps, (("aaaaaaaaaaa1", "faaaaaaaaaaa1", 1), False, True)),
    (discarded, (False, None)),
    (history_elsewhere, [("quarl run m", 0)]),
]


@pytest.mark.parametrize("kind", ["local", "memory", pytest.param("s3", marks=needs_s3)])
@pytest.mark.parametrize("case, expected", CASES, ids=[case.__name__ for case, _ in CASES])
def test_the_storage_contract(kind, case, expected, tmp_path, request):
    storage = make(kind, tmp_path, request)
    try:
        assert case(storage, kind, tmp_path) == expected
    finally:
        storage.close()


@pytest.mark.parametrize("kind, expected", [
    ("local", "another quarl run is using OUT"),
    ("memory", "another quarl run is using OUT (on HOST, pid PID; its lease ends in N s unless renewed)"),
])
def test_one_holder_at_a_time(kind, expected, tmp_path, request):
    assert two_holders(make(kind, tmp_path, request), kind, tmp_path) == expected


# --- the commit's races, step by step ---------------------------------------------------------------

class Flaky(MemoryStore):
    """A store whose next conditional write of a pointer has its answer lost: written, or not."""

    def __init__(self):
        super().__init__("memory://flaky")
        self.lose = None  # "after": written, then no answer; "before": no answer, not written

    def put(self, key, data, *, if_match=None, if_absent=False):
        if self.lose is not None and key.endswith("PUBLISHED.json"):
            lose, self.lose = self.lose, None
            if lose == "after":
                super().put(key, data, if_match=if_match, if_absent=if_absent)
            raise Unanswered(110, "no answer")
        return super().put(key, data, if_match=if_match, if_absent=if_absent)


def writers(tmp_path):
    store = MemoryStore.register(Flaky())
    one = ObjectStorage("memory://flaky/out", store, local=str(tmp_path / "one"))
    two = ObjectStorage("memory://flaky/out", store, local=str(tmp_path / "two"))
    return store, one, two


POINTER = "memory://flaky/out/m.a/day=d1/PUBLISHED.json"


@pytest.mark.parametrize("steps, expected", [
    # Each writer reads the pointer (absent), then each commits: the second commit is refused.
    (["one reads", "two reads", "two 2", "one 1"],
     ("one 1", f"the pointer {POINTER} was changed by another writer since this quarl run read it "
               "(it names attempt 000000000002): nothing was overwritten", "000000000002")),
    # A stale compare-and-swap: one read the pointer of its own commit, two replaced it since.
    (["one 1", "two reads", "two 2", "one 3"],
     ("one 3", f"the pointer {POINTER} was changed by another writer since this quarl run read it "
               "(it names attempt 000000000002): nothing was overwritten", "000000000002")),
    # The commit happened and its answer was lost: read back, it names this attempt.
    (["lose after", "one 1"], (None, None, "000000000001")),
    (["one 1", "lose after", "one 2"], (None, None, "000000000002")),
    # Sent and never written: nothing to confirm, and the error says so.
    (["lose before", "one 1"], ("one 1", "[Errno 110] no answer", None)),
])
def test_a_commit_is_refused_or_confirmed(steps, expected, tmp_path):
    store, one, two = writers(tmp_path)
    names = {"one": one, "two": two}
    refused = None
    for step in steps:
        who, what = step.split()
        if who == "lose":
            store.lose = what
        elif what == "reads":
            names[who].read_ahead([names[who].place("m.a", (("day", '"d1"'),))])
        else:
            job, _ = attempt(names[who], f"{int(what):012d}", int(what))
            error = publish(names[who], job)[0]
            if error is not None:
                assert refused is None
                refused = (step, str(error))
                assert isinstance(error, (ConflictError, Unanswered))
    now = ObjectStorage("memory://flaky/out", store, local=str(tmp_path / "reader"))
    found = published(now, now.place("m.a", (("day", '"d1"'),)))
    assert (*(refused or (None, None)), found[0] if found else None) == expected


def test_the_lease_is_taken_over_only_once_expired_and_a_lost_lease_stops_commits(tmp_path):
    store = MemoryStore()
    lost = []
    first = Lease(store, "out/_quarl/lease.json", "memory://t/out", 60.0, lost.append)
    first.acquire()
    second = Lease(store, "out/_quarl/lease.json", "memory://t/out", 60.0, lost.append)
    with pytest.raises(StorageError):
        second.acquire()
    # The first holder dies without releasing it; once it has expired, it is taken over.
    first._stop.set()
    data, etag = store.get("out/_quarl/lease.json")
    store.put("out/_quarl/lease.json", data.replace(b'"expires":', b'"expires":1,"was":'), if_match=etag)
    second.acquire()
    with pytest.raises(Refused):  # the first one's renewal
        store.put("out/_quarl/lease.json", b"{}", if_match=first.etag)
    first._lose("another quarl run took it over")
    with pytest.raises(StorageError) as raised:
        first.check()
    assert (str(raised.value), lost) == (
        "the lease on memory://t/out was lost (another quarl run took it over): no more runs are published",
        ["another quarl run took it over"])
    # A quarl run whose lease is lost commits nothing more.
    storage = ObjectStorage("memory://lease/out", MemoryStore.register(MemoryStore("memory://lease")),
                            local=str(tmp_path))
    storage.lease = first
    job, _ = attempt(storage, "000000000001", 1)
    assert [str(error) for error in publish(storage, job)] == [
        "the lease on memory://t/out was lost (another quarl run took it over): no more runs are published"]
    assert storage.published_run(storage.place("m.a", (("day", '"d1"'),))) is None
    second.release()
    first.release()


def test_a_store_that_ignores_conditions_is_refused(tmp_path):
    class Careless(MemoryStore):
        def put(self, key, data, *, if_match=None, if_absent=False):
            return super().put(key, data)

    storage = ObjectStorage("memory://careless/out", Careless("memory://careless"), local=str(tmp_path))
    with pytest.raises(StorageError) as raised:
        with storage.locked():
            pass
    assert str(raised.value) == ("memory://careless/out does not honour conditional writes (a second "
                                 "If-None-Match write of one object succeeded): quarl cannot publish runs "
                                 "there safely")
