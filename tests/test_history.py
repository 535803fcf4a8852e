"""The history under a killed writer and a full disk: real SQLite files, a real SIGKILL in the
middle of a commit, a real full tmpfs."""

import contextlib
import json
import os
import subprocess
import sys

import pytest

from conftest import sanitizer_env
from quarl.run.history import FILE_NAME, AttemptRecord, History, HistoryDiskFull
from quarl.run.status import Status


def row(n, error=None):
    return AttemptRecord(asset=f"m.a{n}", partition="", label="-", plan_index=n, fingerprint="f",
                         status=Status.SUCCEEDED, started=1.0, duration=0.5, exit_status=0,
                         error=error, result_type="int", folder=None)


def write_history(out, count=400):
    history = History.open(str(out), create=True)
    history.add(history.begin("quarl run m"), [row(n) for n in range(count)])
    history.close()


# Rewrites every row with a small page cache, so that SQLite writes pages into the database
# before its commit, and is killed there: the database is half rewritten, the journal is hot.
KILLED_COMMIT = """
import os, signal, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size = 1")
db.execute("BEGIN IMMEDIATE")
db.execute("UPDATE attempt SET status = 'failed', error = ?", ("x" * 2000,))
os.kill(os.getpid(), signal.SIGKILL)
"""


def kill_in_commit(out):
    done = subprocess.run([sys.executable, "-c", KILLED_COMMIT, str(out / FILE_NAME)])
    assert done.returncode == -9
    assert os.path.getsize(out / f"{FILE_NAME}-journal") > 0


def quarl_status(out):
    done = subprocess.run([sys.executable, "-m", "quarl", "status", "--json", "--out", str(out)],
                          capture_output=True, text=True, env={**os.environ, **sanitizer_env()})
    assert (done.returncode, done.stderr) == (0, "")
    return {(r["asset"], r["status"], r["error"]) for r in json.loads(done.stdout)["runs"]}


EXPECTED = {(f"m.a{n}", "succeeded", None) for n in range(400)}


def test_a_commit_killed_halfway_is_rolled_back_by_quarl_status(tmp_path):
    write_history(tmp_path)
    kill_in_commit(tmp_path)
    assert quarl_status(tmp_path) == EXPECTED
    assert not (tmp_path / f"{FILE_NAME}-journal").exists()


@contextlib.contextmanager
def tmpfs(path, size):
    path.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                                            str(path)], capture_output=True).returncode != 0:
        pytest.skip("mounting a tmpfs needs root")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", str(path)], check=True)


def test_where_the_journal_cannot_be_rolled_back_a_recovered_copy_is_read(tmp_path):
    with tmpfs(tmp_path / "ro", "8m") as out:
        write_history(out)
        kill_in_commit(out)
        before = {name: (out / name).read_bytes() for name in os.listdir(out)}
        subprocess.run(["mount", "-o", "remount,ro", str(out)], check=True)
        assert quarl_status(out) == EXPECTED
        assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before


def test_a_broken_history_with_a_journal_is_never_to_be_moved(tmp_path):
    # On a read-only folder, nobody can tell the journal's worth: it stays, and so must the two.
    with tmpfs(tmp_path / "ro", "1m") as out:
        (out / FILE_NAME).write_bytes(b"not a database" * 100)
        (out / f"{FILE_NAME}-journal").write_bytes(b"not a journal either" * 100)
        subprocess.run(["mount", "-o", "remount,ro", str(out)], check=True)
        done = subprocess.run([sys.executable, "-m", "quarl", "status", "--out", str(out)],
                              capture_output=True, text=True, env={**os.environ, **sanitizer_env()})
    history = out / FILE_NAME
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (
        f"quarl status: error: the run history {history} cannot be read (file is not a database). "
        f"Nothing was changed. Its journal {history}-journal lies beside it: keep the two together "
        "where they are, or restore both from a backup.\n")


def test_a_full_disk_is_said_to_be_full_and_the_history_keeps_what_it_had(tmp_path):
    with tmpfs(tmp_path / "small", "256k") as out:
        write_history(out, count=10)
        filler = os.open(out / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError, match="No space left on device"):
            while True:
                os.write(filler, b"\0" * 4096)
        os.close(filler)
        history = History.open(str(out), create=True)
        with pytest.raises(HistoryDiskFull) as raised:
            history.add(1, [row(n, error="x" * 4000) for n in range(10, 100)])
        assert str(raised.value) == (
            f"the disk is full: the run history {out / FILE_NAME} cannot be written. Free some space "
            "on that disk and run again; the history keeps every attempt recorded before.")
        history.close()
        os.unlink(out / "filler")
        history = History.open(str(out), create=False)
        assert [r.asset for r in history.latest()] == [f"m.a{n}" for n in range(10)]
        history.close()


FILLER = """\
import os
from quarl import asset


@asset()
def filler() -> int:
    # Fills the disk of the output folder but for the pages of this run's value.json, result.json,
    # run.json and attempt.json: the history is the first to find it full, at the last write of
    # the run.
    path, page = os.path.join(os.environ["FILL"], "filler"), os.sysconf("SC_PAGE_SIZE")
    # Unbuffered: a buffered file would try its last page again as it closes, and fail there.
    with open(path, "wb", buffering=0) as file:
        try:
            while True:
                file.write(bytes(page))
        except OSError:
            pass
        file.truncate(os.path.getsize(path) - 4 * page)
    return 1
"""


def test_a_disk_full_at_the_last_write_of_a_run_stops_it_with_its_table(tmp_path):
    (tmp_path / "fill.py").write_text(FILLER)
    with tmpfs(tmp_path / "small", "1m") as out:
        done = subprocess.run([sys.executable, "-m", "quarl", "run", "fill", "--out", "small"], cwd=tmp_path,
                              capture_output=True, text=True, env={**sanitizer_env(), "FILL": str(out)})
        published = json.loads((out / "fill.filler" / "value.json").read_text())
    assert (done.returncode, done.stdout.splitlines()[-1], done.stderr.splitlines()[-1], published) == (
        1, "1 run: 1 succeeded", f"quarl run: stopped: the disk is full: the run history small/{FILE_NAME} "
        "cannot be written. Free some space on that disk and run again; the history keeps every attempt "
        "recorded before.", 1)
