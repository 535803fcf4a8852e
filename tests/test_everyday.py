"""Everyday use of quarl run, status and prune on a copy of tests/fixtures/flow: selecting
partitions and what is downstream, the table, names, helpers, pruning, and the hints."""

import json
import re
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import sanitizer_env
from test_run import edit, project, quarl, statuses  # noqa: F401 (project is a fixture)


def table(done):
    return re.sub(r"\d+\.\d\d s", "X s", done.stdout)


def test_a_backfill_of_one_partition_and_its_downstream_lists_only_those(project):
    assert quarl(project, "run", "flow").returncode == 0
    done = quarl(project, "run", "flow", "--select", "flow.cells.cell[day=2,region=e*]+", "--force")
    assert (done.returncode, table(done)) == (0, """\
asset                 partition        status     duration  result
flow.cells.cell       day=2,region=eu  succeeded  X s    int
flow.cells.by_region  region=eu        succeeded  X s    list
flow.cells.total      -                succeeded  X s    int
... and 5 upstream runs up to date, not listed

8 runs: 3 succeeded, 5 up to date
""")
    # Without --force, a selected run that is up to date is listed as such.
    done = quarl(project, "run", "flow", "--select", "flow.cells.cell[day=1..2,region=us]")
    assert table(done) == """\
asset            partition        status
flow.cells.cell  day=1,region=us  up to date
flow.cells.cell  day=2,region=us  up to date
... and 1 upstream run up to date, not listed

3 runs: 3 up to date
"""
    done = quarl(project, "run", "flow", "--select", "flow.cells.cell[day=3]")
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", "quarl run: error: --select flow.cells.cell[day=3] matches no run (day: 1, 2)\n")


