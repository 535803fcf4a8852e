"""--select on a plan built from hand-written records and on the history alone; names as keys;
the project code a function refers to."""

import sys

import pytest

from quarl.run import select
from quarl.run.history import AttemptRecord
from quarl.run.plan import PlanError, build_plan
from quarl.run.status import Status
from test_plan import record

DAYS = ["2024-06-01", "2024-06-02", "2024-06-03", "2024-06-10", "2024-06-11", "2024-06-12"]


@pytest.fixture(scope="module")
def plan():
    return build_plan([
        record("s.ingest", "raw", partitions={"day": DAYS, "region": ["eu", "us"]}),
        record("s.ingest", "fx"),
        record("s.daily", "by_day", inputs={"r": "s/ingest.py:raw"}, partitions={"day": DAYS}),
        record("s.report", "monthly", inputs={"d": "s/daily.py:by_day", "fx": "s/ingest.py:fx"}),
        record("s.odd", "echo", partitions={"key": ["a/b", "..", 1, "1"]}),
    ])


def chosen(plan, *texts):
    return [plan.runs[i].name for i in sorted(select.resolve(select.PlanCatalog(plan), texts))]


@pytest.mark.parametrize("texts, names", [
    (["s.ingest.raw[day=2024-06-1*,region=eu]"],
     ["s.ingest.raw[day=2024-06-10,region=eu]", "s.ingest.raw[day=2024-06-11,region=eu]",
      "s.ingest.raw[day=2024-06-12,region=eu]"]),
    # A range follows the declared order, whatever the values' text order.
    (["s.*[day=2024-06-03..2024-06-10]"],
     ["s.ingest.raw[day=2024-06-03,region=eu]", "s.ingest.raw[day=2024-06-03,region=us]",
      "s.ingest.raw[day=2024-06-10,region=eu]", "s.ingest.raw[day=2024-06-10,region=us]",
      "s.daily.by_day[day=2024-06-03]", "s.daily.by_day[day=2024-06-10]"]),
    (["s.daily.by_day[day=2024-06-11..]", "s.ingest.fx"],
     ["s.ingest.fx", "s.daily.by_day[day=2024-06-11]", "s.daily.by_day[day=2024-06-12]"]),
    (["s.ingest.raw[region=us,day=2024-06-12]+"],
     ["s.ingest.raw[day=2024-06-12,region=us]", "s.daily.by_day[day=2024-06-12]", "s.report.monthly"]),
    (["s.ingest.fx+"], ["s.ingest.fx", "s.report.monthly"]),
    # Values as their folder names write them; ".." is a value here, not a range.
    (["s.odd.echo[key=a%2Fb]", "s.odd.echo[key=..]"], ['s.odd.echo[key=a/b]', 's.odd.echo[key=..]']),
    (["s.odd.echo[key=%221%22]"], ['s.odd.echo[key="1"]']),
    (["s.[io]*[key=1]"], ["s.odd.echo[key=1]"]),
])
def test_selectors_choose_runs(plan, texts, names):
    assert chosen(plan, *texts) == names


@pytest.mark.parametrize("text, message", [
    ("s.nothing*", "--select s.nothing* matches no asset (the assets are: s.ingest.fx, s.ingest.raw, "
     "s.daily.by_day, s.odd.echo, s.report.monthly)"),
    ("s.ingest.raw[dya=2024-06-01]",
     "--select s.ingest.raw[dya=2024-06-01]: s.ingest.raw has no dimension 'dya' (its dimensions: day, region)"),
    ("s.ingest.fx[day=1]", "--select s.ingest.fx[day=1]: s.ingest.fx has no dimension 'day' (it has no partitions)"),
    ("s.ingest.*[key=1]", "--select s.ingest.*[key=1]: no asset matching s.ingest.* has the dimension "
     "'key' (their dimensions: day, region)"),
    ("s.ingest.raw[day=2025*]", "--select s.ingest.raw[day=2025*] matches no run (day: 2024-06-01, "
     "2024-06-02, 2024-06-03, 2024-06-10, 2024-06-11, ...)"),
    ("s.ingest.raw[day=2024-06-01..2024-06-31]", "--select s.ingest.raw[day=2024-06-01..2024-06-31]: "
     "'2024-06-31' is not a value of day (its values: 2024-06-01, 2024-06-02, 2024-06-03, 2024-06-10, "
     "2024-06-11, ...)"),
    ("+", "--select +: no asset pattern before '+'"),
    ("s.ingest.raw[day=1,eu]", "--select s.ingest.raw[day=1,eu]: expected DIM=VALUES in the brackets, found 'eu'"),
])
def test_selectors_that_select_nothing_say_what_there_is(plan, text, message):
    with pytest.raises(select.SelectionError) as raised:
        select.resolve(select.PlanCatalog(plan), [text])
    assert str(raised.value) == message


