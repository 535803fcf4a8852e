"""quarl run, status and graph end to end: real inspection and worker processes on the fixture
project tests/fixtures/flow, copied for each test so that tests can edit its functions."""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import FIXTURES, sanitizer_env
from quarl.run.layout import parse_partition_folder

def ended_said(table):
    """A status table with when each run ended (today, or another day) as ENDED."""
    return re.sub(r"(?<=  )(\d{4}-\d\d-\d\d \d\d:\d\d|\d\d:\d\d:\d\d)(?=  |$)", "ENDED", table, flags=re.M)


@pytest.fixture
def project(tmp_path):
    shutil.copytree(FIXTURES / "flow", tmp_path / "proj")
    return tmp_path / "proj"


def quarl(project, *args, **env):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=project, capture_output=True,
                          text=True, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1", **env})


def runs(done):
    """{"asset[partition]": run} from the --json output."""
    document = json.loads(done.stdout)
    return {r["asset"] + (json.dumps(r["partition"], sort_keys=True) if r["partition"] else ""): r
            for r in document["runs"]}


def statuses(done):
    return {name: run["status"] for name, run in runs(done).items()}


def edit(project, module, old, new):
    path = project / "flow" / f"{module}.py"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


def value(project, *parts):
    return json.loads(pathlib.Path(project, "quarl-out", *parts, "value.json").read_text())


CELLS = ['flow.cells.cell{"day": 1, "region": "eu"}', 'flow.cells.cell{"day": 1, "region": "us"}',
         'flow.cells.cell{"day": 2, "region": "eu"}', 'flow.cells.cell{"day": 2, "region": "us"}']
DOWNSTREAM_OF_CELL = ['flow.cells.by_region{"region": "eu"}', 'flow.cells.by_region{"region": "us"}',
                      'flow.cells.pinned{"day": 2, "region": "us"}', "flow.cells.total"]


def test_runs_every_asset_in_order_in_parallel_then_only_what_changed(project, tmp_path):
    (tmp_path / "meet").mkdir()
    first = quarl(project, "run", "flow", "--jobs", "2", "--json", FLOW_MEET=str(tmp_path / "meet"))
    assert (first.returncode, first.stderr.count("succeeded")) == (0, 20), first.stderr
    assert set(statuses(first).values()) == {"succeeded"}
    # Pinned: the one matching upstream run's value; otherwise the matching runs, in plan order.
    assert value(project, "flow.cells.pinned", "day=2,region=us") == 120
    assert value(project, "flow.cells.by_region", "region=eu") == [
        {"partition": {"day": 1, "region": "eu"}, "value": 10},
        {"partition": {"day": 2, "region": "eu"}, "value": 20}]
    assert value(project, "flow.cells.total") == 2
    assert value(project, "flow.cells.blob_size") == 5_000_000
    # Every awkward partition value reaches the function as itself and names its folder reversibly.
    echoes = project / "quarl-out" / "flow.source.echo"
    assert sorted(os.listdir(echoes)) == ["key=%221%22", "key=..", "key=1", "key=a%2Fb", "key=null",
                                          "key=x%2Cy%3Dz", "key=ünï"]
    for folder in echoes.iterdir():
        assert json.loads((folder / "value.json").read_text()) == parse_partition_folder(folder.name)["key"]
    # The module's record stays as it wrote it, in the attempt folder; the run's own names the file.
    record = json.loads((project / "quarl-out/flow.cells.total/result.json").read_text())
    assert re.fullmatch(re.escape(str(project)) + r"/quarl-out/\.flow\.cells\.total\.attempt-[0-9a-f]{12}/value\.json",
                        record["value_path"])
    assert json.loads((project / "quarl-out/flow.cells.total/run.json").read_text())["value_file"] == "value.json"

    second = quarl(project, "run", "flow")
    assert (second.returncode, second.stderr) == (0, "")
    assert second.stdout.splitlines()[:3] == [
        "asset                 partition        status",
        "flow.meet.left        -                up to date",
        "flow.meet.right       -                up to date"]
    assert second.stdout.endswith("\n20 runs: 20 up to date\n")

    edit(project, "cells", "(100 if", "(1000 if")
    third = quarl(project, "run", "flow", "--json")
    assert third.returncode == 0, third.stderr
    changed = {name for name, status in statuses(third).items() if status != "up to date"}
    # The eu cells come out as they were: what consumes only them stays up to date.
    assert changed == {*CELLS, *DOWNSTREAM_OF_CELL} - {'flow.cells.by_region{"region": "eu"}'}
    assert value(project, "flow.cells.pinned", "day=2,region=us") == 1020


