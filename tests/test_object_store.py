"""quarl run with --out s3://... against moto's S3 server on 127.0.0.1, end to end: the example
project, another machine's status and UI, the lease, a worker killed while it uploads, readers
during republications, a Dask cluster whose workers share no folder; and, where its environment
names one, a real bucket."""

import contextlib
import hashlib
import json
import os
import pathlib
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

from conftest import needs_s3, sanitizer_env, slow_e2e

pytestmark = [needs_s3, slow_e2e]
EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"


def quarl(cwd, env, *args, wait=True):
    start = subprocess.run if wait else subprocess.Popen
    return start([sys.executable, "-m", "quarl", *args], cwd=cwd, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE, text=True, env={**os.environ, **sanitizer_env(), **env})


def pointer(s3, key):
    import boto3

    return json.loads(boto3.client("s3").get_object(Bucket=s3.bucket, Key=key)["Body"].read())


def test_the_example_project_and_another_machines_status_and_ui(s3, tmp_path):
    shutil.copytree(EXAMPLES / "shop", tmp_path / "shop")
    url = s3.url()
    done = quarl(tmp_path, s3.env, "run", "shop", "--out", url, "--jobs", "2")
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "14 runs: 14 succeeded"), done.stderr
    again = quarl(tmp_path, s3.env, "run", "shop", "--out", url)
    assert (again.returncode, again.stdout.splitlines()[-1]) == (0, "14 runs: 14 up to date"), again.stderr
    # Another machine: nothing of its own but the environment's credentials.
    elsewhere = {**s3.env, "XDG_CACHE_HOME": str(tmp_path / "empty")}
    status = quarl(tmp_path, elsewhere, "status", "--out", url)
    assert (status.returncode, status.stdout.splitlines()[-1]) == (
        0, "14 runs in the history, last attempts: 14 succeeded"), status.stderr
    published = pointer(s3, "out/shop.regions.region_line/region=us/PUBLISHED.json")
    ui = quarl(tmp_path, elsewhere, "ui", "shop", "--out", url, "--port", "0", wait=False)
    try:
        address = re.search(r"at (http://\S+)", ui.stdout.readline())[1]
        with urllib.request.urlopen(f"{address}/api/run?asset=shop.regions.region_line&partition=region%3Dus") as page:
            run = json.load(page)
        folder = f"shop.regions.region_line/region=us/attempts/{published['attempt']}"
        with urllib.request.urlopen(f"{address}/out/{folder.replace('=', '%3D')}/value.json") as page:
            value = page.read()
    finally:
        ui.send_signal(signal.SIGINT)
        ui.communicate(timeout=30)
    assert (run["status"], run["published"]["attempt"], run["published"]["folder"], run["value"]["text"], value) == (
        "succeeded", published["attempt"], folder, '"us: 9 units"', b'"us: 9 units"')
    assert published["value_sha256"] == hashlib.sha256(b'"us: 9 units"').hexdigest()


GATE = """\
import os, pathlib, time
from quarl import asset


@asset()
def gate() -> int:
    pathlib.Path("started").write_text(str(os.getpid()))
    while not pathlib.Path("open").exists():
        time.sleep(0.05)
    return 1
"""


def wait_for(path, process):
    deadline = time.monotonic() + 60
    while not path.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert path.exists(), process.communicate()


def test_a_second_quarl_run_is_refused_by_the_lease(s3, tmp_path):
    (tmp_path / "gates.py").write_text(GATE)
    first = quarl(tmp_path, s3.env, "run", "gates", "--out", s3.url(), wait=False)
    wait_for(tmp_path / "started", first)
    second = quarl(tmp_path, s3.env, "run", "gates", "--out", s3.url())
    (tmp_path / "open").touch()
    out, err = first.communicate(timeout=60)
    assert (first.returncode, out.splitlines()[-1]) == (0, "1 run: 1 succeeded"), err
    assert second.returncode == 2
    assert re.fullmatch(rf"quarl run: error: another quarl run is using {s3.url()} \(on {re.escape(socket.gethostname())}, "
                        rf"pid {first.pid}; its lease ends in \d+ s unless renewed\)\n", second.stderr), second.stderr