def named(module, function, name, **kwargs):
    made = record(module, function, **kwargs)
    made["decorator_metadata"]["name"] = name
    return made


@pytest.fixture(scope="module")
def typed():
    """Names and values as people type them."""
    return build_plan([
        record("sales.clean", "clean_sales", partitions={"k": [str(i) for i in range(12)]}),
        record("sales.raw", "load"),
        record("extra.raw", "load"),
        record("sales.shops", "by_store", partitions={"store": [7, "7", "12"]}),
        record("sales.shops", "by_year", partitions={"year": ["2023", "2024"], "code": ["001", "01"]}),
        named("sales.total", "sum_up", "totals"),
        named("sales.other", "other", "by_year"),  # a key that is another asset's function name
    ])


@pytest.mark.parametrize("texts, names", [
    (["clean_sales[k=1]"], ['sales.clean.clean_sales[k="1"]']),
    (['clean_sales[k="1"]', "clean_sales[k=%2211%22]"],
     ['sales.clean.clean_sales[k="1"]', 'sales.clean.clean_sales[k="11"]']),
    (["clean_sales[k=1*]"], ['sales.clean.clean_sales[k="1"]', 'sales.clean.clean_sales[k="10"]',
                             'sales.clean.clean_sales[k="11"]']),
    (["*.clean_sales[k=9..11]"], ['sales.clean.clean_sales[k="9"]', 'sales.clean.clean_sales[k="10"]',
                                  'sales.clean.clean_sales[k="11"]']),
    # A value is the integer when the dimension has it, else the string.
    (["by_store[store=7]"], ["sales.shops.by_store[store=7]"]),
    (['by_store[store="7"]', "by_store[store=12]"],
     ['sales.shops.by_store[store="7"]', 'sales.shops.by_store[store="12"]']),
    (["by_store[store=7..12]"], ["sales.shops.by_store[store=7]", 'sales.shops.by_store[store="7"]',
                                 'sales.shops.by_store[store="12"]']),
    (["sales.shops.by_year[year=2024,code=001]", "sales.shops.by_year[code=01,year=2023]"],
     ['sales.shops.by_year[code=001,year="2024"]', 'sales.shops.by_year[code=01,year="2023"]']),
    # A bare name is a function's name; a key is itself before any function's name.
    (["sum_up", "by_year", "totals+"], ["by_year", "totals"]),
])
def test_names_and_values_as_people_type_them(typed, texts, names):
    assert chosen(typed, *texts) == names


@pytest.mark.parametrize("text, message", [
    ("load", "--select load: 'load' names 2 assets: extra.raw.load, sales.raw.load; write one of them"),
    ("load[day=1]+", "--select load[day=1]+: 'load' names 2 assets: extra.raw.load, sales.raw.load; "
     "write one of them"),
    ("clean[k=1]", "--select clean matches no asset (the assets are: by_year, extra.raw.load, "
     "sales.clean.clean_sales, sales.raw.load, sales.shops.by_store, sales.shops.by_year, totals)"),
    ("clean_sales[k=12]", '--select clean_sales[k=12] matches no run (k: "0", "1", "2", "3", "4", ...)'),
    ("clean_sales[k=1..12]", "--select clean_sales[k=1..12]: '12' is not a value of k "
     '(its values: "0", "1", "2", "3", "4", ...)'),
    ("by_store[store=07]", '--select by_store[store=07] matches no run (store: 7, "7", "12")'),
])
def test_names_and_values_that_name_nothing_say_what_there_is(typed, text, message):
    with pytest.raises(select.SelectionError) as raised:
        select.resolve(select.PlanCatalog(typed), [text])
    assert str(raised.value) == message


def test_force_reruns_exactly_the_selected_runs_and_the_table_shows_them(plan):
    chosen = select.select_runs(plan, ["s.daily.by_day[day=2024-06-02]"], True)
    assert [plan.runs[i].name for i in chosen.runs] == [
        "s.ingest.raw[day=2024-06-02,region=eu]", "s.ingest.raw[day=2024-06-02,region=us]",
        "s.daily.by_day[day=2024-06-02]"]
    assert [plan.runs[i].name for i in sorted(chosen.forced)] == ["s.daily.by_day[day=2024-06-02]"]
    assert chosen.listed == chosen.forced
    everything = select.select_runs(plan, [], False)
    assert (len(everything.runs), everything.forced, everything.listed) == (len(plan.runs), set(), None)


def attempt(asset, partition, index, status=Status.SUCCEEDED):
    return AttemptRecord(asset, partition, partition or "-", index, "f", status, 0.0, None, None,
                         None, None, None)


