"""What reruns, and why: files read, observed versions, early cutoff, and one read model that
`quarl status`, `quarl run --dry-run` and `quarl ui` agree on."""

import json
import os
import shutil
from urllib.parse import urlencode

import pytest

from conftest import FIXTURES
from test_run import quarl
from test_ui import get, serve

RAW, DAILY = "salesco.raw.raw_sales", "salesco.report.daily_units"


@pytest.fixture
def sales(tmp_path):
    """The fixture project, run once."""
    project = tmp_path / "proj"
    shutil.copytree(FIXTURES / "fresh", project)
    assert quarl(project, "run", "salesco").returncode == 0
    return project


def edit(project, name, old, new):
    path = project / name
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


def dry_run(project, **env):
    done = quarl(project, "run", "salesco", "--dry-run", "--json", **env)
    assert done.returncode == 0, done.stderr
    return {_name(r): r["reasons"] for r in json.loads(done.stdout)["runs"]}


def _name(run):
    return run["asset"] + (f"[day={run['partition']['day']}]" if run["partition"] else "")


D14, D15 = "[day=2024-06-14]", "[day=2024-06-15]"
LANDING, SUMMARY = "salesco.raw.landing", "salesco.report.summary"
ROW = "file changed: data/sales_2024-06-15.csv"
BOTH = f"upstream changed: {DAILY}{D14}, {DAILY}{D15}"