BIG = """\
import os, pathlib
from quarl import asset


@asset()
def big() -> str:
    pathlib.Path("pid").write_text(str(os.getpid()))
    return "x" * 24_000_000 if pathlib.Path("big").exists() else "small"
"""


def test_a_worker_killed_while_it_uploads_leaves_the_pointer_and_prune_aborts_its_upload(s3, tmp_path):
    import boto3

    client = boto3.client("s3")
    (tmp_path / "bigs.py").write_text(BIG)
    assert quarl(tmp_path, s3.env, "run", "bigs", "--out", s3.url()).returncode == 0
    before = pointer(s3, "out/bigs.big/PUBLISHED.json")
    (tmp_path / "big").touch()
    (tmp_path / "pid").unlink()
    running = quarl(tmp_path, s3.env, "run", "bigs", "--out", s3.url(), "--force", "--isolation", "fresh",
                    wait=False)
    deadline = time.monotonic() + 120
    while not client.list_multipart_uploads(Bucket=s3.bucket).get("Uploads"):
        assert time.monotonic() < deadline and running.poll() is None, running.communicate()
        time.sleep(0.01)
    os.killpg(int((tmp_path / "pid").read_text()), signal.SIGKILL)
    out, err = running.communicate(timeout=60)
    assert running.returncode == 1
    assert re.search(r"bigs\.big +- +failed .* the worker was killed by SIGKILL after recording a success", out), out
    assert pointer(s3, "out/bigs.big/PUBLISHED.json") == before
    [upload] = client.list_multipart_uploads(Bucket=s3.bucket)["Uploads"]
    pruned = quarl(tmp_path, s3.env, "prune", "bigs", "--out", s3.url(), "--grace", "0")
    assert pruned.returncode == 0, pruned.stderr
    lines = pruned.stdout.splitlines()
    assert re.fullmatch(rf"aborted the incomplete upload of {s3.url()}/{upload['Key'][4:]}, begun \d+ s ago",
                        lines[0]), lines
    assert lines[1:] == ["", "0 pointers, 0 attempts, 1 incomplete upload removed"]
    assert client.list_multipart_uploads(Bucket=s3.bucket).get("Uploads", []) == []


def test_readers_during_republications_see_only_whole_runs(s3, tmp_path):
    from quarl.run.storage.objects import ATTEMPTS, ObjectStorage
    from test_storage import attempt, publish

    writer = ObjectStorage(s3.url(), local=str(tmp_path / "writer"))
    place = writer.place("m.a", (("day", '"d1"'),))
    stop = threading.Event()
    seen, torn = [], []

    def read():
        reader = ObjectStorage(s3.url(), local=str(tmp_path / "reader"))
        while not stop.is_set():
            document, _ = reader.read_pointers([place.key])[0]
            if document is None:
                continue
            prefix = reader.key(f"{place.key}/{ATTEMPTS}/{document['attempt']}")
            value, _ = reader.store.get(f"{prefix}/value.json")
            record = json.loads(reader.store.get(f"{prefix}/run.json")[0])
            whole = (hashlib.sha256(value).hexdigest() == document["value_sha256"] == record["value_sha256"]
                     and record["attempt"] == document["attempt"] and json.loads(value)["n"] == int(document["attempt"]))
            (seen if whole else torn).append(document["attempt"])
            time.sleep(0.05)  # leaves the server room for the writer

    readers = [threading.Thread(target=read) for _ in range(4)]
    for thread in readers:
        thread.start()
    try:
        for n in range(1, 201):
            job, _ = attempt(writer, f"{n:012d}", {"n": n, "pad": "x" * (n % 7 * 1000)})
            assert publish(writer, job) == [None]
    finally:
        stop.set()
        for thread in readers:
            thread.join()
    assert (torn, len(set(seen)) > 20) == ([], True)


WHERE = """\
import os
from quarl import asset, partitions


@asset(partitions={"n": partitions([1, 2, 3, 4])})
def square(n: int) -> dict:
    return {"n": n * n, "where": os.path.dirname(os.path.abspath(__file__))}


@asset(inputs={"squares": square})
def total(squares: list) -> dict:
    here = os.path.dirname(os.path.abspath(__file__))
    return {"total": sum(part["value"]["n"] for part in squares),
            "where": sorted({part["value"]["where"] for part in squares} | {here})}
"""