def test_a_failure_skips_its_downstream_and_keeps_the_last_good_value(project):
    assert quarl(project, "run", "flow", "--select", "flow.source.numbers").returncode == 0
    edit(project, "source", "return [1, 2, 3, 4]", 'raise ValueError("no numbers today")')
    done = quarl(project, "run", "flow", "--select", "flow.cells.total", "--retries", "1", "--json")
    assert done.returncode == 1
    numbers = runs(done)["flow.source.numbers"]
    failed = project / "quarl-out" / ".flow.source.numbers.failed"
    assert numbers == {"asset": "flow.source.numbers", "partition": None, "status": "failed",
                       "duration": numbers["duration"], "attempts": 2, "result_type": None,
                       "error": "ValueError: no numbers today", "folder": str(failed),
                       "log": str(failed / "stderr.log"), "inputs_unchanged": False}
    assert {name: s for name, s in statuses(done).items() if name != "flow.source.numbers"} == dict.fromkeys(
        [*CELLS, 'flow.cells.by_region{"region": "eu"}', 'flow.cells.by_region{"region": "us"}',
         "flow.cells.total"], "skipped")
    assert value(project, "flow.source.numbers") == [1, 2, 3, 4]
    log = (failed / "stderr.log").read_text()
    assert log.startswith("Traceback (most recent call last):\n")
    assert log.endswith('ValueError: no numbers today\n')
    assert json.loads((failed / "result.json").read_text())["ok"] is False

    status = quarl(project, "status")
    assert status.returncode == 0
    fields = ended_said(status.stdout).splitlines()[1].split()  # fields 3 and 4 are the duration
    assert fields[:3] + fields[5:] == ["flow.source.numbers", "-", "failed", "ENDED", "ValueError:", "no",
                                       "numbers", "today", "quarl-out/.flow.source.numbers.failed/stderr.log"]
    assert status.stdout.endswith("\n8 runs in the history, last attempts: 1 failed, "
                                  "7 skipped (upstream failed)\n")
    # For scripts: --failed exits with 1 when it lists a run; --json says when each ended.
    failed = quarl(project, "status", "--failed", "--json")
    attempts = json.loads(failed.stdout)["runs"]
    assert (failed.returncode, len(attempts)) == (1, 8)
    assert [a["ended"] == a["started"] + (a["duration"] or 0) for a in attempts] == [True] * 8

    # Its last attempt failed: not up to date, though its published value has its fingerprint.
    edit(project, "source", 'raise ValueError("no numbers today")', "return [1, 2, 3, 4]")
    again = quarl(project, "run", "flow", "--select", "flow.source.numbers", "--json")
    assert statuses(again) == {"flow.source.numbers": "succeeded"}


def touch(path):
    os.utime(path, ns=(0, path.stat().st_mtime_ns + 1_000_000))