# A change -> (what makes it, its environment), what --dry-run says would start and why, what then
# succeeds, and what stays up to date although its upstream was made again (inputs unchanged).
CHANGES = {
    "a row edited": (
        (lambda p: edit(p, "data/sales_2024-06-15.csv", "mug,5", "mug,6"), {}),
        {LANDING: [ROW], RAW + D15: [ROW], DAILY + D15: [f"upstream changed: {RAW}{D15}"],
         SUMMARY: [f"upstream changed: {DAILY}{D15}"]},
        {LANDING, RAW + D15, DAILY + D15, SUMMARY}, set()),
    "a file added": (
        (lambda p: (p / "data/sales_2024-06-16.csv").write_text("sku,qty\nmug,1\n"), {}),
        {LANDING: ["file changed: data/sales_2024-06-16.csv (new)"]}, {LANDING}, set()),
    "a file removed": (
        (lambda p: (p / "data/returns.csv").unlink(), {}),
        {LANDING: ["file changed: data/returns.csv (gone)"]}, {LANDING}, set()),
    "the same value": (
        (lambda p: edit(p, "data/sales_2024-06-15.csv", "mug,5\n", "mug,5\n\n"), {}),
        {LANDING: [ROW], RAW + D15: [ROW], DAILY + D15: [f"upstream changed: {RAW}{D15}"],
         SUMMARY: [f"upstream changed: {DAILY}{D15}"]},
        {LANDING, RAW + D15}, {DAILY + D15}),
    "an observed version": (
        (lambda p: None, {"PRICES_VERSION": "v2"}),
        {"salesco.raw.prices": ["version changed: 'v1' -> 'v2'"],
         SUMMARY: ["upstream changed: salesco.raw.prices"]}, {"salesco.raw.prices", SUMMARY}, set()),
    "a serializer's load": (
        (lambda p: edit(p, "salesco/codec.py", '"qty": qty}', '"qty": int(qty)}'), {}),
        {RAW + D14: ["code changed: serializer=salesco.codec:Rows"],
         RAW + D15: ["code changed: serializer=salesco.codec:Rows"],
         DAILY + D14: [f"upstream changed: {RAW}{D14}"], DAILY + D15: [f"upstream changed: {RAW}{D15}"],
         SUMMARY: [BOTH]},
        {RAW + D14, RAW + D15, DAILY + D14, DAILY + D15}, {SUMMARY}),
    "a helper": (
        (lambda p: edit(p, "salesco/report.py", 'int(row["qty"])', 'int(row["qty"]) * 1'), {}),
        {DAILY + D14: ["code changed: salesco.report.units"], DAILY + D15: ["code changed: salesco.report.units"],
         SUMMARY: [BOTH]},
        {DAILY + D14, DAILY + D15}, {SUMMARY}),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_change_reruns_exactly_what_it_reaches_and_says_why(sales, change):
    (apply, env), would, ran, unchanged = CHANGES[change]
    apply(sales)
    assert dry_run(sales, **env) == would
    done = quarl(sales, "run", "salesco", "--json", **env)
    runs = json.loads(done.stdout)["runs"]
    assert (done.returncode, {_name(r) for r in runs if r["status"] == "succeeded"},
            {_name(r) for r in runs if r["inputs_unchanged"]}) == (0, ran, unchanged)
    assert dry_run(sales, **env) == {}


def test_the_table_says_what_stayed_up_to_date_on_unchanged_inputs(sales):
    edit(sales, "data/sales_2024-06-15.csv", "mug,5\n", "mug,5\n\n")
    assert quarl(sales, "run", "salesco").stdout.endswith(
        "1 downstream run up to date: inputs unchanged\n\n7 runs: 2 succeeded, 5 up to date\n")


def tree(folder):
    return sorted((str(p.relative_to(folder)), p.stat().st_size, p.stat().st_mtime_ns) for p in folder.rglob("*"))


def test_status_dry_run_and_the_ui_agree_on_every_run(sales):
    edit(sales, "data/sales_2024-06-14.csv", "mug,3", "mug,4")
    shutil.rmtree(sales / f"quarl-out/{RAW}/day=2024-06-15")
    before = tree(sales / "quarl-out")
    would = dry_run(sales)
    assert tree(sales / "quarl-out") == before
    status = quarl(sales, "status", "salesco", "--json")
    states = {_name(r): r["reasons"] for r in json.loads(status.stdout)["runs"]}
    assert would == {name: reasons for name, reasons in states.items() if reasons} == {
        "salesco.raw.landing": ["file changed: data/sales_2024-06-14.csv"],
        f"{RAW}[day=2024-06-14]": ["file changed: data/sales_2024-06-14.csv"],
        f"{RAW}[day=2024-06-15]": ["changed outside quarl"],
        f"{DAILY}[day=2024-06-14]": [f"upstream changed: {RAW}[day=2024-06-14]"],
        f"{DAILY}[day=2024-06-15]": [f"upstream changed: {RAW}[day=2024-06-15]"],
        "salesco.report.summary": [f"upstream changed: {DAILY}[day=2024-06-14], {DAILY}[day=2024-06-15]"]}
    stale = quarl(sales, "status", "salesco", "--stale")
    assert (stale.returncode, len(stale.stdout.splitlines())) == (1, 1 + len(would) + 2)
    for server in serve(sales, "salesco"):
        for name, reasons in states.items():
            asset, _, partition = name.partition("[")
            code, body = get(server, "/api/run?" + urlencode({"asset": asset, "partition": partition.rstrip("]")}))
            assert (code, json.loads(body)["stale"]) == (200, reasons), name
    assert tree(sales / "quarl-out") == before


@pytest.mark.parametrize("source, problem", [
    ('@quarl.observe(lambda day: 1 / 0)\n@asset(partitions={"day": partitions(["a"])})\ndef f(day): pass\n',
     "o.f: observe <lambda> raised ZeroDivisionError: division by zero for day=\"a\""),
    ("@quarl.observe(lambda: 3)\n@asset()\ndef f(): pass\n", "o.f: observe <lambda> returned int, not a string"),
    ('@quarl.reads("data/{month}.csv")\n@asset()\ndef f(): pass\n',
     "o.f: reads 'data/{month}.csv' names {month}, which is not a partition dimension of it"),
])
def test_what_a_run_takes_from_outside_can_be_a_plan_error(tmp_path, source, problem):
    (tmp_path / "o.py").write_text("import quarl\nfrom quarl import asset, partitions\n\n\n" + source)
    done = quarl(tmp_path, "run", "o", "--dry-run")
    assert (done.returncode, done.stderr) == (2, f"quarl run: error: the project cannot be planned:\n  {problem}\n")
    assert not os.path.exists(tmp_path / "quarl-out")


def test_a_pattern_matches_the_files_that_glob_finds(tmp_path):
    import glob

    from quarl.run.freshness import FileDigests, Outside

    cwd = tmp_path / "proj"
    for name in ("data/a.csv", "data/.hidden.csv", "data/sub/b.csv", "top.csv", "other/c.csv"):
        (cwd / name).parent.mkdir(parents=True, exist_ok=True)
        (cwd / name).write_text(name)
    outside = Outside(str(cwd), FileDigests())
    for pattern in ("data/*.csv", "data/.*", "data/*", "*.csv", "data/[ab].csv", "d*/*.csv", "data/**/*.csv",
                    "none/*.csv", "../proj/data/*.csv", "./top.csv", "data/sub/../a.csv"):
        expected = sorted(glob.glob(pattern, root_dir=cwd, recursive=True))
        assert sorted(outside._matches(pattern)) == expected, pattern
        assert [outside._absolute(path) for path in expected] == [os.path.abspath(cwd / path) for path in expected]