@contextlib.contextmanager
def isolated_cluster(scheduler_folder, workers, hidden):
    """A Dask scheduler, and workers each in a mount namespace of its own where the folders HIDDEN
    and every other worker's folder are empty: they share no path with quarl run or each other.
    WORKERS maps names to their folders (their working directory, TMPDIR and PYTHONPATH)."""
    from distributed import Client

    processes = []
    try:
        scheduler_folder.mkdir()
        processes.append(subprocess.Popen(
            [pathlib.Path(sys.executable).parent / "dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
             "--no-dashboard", "--scheduler-file", scheduler_folder / "scheduler.json"], cwd=scheduler_folder,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
        deadline = time.monotonic() + 60
        while not (scheduler_folder / "scheduler.json").exists():
            assert time.monotonic() < deadline
            time.sleep(0.1)
        time.sleep(0.2)
        address = json.loads((scheduler_folder / "scheduler.json").read_text())["address"]
        for name, folder in workers.items():
            others = [str(f) for n, f in workers.items() if n != name]
            mounts = " && ".join(f"mount -t tmpfs none {shlex.quote(str(path))}" for path in [*hidden, *others])
            command = shlex.join([str(pathlib.Path(sys.executable).parent / "dask"), "worker", address,
                                  "--name", name, "--nthreads", "1", "--no-dashboard"])
            with open(folder / "worker.log", "wb") as log:
                processes.append(subprocess.Popen(
                    ["unshare", "-m", "--propagation", "private", "sh", "-c", f"{mounts} && exec {command}"],
                    cwd=folder, env={**os.environ, "TMPDIR": str(folder), "PYTHONPATH": str(folder / "project")},
                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True))
        with Client(address, timeout=60) as client:
            client.wait_for_workers(len(workers), timeout=60)
        yield address
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def test_a_dask_cluster_whose_workers_share_no_folder(s3, tmp_path, tmp_path_factory):
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespaces here")
    workers = {name: tmp_path_factory.mktemp(f"worker-{name}") for name in ("alpha", "beta")}
    for folder in workers.values():
        (folder / "project").mkdir()
        (folder / "project" / "where.py").write_text(WHERE)
    (tmp_path / "project").mkdir()
    (tmp_path / "project" / "where.py").write_text(WHERE)
    with isolated_cluster(tmp_path_factory.mktemp("scheduler") / "dask", workers, [tmp_path]) as address:
        done = quarl(tmp_path / "project", s3.env, "run", "where", "--out", s3.url(), "--executor", "dask",
                     "--scheduler", address)
        assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "5 runs: 5 succeeded"), done.stdout + done.stderr
    total = pointer(s3, "out/where.total/PUBLISHED.json")
    import boto3

    value = json.loads(boto3.client("s3").get_object(
        Bucket=s3.bucket, Key=f"out/where.total/attempts/{total['attempt']}/value.json")["Body"].read())
    assert value["total"] == 30
    assert set(value["where"]) <= {str(folder / "project") for folder in workers.values()}, value


@pytest.mark.skipif(not os.environ.get("QUARL_TEST_S3_URL"),
                    reason="set QUARL_TEST_S3_URL=s3://BUCKET/PREFIX (and its credentials) to run on a real bucket")
def test_the_example_project_on_a_real_bucket(tmp_path):
    url = f"{os.environ['QUARL_TEST_S3_URL'].rstrip('/')}/{os.urandom(6).hex()}"
    shutil.copytree(EXAMPLES / "shop", tmp_path / "shop")
    env = {"XDG_CACHE_HOME": str(tmp_path / "cache")}
    done = quarl(tmp_path, env, "run", "shop", "--out", url)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "14 runs: 14 succeeded"), done.stderr
    again = quarl(tmp_path, env, "run", "shop", "--out", url)
    assert (again.returncode, again.stdout.splitlines()[-1]) == (0, "14 runs: 14 up to date"), again.stderr
    pruned = quarl(tmp_path, env, "prune", "shop", "--out", url)
    assert pruned.stdout == "nothing to prune\n", pruned.stderr