@pytest.mark.parametrize("edit_value", [lambda path: path.write_text("[5]"), touch, os.unlink])
def test_a_value_edited_by_hand_is_changed_outside_quarl_and_runs_again(project, edit_value):
    assert quarl(project, "run", "flow", "--select", "flow.source.numbers").returncode == 0
    numbers = project / "quarl-out" / "flow.source.numbers"
    edit_value(numbers / "value.json")
    status = quarl(project, "status")
    assert status.stdout.splitlines()[1].split()[:5] == [
        "flow.source.numbers", "-", "changed", "outside", "quarl"]
    assert status.stdout.endswith("\n1 run in the history, last attempts: 1 changed outside quarl\n")
    done = quarl(project, "run", "flow", "--select", "flow.source.numbers", "--json")
    assert statuses(done) == {"flow.source.numbers": "succeeded"}
    assert value(project, "flow.source.numbers") == [1, 2, 3, 4]
    assert json.loads(quarl(project, "status", "--json").stdout)["runs"][0]["status"] == "succeeded"


def test_a_run_json_of_an_older_quarl_without_the_value_stamp_is_taken_at_its_word(project):
    assert quarl(project, "run", "flow", "--select", "flow.source.numbers").returncode == 0
    numbers = project / "quarl-out" / "flow.source.numbers"
    record = json.loads((numbers / "run.json").read_text())
    assert sorted(record) == ["artifact_format", "asset", "attempt", "basis", "consumed", "fingerprint", "ok",
                              "partition", "result_type", "serializer", "value_file", "value_mtime_ns",
                              "value_sha256", "value_size", "version"]
    # As the orchestrator of an older quarl wrote it, without the stamp.
    (numbers / "run.json").write_text(json.dumps(
        {**{k: record[k] for k in ("artifact_format", "asset", "attempt", "consumed", "fingerprint", "partition",
                                   "value_file")}, "started": 1.5, "duration": 0.25}))
    (numbers / "attempt.json").unlink()
    touch(numbers / "value.json")
    done = quarl(project, "run", "flow", "--select", "flow.source.numbers", "--json")
    assert statuses(done) == {"flow.source.numbers": "up to date"}
    assert json.loads(quarl(project, "status", "--json").stdout)["runs"][0]["status"] == "succeeded"


# Non-greedy: strace prints a call that another process's call interrupts with "<unfinished ...>"
# after its path.
SYSCALL = re.compile(r'\d+ +(fsync|fdatasync|syncfs|rename|renameat2)\((?:\d+<(.*?)>|"(.*)", (?:AT_FDCWD, )?"(.*)")')
# A rename within a folder opened once (the writer of whole files): (folder, name) twice.
RENAME_AT = re.compile(r'\d+ +renameat2?\(\d+<(.*?)>, "(.*?)", \d+<(.*?)>, "(.*?)"')
TRACED = "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2"


def traced(path):
    """The calls of a trace as (call, the path of a sync, a rename's source, its target)."""
    calls = []
    for line in path.read_text().splitlines():
        if found := RENAME_AT.match(line):
            calls.append(("rename", None, f"{found[1]}/{found[2]}", f"{found[3]}/{found[4]}"))
        elif found := SYSCALL.match(line):
            calls.append(found.groups())
    return calls


def flushed_before(calls, publication, attempt):
    """Whether the attempt's file system was flushed (syncfs) after the last file was renamed into
    the attempt's folder and before the rename that publishes it."""
    flushes = [i for i, (call, path, _, _) in enumerate(calls[:publication]) if call == "syncfs" and path == attempt]
    written = [i for i, (call, _, _, target) in enumerate(calls[:publication])
               if call.startswith("rename") and target and target.startswith(attempt + "/")]
    return bool(flushes) and bool(written) and max(written) < max(flushes)


def untraced_leaks(env):
    """Under `make sanitize`, the leak check at exit cannot run in a process that strace traces."""
    if "ASAN_OPTIONS" in env:
        return {**env, "ASAN_OPTIONS": env["ASAN_OPTIONS"] + ":detect_leaks=0"}
    return env


