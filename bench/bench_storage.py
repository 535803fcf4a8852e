"""An output on an object store: `quarl run` of one asset of 1,000 trivial partitions, `--jobs 2`,
warm workers, into moto's S3 server on 127.0.0.1 against the same run into a local output folder.

1. Per run: the object store's against the local folder's. Target: at most twice the local
   folder's, plus the store's own round trips of a run, measured here alone (the run's process
   uploads its files, quarl run reads its record, writes its decision and commits its pointer)
   and with the client's start in a fresh process (one per run, when a warm server cannot lend
   a started one).
2. The fully up-to-date second run of the 1,000 partitions (the pointers read at once), as a
   whole: inspection, plan, the lease, 1,000 pointers. Target: at most 2 s.

    python bench/bench_storage.py [--partitions N]

Needs the s3 extra and moto (make install brings both). Not a test: nothing here asserts time.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

PY = sys.executable
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None
MOTO = """\
import logging, sys
from moto.server import ThreadedMotoServer
logging.getLogger("werkzeug").setLevel(logging.ERROR)
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print("%s:%d" % server.get_host_and_port(), flush=True)
sys.stdin.read()
"""


def quarl_run(cwd, env, out, *options):
    start = time.perf_counter()
    done = subprocess.run([PY, "-m", "quarl", "run", "parts", "--jobs", "2", "--out", out, *options], cwd=cwd,
                          env=env, capture_output=True, text=True)
    took = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"quarl run --out {out} failed:\n{done.stderr}")
    return took, done.stdout.splitlines()[-1]


def round_trips(url, folder, rounds=30):
    """The store's own work of one run, alone: what its process uploads, then quarl run's read of
    its record, its decision and its commit; the median of ROUNDS."""
    from quarl import contract
    from quarl.run.executors.base import Job
    from quarl.run.storage.objects import ObjectStorage
    from quarl.run.storage.transfer import upload_attempt

    storage = ObjectStorage(url, local=folder)
    place = storage.place("parts.p", (("i", "0"),))
    times = []
    for n in range(rounds):
        attempt_id = f"{n:012x}"
        request = contract.Request(attempt=attempt_id, asset="parts.p", module="parts", function="p",
                                   folder=place.attempt(attempt_id), partition={"i": 0}, fingerprint="f",
                                   consumed=[], serializer=None, inputs={},
                                   upload=storage.upload_to(place, attempt_id))
        job = Job(run=0, request=request, published=place.published, failed=place.failed)
        os.makedirs(job.attempt)
        for name, text in (("value.json", "0"), ("stdout.log", ""), ("stderr.log", ""),
                           ("result.json", '{"ok":true}')):
            pathlib.Path(job.attempt, name).write_text(text)
        contract.write_run_record(job.attempt, contract.success_record(
            request, value_file="value.json", artifact_format="json", serializer=None, result_type="int"))
        start = time.perf_counter()
        upload_attempt(job.attempt, request.upload)
        storage.attempt_record(job)
        storage.write_decision(job, contract.decision_record(attempt_id, "succeeded", 0.0, 0.0, 0, None))
        assert storage.publish([job]) == [None]
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def client_start(env):
    """A fresh process's first request against the store, beyond importing the libraries."""
    code = ("import time, s3fs; from quarl.run.storage.transfer import store_of; start = time.perf_counter(); "
            "store_of('s3://bench').get('nothing'); print(time.perf_counter() - start)")
    times = [float(subprocess.run([PY, "-c", code], env=env, capture_output=True, text=True, check=True).stdout)
             for _ in range(5)]
    return statistics.median(times)


def reads(url, count):
    """COUNT pointers read at once, as the up-to-date check reads them: the time, and this
    process's CPU time in it (the client's share; moto's is the rest)."""
    import resource

    from quarl.run.storage.objects import ObjectStorage

    storage = ObjectStorage(url, local=tempfile.gettempdir())
    keys = [f"p/i={i}" for i in range(count)]
    storage.read_pointers(keys[:1])
    before, start = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    storage.read_pointers(keys)
    took, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF)
    return took, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--partitions", type=int, default=1000)
    count = parser.parse_args().partitions
    import boto3

    server = subprocess.Popen([PY, "-c", MOTO], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    root = tempfile.mkdtemp(prefix="quarl-bench-storage-", dir=SCRATCH)
    try:
        address = server.stdout.readline().strip()
        env = {**os.environ, "AWS_ENDPOINT_URL": f"http://{address}", "AWS_ACCESS_KEY_ID": "bench",
               "AWS_SECRET_ACCESS_KEY": "bench", "AWS_DEFAULT_REGION": "us-east-1",
               "XDG_CACHE_HOME": os.path.join(root, "cache")}
        os.environ.update({k: v for k, v in env.items() if k.startswith("AWS_")})
        boto3.client("s3").create_bucket(Bucket="bench")
        pathlib.Path(root, "parts.py").write_text(
            "from quarl import asset, partitions\n\n\n"
            f"@asset(partitions={{'i': partitions(list(range({count})))}})\n"
            "def p(i: int) -> int:\n    return i\n")
        local, _ = quarl_run(root, env, os.path.join(root, "quarl-out"))
        stored, line = quarl_run(root, env, "s3://bench/out")
        assert line == f"{count} runs: {count} succeeded", line
        fresh = round_trips("s3://bench/trips", os.path.join(root, "trips"))
        started = client_start(env)
        print(f"{count} partitions, --jobs 2, warm workers; moto on {address}")
        print(f"  local folder, per run: {local / count * 1000:.2f} ms; object store, per run: "
              f"{stored / count * 1000:.2f} ms; the store's round trips of a run alone: "
              f"{fresh * 1000:.2f} ms; a client's first request in a fresh process: {started * 1000:.1f} ms")
        report("object store per run / (2 x local per run + its round trips)",
               (stored / count) / (2 * local / count + fresh), 1.0)
        again, line = quarl_run(root, env, "s3://bench/out")
        assert line == f"{count} runs: {count} up to date", line
        report(f"up-to-date run of {count} partitions on the store (s)", again, 2.0)
        took, cpu = reads("s3://bench/out", count)
        print(f"  of which reading {count} pointers at once: {took:.2f} s ({cpu:.2f} s of it this client's CPU)")
        local_again, _ = quarl_run(root, env, os.path.join(root, "quarl-out"))
        print(f"  (the same up-to-date run into the local folder: {local_again:.2f} s)")
    finally:
        server.stdin.close()
        server.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