def test_status_filters_and_ends_quietly_when_its_reader_goes(project):
    edit(project, "source", "return [1, 2, 3, 4]", 'raise ValueError("no numbers today")')
    assert quarl(project, "run", "flow").returncode == 1
    done = quarl(project, "status", "--failed", "--select", "flow.cells.*[region=us]", "flow.source.*")
    lines = done.stdout.splitlines()
    assert [line.split("  ")[0] for line in lines[1:-2]] == [
        "flow.source.numbers", "flow.cells.cell", "flow.cells.cell", "flow.cells.by_region",
        "flow.cells.pinned"]
    assert lines[-1] == ("5 runs of 20 in the history, last attempts: 1 failed, "
                         "4 skipped (upstream failed)")
    downstream = quarl(project, "status", "flow", "--select", "flow.source.numbers+")
    assert downstream.stdout.endswith("\n9 runs of 20 in the history, last attempts: 1 failed, "
                                      "8 skipped (upstream failed); 9 stale\n")

    for command in (["status"], ["run", "flow"]):
        child = subprocess.Popen([sys.executable, "-m", "quarl", *command], cwd=project,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
        child.stdout.close()  # as `| head -0` does, before anything is written
        stderr = child.stderr.read().decode()
        assert (child.wait(timeout=120), "Traceback" in stderr) == (1 if command[0] == "run" else 0, False)
    # The run whose reader went away still recorded its attempts.
    attempts = json.loads(quarl(project, "status", "--json").stdout)["runs"]
    assert len(attempts) == 20


def test_a_named_asset_keeps_its_key_when_its_function_moves(project):
    (project / "flow" / "named.py").write_text(textwrap.dedent("""\
        from quarl import asset
        from flow import source


        @asset(name="totals", inputs={"numbers": source.numbers})
        def total_of_numbers(numbers: list[int]) -> int:
            return sum(numbers)
        """))
    first = quarl(project, "run", "flow", "--json")
    assert statuses(first)["totals"] == "succeeded"
    assert (project / "quarl-out" / "totals" / "value.json").read_text() == "10"
    moved = (project / "flow" / "named.py").read_text()
    (project / "flow" / "named.py").unlink()
    (project / "flow" / "elsewhere.py").write_text(moved)
    second = quarl(project, "run", "flow", "--select", "totals")
    assert table(second) == ("asset   partition  status\ntotals  -          up to date\n"
                             "... and 1 upstream run up to date, not listed\n\n2 runs: 2 up to date\n")

    (project / "flow" / "twice.py").write_text(
        'from quarl import asset\n\n\n@asset(name="totals")\ndef other() -> int:\n    return 1\n')
    clash = quarl(project, "run", "flow")
    assert (clash.returncode, clash.stderr) == (2, "quarl run: error: the project cannot be planned:\n"
                                                "  totals names two different assets (flow.elsewhere."
                                                "total_of_numbers and flow.twice.other)\n")


def test_an_edited_helper_reruns_exactly_the_assets_that_reach_it(project):
    (project / "flow" / "frames.py").write_text(textwrap.dedent("""\
        import json

        SCALE = 2


        def _shape(x):
            return x * SCALE


        def to_records(x):
            return json.loads(json.dumps(_shape(x)))


        def unused(x):
            return x
        """))
    (project / "flow" / "users.py").write_text(textwrap.dedent("""\
        from quarl import asset
        from flow import frames
        from flow.frames import unused


        @asset()
        def through_module() -> int:
            return frames.to_records(1)


        @asset()
        def through_name() -> int:
            return unused(1)
        """))
    assert quarl(project, "run", "flow").returncode == 0
    edit(project, "frames", "SCALE = 2", "SCALE = 3")
    done = quarl(project, "run", "flow", "--json")
    assert {k for k, v in statuses(done).items() if v != "up to date"} == {"flow.users.through_module"}
    edit(project, "frames", "return x\n", "return x + 1\n")
    done = quarl(project, "run", "flow", "--json")
    assert {k for k, v in statuses(done).items() if v != "up to date"} == {"flow.users.through_name"}


def test_prune_removes_what_the_plan_no_longer_has(project):
    assert quarl(project, "run", "flow").returncode == 0
    out = project / "quarl-out"
    edit(project, "source", '"a/b", "x,y=z", ', "")
    edit(project, "meet", "@asset()\ndef right", "def right")
    (out / "notes").mkdir()  # not a run: left alone
    failed = out / ".flow.meet.left.failed"
    failed.mkdir()
    (failed / "stderr.log").write_text("an old failure\n")

    dry = quarl(project, "prune", "flow", "--dry-run")
    expected = """\
{verb} quarl-out/.flow.meet.left.failed: a failure of a run that has succeeded since
{verb} quarl-out/flow.meet.right: an asset no longer planned
{verb} quarl-out/flow.source.echo/key=a%2Fb: a partition no longer planned
{verb} quarl-out/flow.source.echo/key=x%2Cy%3Dz: a partition no longer planned
"""
    assert (dry.returncode, dry.stdout, dry.stderr) == (0, expected.format(verb="would remove") + (
        "\n4 folders would be removed; 3 runs no longer planned would be marked pruned in the history\n"), "")
    assert failed.exists() and (out / "flow.meet.right").exists()

    done = quarl(project, "prune", "flow")
    assert (done.returncode, done.stdout) == (0, expected.format(verb="removed") + (
        "\n4 folders removed; 3 runs no longer planned marked pruned in the history\n"))
    assert sorted(p.name for p in (out / "flow.source.echo").iterdir()) == [
        "key=%221%22", "key=..", "key=1", "key=null", "key=ünï"]
    assert not failed.exists() and (out / "notes").exists()
    status = quarl(project, "status")
    assert status.stdout.endswith("\n17 runs in the history, last attempts: 17 succeeded\n")
    assert quarl(project, "prune", "flow").stdout == "nothing to prune\n"


def test_a_target_not_importable_from_here_says_where_quarl_looked(project, tmp_path):
    done = quarl(tmp_path, "run", "flow", "--path", str(tmp_path / "lib"))
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (
        "quarl run: error: quarl: skipping module 'flow': ModuleNotFoundError: No module named 'flow'\n"
        "1 module could not be imported: fix or leave out what fails above\n"
        f"'flow' is not importable from here: quarl imports the targets from the current directory "
        f"({tmp_path}) and each --path DIR ({tmp_path / 'lib'}), besides what is installed. Run quarl "
        "from the project's folder (the one that holds flow), or name that folder with --path DIR.\n")
    done = quarl(project, "run", "flow", "--path", str(project))
    assert done.returncode == 0, done.stderr
    (project / "flow" / "needs.py").write_text("import no_such_distribution.sub\n")
    done = quarl(project, "run", "flow")
    assert done.stderr == (
        "quarl run: error: quarl: skipping module 'flow.needs': ModuleNotFoundError: No module named "
        "'no_such_distribution'\n1 module could not be imported: fix or leave out what fails above\n"
        f"'no_such_distribution' is not installed where the runs start ({sys.executable}): install it "
        f"there, for example {sys.executable} -m pip install no_such_distribution (the distribution "
        "may be named otherwise).\n")


# --- what prune may remove, and only prune ---------------------------------------------------------

SHAPED = """\
import os
from quarl import asset, partitions

if os.environ.get("PARTITIONED"):
    @asset(partitions={"p": partitions([1, 2, "\\u202ex\\x9b[2J"][:int(os.environ["PARTITIONED"])])})
    def shaped(p) -> int:
        return 1
else:
    @asset()
    def shaped() -> int:
        return 0
"""


def tree(folder):
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


@pytest.fixture
def shaped(tmp_path):
    """A project whose one asset, shp.shaped, has the first PARTITIONED=N of its partitions, or
    none; it runs with --out out."""
    (tmp_path / "shp.py").write_text(SHAPED)

    def command(*args, partitions=""):
        return quarl(tmp_path, *args, "shp", "--out", "out", PARTITIONED=partitions)
    return command


@pytest.mark.parametrize("history", [False, True])
def test_prune_touches_nothing_that_no_history_knows_as_a_run(shaped, tmp_path, history):
    out = tmp_path / "out"
    if history:
        assert shaped("run").returncode == 0
    out.mkdir(exist_ok=True)
    for folder, files in [("notes", ["run.json", "main.c"]), ("src/lib", ["result.json"]),
                          (".notes.failed", [])]:
        (out / folder).mkdir(parents=True)
        for name in files:
            (out / folder / name).write_text("the user's own\n")
    before = tree(out)
    done = shaped("prune")
    assert (done.returncode, done.stdout, done.stderr) == ((0, "nothing to prune\n", "") if history else (
        2, "", "quarl prune: error: no run history in out (quarl run writes it): quarl prune removes only "
        "the runs that a history records\n"))
    assert tree(out) == before


SHAPE_CHANGES = [
    ("2", "", ["out/shp.shaped/p=1: a partition no longer planned", "out/shp.shaped/p=2: a partition no "
               "longer planned"], "2 folders", "2 runs", [None],
     "out/shp.shaped holds partitions of shp.shaped, which is no longer partitioned: quarl prune removes "
     "them"),
    ("", "2", ["out/shp.shaped: the unpartitioned run of an asset now partitioned"], "1 folder", "1 run",
     [{"p": 1}, {"p": 2}], "out/shp.shaped holds the run of shp.shaped from before it was partitioned: quarl "
     "prune removes it"),
]


@pytest.mark.parametrize("before, after, removed, folders, runs, partitions, error", SHAPE_CHANGES)
def test_a_run_leaves_its_asset_of_the_other_shape_to_prune(shaped, tmp_path, before, after, removed, folders,
                                                             runs, partitions, error):
    assert shaped("run", partitions=before).returncode == 0
    published = tree(tmp_path / "out")
    dry = shaped("prune", "--dry-run", partitions=after)
    assert (dry.returncode, dry.stdout) == (0, "".join(f"would remove {line}\n" for line in removed) + (
        f"\n{folders} would be removed; {runs} no longer planned would be marked pruned in the history\n"))
    done = shaped("run", "--json", partitions=after)
    found = [(r["partition"], r["status"], r["error"]) for r in json.loads(done.stdout)["runs"]]
    assert (done.returncode, found) == (1, [(partition, "failed", error) for partition in partitions])
    assert tree(tmp_path / "out") == published
    assert shaped("prune", partitions=after).returncode == 0
    done = shaped("run", "--json", partitions=after)
    assert (done.returncode, {r["status"] for r in json.loads(done.stdout)["runs"]}) == (0, {"succeeded"})


def test_what_a_killed_prune_left_goes_with_the_next_run_or_prune_and_names_are_escaped(shaped, tmp_path):
    assert shaped("run", partitions="3").returncode == 0
    out = tmp_path / "out"
    published = tree(out)
    for command, partitions, kept in [("run", "3", published),
                                      ("prune", "2", [path for path in published if "\u202e" not in path])]:
        # Beside what it removed (a prune of an older quarl), or at the top of the output folder.
        for aside in ["shp.shaped/.p=12.attempt-pruned-0123456789ab", ".attempt-pruned-ba9876543210"]:
            (out / aside / "p=3").mkdir(parents=True)
        done = shaped(command, partitions=partitions)
        assert (done.returncode, tree(out)) == (0, kept)
    assert done.stdout == ("removed out/shp.shaped/p=\\u202ex\\x9b%5B2J: a partition no longer planned\n\n"
                           "1 folder removed; 1 run no longer planned marked pruned in the history\n")


def test_names_and_values_as_the_table_prints_them(project):
    assert quarl(project, "run", "flow", "--select", "echo").returncode == 0
    # On the history alone, and on the plan: the function's name, the values as printed.
    for command in (["status"], ["run", "flow"]):
        done = quarl(project, *command, "--select", 'echo[key="1"]', "echo[key=1]", "echo[key=a/b]", "--json")
        assert (done.returncode, [r["partition"] for r in json.loads(done.stdout)["runs"]]) == (
            0, [{"key": "a/b"}, {"key": 1}, {"key": "1"}]), done.stderr


@pytest.mark.parametrize("args, said", [
    (["run", "echo[key=1]", "--force"], "quarl run: error: 'echo[key=1]' is not a module: partitions are "
     "chosen with --select: quarl run TARGET --force --select 'echo[key=1]'"),
    (["run", "flow", "echo[key=1]", "cell[day=2]"], "quarl run: error: 'echo[key=1]' is not a module: "
     "partitions are chosen with --select: quarl run flow --select 'echo[key=1]' 'cell[day=2]'"),
    (["status", "echo[key=1]"], "quarl status: error: 'echo[key=1]' is not a module: partitions are "
     "chosen with --select: quarl status --select 'echo[key=1]'"),
    (["graph", "flow", "echo[key=1]+"], "quarl graph: error: 'echo[key=1]+' is not a module: quarl graph "
     "takes modules and packages; partitions are chosen with --select: quarl run flow --select 'echo[key=1]+'"),
])
def test_a_run_typed_as_a_target_says_how_to_select_it(tmp_path, args, said):
    done = quarl(tmp_path, *args)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", said + "\n")


@pytest.fixture
def zone(monkeypatch):
    def set_zone(name):
        monkeypatch.setenv("TZ", name)
        time.tzset()
    yield set_zone
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("tz, seconds, now, said", [
    ("UTC", 1717334587.9, 1717334600.0, "13:23:07"),
    ("UTC", 1717334587.9, 1717372800.0, "2024-06-02 13:23"),  # seen the next day
    ("UTC", 1717334587.9, 1748870587.0, "2024-06-02 13:23"),  # the same day a year later
    ("JST-9", 1717334587.9, 1717334600.0, "22:23:07"),  # local time
])
def test_status_says_when_a_run_ended_in_short_local_time(zone, tz, seconds, now, said):
    from quarl.run.display import clock

    zone(tz)
    assert clock(seconds, now) == said