@pytest.mark.parametrize("isolation", ["fresh", "warm"])
def test_a_publication_is_on_the_disk_before_it_is_recorded(project, isolation):
    trace = project / "trace"
    done = subprocess.run(["strace", "-f", "-qq", "-y", "-e", TRACED, "-o",
                           str(trace), sys.executable, "-m", "quarl", "run", "flow", "--select",
                           "flow.source.numbers", "--isolation", isolation], cwd=project,
                          capture_output=True, text=True, env=untraced_leaks(sanitizer_env()))
    assert done.returncode == 0, done.stderr
    calls = traced(trace)
    out = str(project / "quarl-out")
    published = out + "/flow.source.numbers"
    publication = next(i for i, (call, _, _, target) in enumerate(calls) if target == published)
    attempt = calls[publication][2]
    assert re.fullmatch(re.escape(out) + r"/\.flow\.source\.numbers\.attempt-[0-9a-f]{12}", attempt)
    # Everything the attempt wrote (its records last) on the disk before the rename, in one flush
    # of the file system; after it, another flush that makes the rename durable.
    assert flushed_before(calls, publication, attempt)
    synced = [(call, path) for call, path, _, _ in calls[publication + 1:] if call in ("syncfs", "fsync", "fdatasync")]
    assert synced[0] == ("syncfs", out)
    # And only then does the history commit the row (SQLite syncs its journal and database).
    assert any(path.startswith(out + "/quarl-history.db") for _, path in synced[1:])


def test_a_run_past_its_timeout_is_killed_and_its_log_shown(project):
    edit(project, "source", "return [1, 2, 3, 4]", "import time; print('row 1 of 9', flush=True); time.sleep(120)")
    done = quarl(project, "run", "flow", "--select", "flow.source.numbers", "--timeout", "1", "--json")
    assert done.returncode == 1
    numbers = runs(done)["flow.source.numbers"]
    log = "quarl-out/.flow.source.numbers.failed/stdout.log"  # stderr.log is empty
    assert (numbers["status"], numbers["error"], numbers["log"]) == ("timeout", "timed out after 1 s",
                                                                     str(project / log))
    assert done.stderr.endswith(f"timed out after 1 s\n  log: {log}\n  last line: row 1 of 9\n")