def test_status_selects_on_the_history_alone():
    records = [attempt("a", "day=b,n=1", 0), attempt("a", "day=b,n=2", 1, Status.FAILED),
               attempt("a", "day=a,n=1", 2), attempt("a", "day=a,n=2", 3, Status.SKIPPED),
               attempt("top", "", 4, Status.TIMEOUT)]
    # The history met day=b first: that is the order of a range.
    assert [r.partition for r in select.select_records(records, ["a[day=b..a,n=2]"], False)] == [
        "day=b,n=2", "day=a,n=2"]
    assert [r.asset + r.partition for r in select.select_records(records, [], True)] == [
        "aday=b,n=2", "aday=a,n=2", "top"]
    assert [r.partition for r in select.select_records(records, ["a[n=1]"], True)] == []
    with pytest.raises(select.SelectionError) as raised:
        select.select_records(records, ["a[n=1]+"], False)
    assert str(raised.value) == ("--select a[n=1]+: what lies downstream is known from the plan: "
                                 "name the TARGETs too")


HISTORY = [attempt("m.cells", "k=%221%22", 0), attempt("m.cells", "k=%2211%22", 1),
           attempt("m.cells", "k=2", 2), attempt("m.cells", "k=a%2Fb", 3), attempt("n.other", "", 4)]


@pytest.mark.parametrize("text, partitions", [
    ("m.cells[k=1]", ["k=%221%22"]),
    ('m.cells[k="11"]', ["k=%2211%22"]),
    ("m.cells[k=1*]", ["k=%221%22", "k=%2211%22"]),
    ("m.cells[k=11..2]", ["k=%2211%22", "k=2"]),
    ("m.cells[k=a/b]", ["k=a%2Fb"]),
    ("m.cells[k=a%2Fb]", ["k=a%2Fb"]),
    ("cells[k=2]", ["k=2"]),
])
def test_status_reads_values_as_printed_on_the_history_alone(text, partitions):
    assert [r.partition for r in select.select_records(HISTORY, [text], False)] == partitions


@pytest.mark.parametrize("name, problem", [
    ("", "m.f: name='' cannot be the name of a folder (it is empty)"),
    ("a/b", "m.f: name='a/b' cannot be the name of a folder (it holds '/' or NUL)"),
    ("a\0b", "m.f: name='a\\x00b' cannot be the name of a folder (it holds '/' or NUL)"),
    (".", "m.f: name='.' cannot be the name of a folder (it starts with '.')"),
    ("..", "m.f: name='..' cannot be the name of a folder (it starts with '.')"),
    (".hidden", "m.f: name='.hidden' cannot be the name of a folder (it starts with '.')"),
    ("x" * 256, f"m.f: name='{'x' * 256}' cannot be the name of a folder (it is longer than 255 bytes)"),
    ("m.g", "m.g names two different assets (m.f and m.g)"),
])
def test_names_that_cannot_be_keys_are_plan_errors(name, problem):
    named = record("m", "f")
    named["decorator_metadata"]["name"] = name
    with pytest.raises(PlanError) as raised:
        build_plan([named, record("m", "g")])
    assert raised.value.problems == [problem]


HELPERS = '''\
import json

RATE = 2


class Frame:
    def scaled(self, x):
        return x * RATE


def to_records(x):
    return json.dumps(x)
'''

USERS = '''\
import json

from quarl import asset
from refs import helpers
from refs.helpers import Frame


@asset()
def through_class() -> int:
    return Frame().scaled(1)


@asset()
def through_module() -> str:
    return helpers.to_records(1)


@asset()
def also_through_module() -> str:
    return helpers.to_records(2)


@asset()
def outside_only() -> str:
    return json.dumps(1)
'''


def test_references_follow_project_code_only(tmp_path, monkeypatch):
    from quarl.references import References

    (tmp_path / "refs").mkdir()
    (tmp_path / "refs" / "__init__.py").write_text("")
    (tmp_path / "refs" / "helpers.py").write_text(HELPERS)
    (tmp_path / "refs" / "users.py").write_text(USERS)
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        import refs.users as users

        def digests():
            found = References()
            return {name: found.digest(getattr(users, name)) for name in (
                "through_class", "through_module", "also_through_module", "outside_only")}

        before = digests()
        assert before["through_module"] == before["also_through_module"]
        assert (before["through_class"] is None, before["through_module"] is None,
                before["outside_only"]) == (False, False, None)
        (tmp_path / "refs" / "helpers.py").write_text(HELPERS.replace("RATE = 2", "RATE = 3"))
        for name in ("refs.helpers", "refs.users"):
            sys.modules.pop(name)
        import refs.users as users  # noqa: F811
        after = digests()
        assert [name for name in before if before[name] != after[name]] == ["through_class"]
    finally:
        for name in [n for n in sys.modules if n == "refs" or n.startswith("refs.")]:
            del sys.modules[name]