def test_ctrl_c_stops_the_workers_and_the_next_run_goes_on(project, tmp_path):
    assert quarl(project, "run", "flow", "--select", "flow.source.numbers").returncode == 0
    marker = tmp_path / "started"
    edit(project, "source", "return [1, 2, 3, 4]",
         f"import pathlib, time; pathlib.Path({str(marker)!r}).touch(); time.sleep(120)")
    running = subprocess.Popen([sys.executable, "-m", "quarl", "run", "flow", "--select",
                                "flow.cells.total"], cwd=project, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
    deadline = time.monotonic() + 60
    while not marker.exists() and time.monotonic() < deadline and running.poll() is None:
        time.sleep(0.05)
    running.send_signal(signal.SIGINT)
    stdout, stderr = running.communicate(timeout=60)
    assert running.returncode == 130, stderr
    assert stderr.endswith("quarl run: interrupted; published runs are intact, the next run goes on "
                           "from here\n")
    assert value(project, "flow.source.numbers") == [1, 2, 3, 4]
    status = json.loads(quarl(project, "status", "--json").stdout)
    assert [(r["asset"], r["status"]) for r in status["runs"]][:1] == [("flow.source.numbers", "interrupted")]
    leftovers = [p.name for p in (project / "quarl-out").iterdir() if ".attempt-" in p.name]
    assert leftovers == []

    edit(project, "source", f"import pathlib, time; pathlib.Path({str(marker)!r}).touch(); time.sleep(120)",
         "return [1, 2, 3, 4]")
    done = quarl(project, "run", "flow", "--select", "flow.cells.total", "--json")
    assert done.returncode == 0
    # Its last attempt was interrupted: it runs again, its published value kept meanwhile.
    assert statuses(done)["flow.source.numbers"] == "succeeded"
    assert statuses(done)["flow.cells.total"] == "succeeded"


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("command", ["run", "graph"])
def test_a_signal_during_the_inspection_interrupts_and_stops_the_inspector(tmp_path, signum, command):
    pid_file = tmp_path / "inspector"
    (tmp_path / "slow.py").write_text(
        f"import os, pathlib, time\nnew = pathlib.Path({str(pid_file)!r} + '.new')\n"
        f"new.write_text(str(os.getpid()))\nnew.rename({str(pid_file)!r})\ntime.sleep(120)\n")
    running = subprocess.Popen([sys.executable, "-m", "quarl", command, "slow"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
    deadline = time.monotonic() + 60
    while not pid_file.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    inspector = int(pid_file.read_text())
    running.send_signal(signum)
    stdout, stderr = running.communicate(timeout=60)
    assert (running.returncode, stdout, stderr) == (130, "", f"quarl {command}: interrupted\n")
    with pytest.raises(ProcessLookupError):
        os.kill(inspector, 0)


@pytest.mark.parametrize("module, problem", [
    ("from quarl import asset\n\n@asset(inputs={'x': 'nowhere.py:f'})\ndef lost(x): ...\n",
     "flow.broken.lost: input 'x' refers to 'nowhere.py:f', which is not an asset of this project"),
    ("from quarl import asset\n\n@asset(inputs={'b': '{here}:b'})\ndef a(b): ...\n\n"
     "@asset(inputs={'a': a})\ndef b(a): ...\n",
     "dependency cycle: flow.broken.a (input 'b') -> flow.broken.b (input 'a') -> flow.broken.a"),
])
def test_plan_errors_stop_before_anything_runs(project, module, problem):
    path = project / "flow" / "broken.py"
    path.write_text(module.replace("{here}", str(path)))
    done = quarl(project, "run", "flow")
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", f"quarl run: error: the project cannot be planned:\n  {problem}\n")
    assert not (project / "quarl-out").exists()


def test_names_that_would_leave_the_output_folder_are_plan_errors(project, tmp_path):
    path = project / "flow" / "broken.py"
    path.write_text("from quarl import asset\n\n"
                    "def f(): ...\nf.__module__ = '../../decoy/victim'\nf = asset()(f)\n\n"
                    "def g(): ...\ng.__name__ = '../g'\ng = asset()(g)\n")
    done = quarl(project, "run", "flow")
    assert (done.returncode, done.stdout, done.stderr) == (2, "", (
        "quarl run: error: the project cannot be planned:\n"
        f"  {path}:f: the module name '../../decoy/victim' is not a dotted Python name, so it "
        "cannot name the asset's folder\n"
        f"  {path}:../g: the function name '../g' is not a Python name, so it cannot name the "
        "asset's folder\n"))
    assert sorted(os.listdir(tmp_path)) == ["proj"]
    assert not (project / "quarl-out").exists()


HOSTILE = """\
from quarl import asset, partitions


@asset(partitions={"key": partitions(["\\x1b]0;owned\\x07", "[red]x[/]"])})
def shout(key):
    raise ValueError("\\x1b[2J" + key)


@asset(inputs={"\\x1b[31mred": shout})
def after(**inputs):
    return 1
"""


def on_a_terminal(cwd, *args):
    """What `quarl ARGS` writes to a terminal (a pseudo-terminal for both its outputs)."""
    import pty

    leader, follower = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "quarl", *args], cwd=cwd, stdout=follower,
                               stderr=follower, env={**sanitizer_env(), "TERM": "xterm",
                                                     "PYTHONDONTWRITEBYTECODE": "1"})
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO: the last holder of the terminal has gone
            break
        if not chunk:
            break
        output += chunk
    os.close(leader)
    assert process.wait() == 1
    return output.decode()


def test_control_characters_of_the_project_reach_the_terminal_escaped(tmp_path):
    (tmp_path / "hostile.py").write_text(HOSTILE)
    shown = "hostile.shout[key=\\x1b]0;owned\\x07]"
    done = quarl(tmp_path, "run", "hostile", "--jobs", "1")
    assert done.returncode == 1
    assert done.stderr.splitlines()[0].split(" (")[0] == f"[1/3] failed {shown}"
    assert done.stderr.splitlines()[0].endswith("): ValueError: \\x1b[2J\\x1b]0;owned\\x07")
    status = quarl(tmp_path, "status")
    assert ended_said(status.stdout).splitlines()[3].split() == [
        "hostile.after", "-", "skipped", "(upstream", "failed)", "ENDED", shown, "failed"]
    graph = quarl(tmp_path, "graph", "hostile")
    assert "    n0 -->|\\x1b[31mred| n1" in graph.stdout.splitlines()
    terminal = on_a_terminal(tmp_path, "run", "hostile", "--jobs", "1")
    assert f" {shown}: ValueError: \\x1b[2J\\x1b]0;owned\\x07\r\n" in terminal
    assert " hostile.shout[key=[red]x[/]]: ValueError: \\x1b[2J[red]x[/]\r\n" in terminal
    for text in (done.stdout, done.stderr, status.stdout, graph.stdout, terminal):
        assert "\x1b]" not in text and "\x07" not in text and "\x1b[2J" not in text
    # --json keeps every text as it is.
    document = json.loads(quarl(tmp_path, "status", "--json").stdout)
    assert [(r["partition"], r["error"]) for r in document["runs"][:2]] == [
        ({"key": "\x1b]0;owned\x07"}, "ValueError: \x1b[2J\x1b]0;owned\x07"),
        ({"key": "[red]x[/]"}, "ValueError: \x1b[2J[red]x[/]")]


def test_graph_prints_the_plan(project):
    done = quarl(project, "graph", "flow")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == """\
flowchart LR
    n0["flow.meet.left"]
    n1["flow.meet.right"]
    n2["flow.source.blob"]
    n3["flow.cells.blob_size"]
    n4["flow.source.echo<br/>7 partitions"]
    n5["flow.source.numbers"]
    n6["flow.cells.cell<br/>4 partitions"]
    n7["flow.cells.by_region<br/>2 partitions"]
    n8["flow.cells.pinned<br/>1 partition"]
    n9["flow.cells.total"]
    n2 -->|text| n3
    n5 -->|numbers| n6
    n6 -->|cells| n7
    n6 -->|one| n8
    n7 -->|regions| n9
"""


@pytest.mark.parametrize("command", [["status"], ["run", "flow", "--select", "flow.meet.left"]])
def test_a_history_that_cannot_be_read_is_kept_and_named(project, command):
    history = project / "quarl-out" / "quarl-history.db"
    history.parent.mkdir()
    history.write_bytes(b"not a database, but somebody's history all the same" * 100)
    done = quarl(project, *command)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (
        f"quarl {command[0]}: error: the run history quarl-out/quarl-history.db cannot be read (file is "
        "not a database). Nothing was changed. Move it aside to keep it and start a new history (mv "
        "quarl-out/quarl-history.db quarl-out/quarl-history.db.broken), or restore it from a backup.\n")
    assert history.read_bytes() == b"not a database, but somebody's history all the same" * 100


def test_graph_as_dot_and_svg(project):
    dot = quarl(project, "graph", "flow", "--format", "dot")
    assert (dot.returncode, dot.stdout.splitlines()[:2], dot.stdout.splitlines()[-1]) == (
        0, ["digraph quarl {", "    rankdir=LR;"], "}")
    assert '    n6 [label="flow.cells.cell\\n4 partitions"];' in dot.stdout.splitlines()
    svg = quarl(project, "graph", "flow", "--format", "svg")
    if shutil.which("dot"):
        assert (svg.returncode, svg.stdout.count("<svg")) == (0, 1)
    else:
        assert (svg.returncode, svg.stdout, svg.stderr) == (2, "", (
            "quarl graph: error: --format svg needs Graphviz's `dot`, which is not installed: "
            "apt-get install graphviz (Debian, Ubuntu), dnf install graphviz (Fedora) or brew "
            "install graphviz (macOS); or print --format dot\n"))


def test_a_history_that_fails_under_a_run_stops_it_and_leaves_no_attempt(tmp_path):
    import sqlite3

    (tmp_path / "pair.py").write_text(
        "import os, time\nfrom quarl import asset\n\n\n@asset()\ndef quick() -> int:\n"
        "    open('running', 'w').close()\n"
        "    while not os.path.exists('locked'):\n        time.sleep(0.01)\n    return 1\n\n\n"
        "@asset()\ndef slow() -> int:\n    time.sleep(120)\n    return 2\n")
    running = subprocess.Popen([sys.executable, "-m", "quarl", "run", "pair", "--jobs", "2"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
    history = tmp_path / "quarl-out" / "quarl-history.db"
    deadline = time.monotonic() + 60
    while not (tmp_path / "running").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    holder = sqlite3.connect(history, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")  # held until quarl run has given up writing its rows
    (tmp_path / "locked").touch()
    try:
        stdout, stderr = running.communicate(timeout=90)
    finally:
        holder.close()
    assert (running.returncode, stdout.splitlines()[-1]) == (1, "2 runs: 1 succeeded, 1 interrupted"), stderr
    assert stderr.endswith(f"quarl run: stopped: the run history {history.relative_to(tmp_path)} is locked "
                           "by another process\n")
    assert sorted(p.name for p in (tmp_path / "quarl-out").iterdir()) == [
        ".quarl.lock", "pair.quick", "quarl-history.db"]


FOLDER_VALUE = """\
from quarl import asset


class Parts:
    name, suffix = "parts", ".parts"

    def dump(self, value, path):
        path.mkdir()
        for n, text in enumerate(value):
            (path / f"part-{n}").write_text(text)

    def load(self, path):
        return [p.read_text() for p in sorted(path.iterdir())]


@asset(serializer="fv:Parts")
def split() -> list:
    return ["a", "b"]


@asset(inputs={"parts": split})
def joined(parts: list) -> str:
    return "".join(parts)
"""


def test_a_value_that_is_a_folder_is_synced_whole_and_an_edit_inside_is_seen(tmp_path):
    (tmp_path / "fv.py").write_text(FOLDER_VALUE)
    trace = tmp_path / "trace"
    done = subprocess.run(["strace", "-f", "-qq", "-y", "-e", TRACED, "-o",
                           str(trace), sys.executable, "-m", "quarl", "run", "fv"], cwd=tmp_path,
                          capture_output=True, text=True, env=untraced_leaks(sanitizer_env()))
    assert done.returncode == 0, done.stderr
    calls = traced(trace)
    published = str(tmp_path / "quarl-out/fv.split")
    publication = next(i for i, (_, _, _, target) in enumerate(calls) if target == published)
    attempt = calls[publication][2]
    # The folder of the value renamed into place, then the whole file system flushed.
    assert any(target == f"{attempt}/value.parts" for _, _, _, target in calls[:publication])
    assert flushed_before(calls, publication, attempt)
    assert json.loads((tmp_path / "quarl-out/fv.joined/value.json").read_text()) == "ab"

    (tmp_path / "quarl-out/fv.split/value.parts/part-1").write_text("c")
    status = quarl(tmp_path, "status", "--json")
    assert [r["status"] for r in json.loads(status.stdout)["runs"]] == ["changed outside quarl", "succeeded"]
    again = quarl(tmp_path, "run", "fv", "--json")
    # Made again as it was: what consumes it stays up to date.
    assert statuses(again) == {"fv.split": "succeeded", "fv.joined": "up to date"}
    assert (tmp_path / "quarl-out/fv.split/value.parts/part-1").read_text() == "b"
