"""Checks of asset values and per-asset retries, end to end on tests/fixtures/checks (copied per
test): what a failed check publishes, what it does downstream and to the exit status; quarl check
on published values; which failures are retried; the history's check results per attempt."""

import json
import re
import shutil
import signal
import sqlite3
import subprocess
import sys

import pytest

from conftest import FIXTURES, sanitizer_env
from quarl.contract import CheckResult
from quarl.options import exception_names
from quarl.run import history as history_module
from quarl.run.history import History
from quarl.run.plan import PlanError, build_plan
from quarl.run.retry import RetryPolicy, not_retried
from quarl.values import ValueStoreError
from test_plan import record
from test_ui import browser, open_page  # noqa: F401 (a fixture)


@pytest.fixture
def project(tmp_path):
    shutil.copytree(FIXTURES / "checks", tmp_path / "proj")
    (tmp_path / "tries").mkdir()
    return tmp_path / "proj"


def quarl(project, *args, **env):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=project, capture_output=True, text=True,
                          env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1",
                               "QUALITY_TRIES": str(project.parent / "tries"), **env})


def runs(done):
    """{"function[day]": (status, attempts, error)} from the --json output."""
    return {r["asset"].rpartition(".")[2] + (f"[{r['partition']['day']}]" if r["partition"] else ""):
            (r["status"], r["attempts"], r["error"]) for r in json.loads(done.stdout)["runs"]}


def edit(project, module, old, new):
    path = project / "quality" / f"{module}.py"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


def published(project, *parts, name="value.json"):
    return (project / "quarl-out").joinpath(*parts, name).read_bytes()


# --- what a failed check does -------------------------------------------------------------------

REFUND = "check no_refunds failed: 1 negative"


@pytest.mark.parametrize("severity, blocking, orders, statuses, exit_status", [
    ("error", True, b"[3, 4]", {"orders": ("check failed", 1, REFUND),
                                "total": ("skipped", 0, "quality.orders.orders check failed")}, 1),
    ("error", False, b"[3, -1]", {"orders": ("succeeded, check failed", 1, REFUND),
                                  "total": ("succeeded", 1, None)}, 1),
    ("warn", True, b"[3, -1]", {"orders": ("succeeded, check warned", 1, "check no_refunds warned: 1 negative"),
                                "total": ("succeeded", 1, None)}, 0),
    ("warn", False, b"[3, -1]", {"orders": ("succeeded, check warned", 1, "check no_refunds warned: 1 negative"),
                                 "total": ("succeeded", 1, None)}, 0),
])
def test_a_failed_check_publishes_and_ends_as_its_severity_and_blocking_say(
        project, severity, blocking, orders, statuses, exit_status):
    edit(project, "orders", 'severity="error", blocking=True', f"severity={severity!r}, blocking={blocking}")
    assert quarl(project, "run", "quality.orders").returncode == 0
    done = quarl(project, "run", "quality.orders", "--force", "--json", QUALITY_ORDERS="3,-1")
    assert (done.returncode, runs(done)) == (exit_status, statuses), done.stderr
    assert published(project, "quality.orders.orders") == orders
    # Its record and the history keep the result with the metadata the check returned.
    last = json.loads(quarl(project, "status", "--json").stdout)["runs"]
    assert [r["checks"] for r in last if r["asset"] == "quality.orders.orders"] == [
        {"no_refunds": {"result": "warned" if severity == "warn" else "failed", "attempt": 2,
                        "message": "1 negative", "metadata": {"rows": 2, "negative": 1}}}]
    if blocking and severity == "error":
        kept = project / "quarl-out" / ".quality.orders.orders.failed"
        assert (kept / "value.json").read_bytes() == b"[3, -1]"
        assert (kept / "stderr.log").read_text() == "quarl: check no_refunds failed: 1 negative\n"
        # The next run tries it again, as after any failure.
        again = quarl(project, "run", "quality.orders", "--json")
        assert runs(again)["orders"] == ("succeeded", 1, None)


def test_a_partitioned_assets_check_fails_the_one_partition_it_fails_on(project):
    done = quarl(project, "run", "quality.days", "--json", QUALITY_BAD_DAY="d2")
    assert (done.returncode, runs(done)) == (1, {
        "sales[d1]": ("succeeded", 1, None),
        "sales[d2]": ("check failed", 1, "check positive_units failed: AssertionError: -1 units on d2"),
        "sales[d3]": ("succeeded", 1, None),
        "week": ("skipped", 0, "quality.days.sales[day=d2] check failed")}), done.stderr
    out = project / "quarl-out" / "quality.days.sales"
    assert sorted(p.name for p in out.iterdir()) == [".day=d2.failed", "day=d1", "day=d3"]
    log = (out / ".day=d2.failed" / "stderr.log").read_text()
    assert log.startswith('Traceback (most recent call last):\n  File "')
    assert log.endswith("AssertionError: -1 units on d2\nquarl: check positive_units failed: AssertionError: "
                        "-1 units on d2\n")
    status = quarl(project, "status", "--select", "sales")
    assert said(status.stdout) == STATUS_OF_DAYS, status.stdout


STATUS_OF_DAYS = """\
asset               partition  status        duration  ended     checks                 result                                                       log
quality.days.sales  day=d1     succeeded     X    X  1 passed               dict (pickle)
quality.days.sales  day=d2     check failed  X    X  positive_units failed  check positive_units failed: AssertionError: -1 units on d2  quarl-out/quality.days.sales/.day=d2.failed/stderr.log
quality.days.sales  day=d3     succeeded     X    X  1 passed               dict (pickle)

3 runs of 4 in the history, last attempts: 2 succeeded, 1 check failed
"""


def said(table):
    """A table with its durations and times of day left out."""
    return re.sub(r"\d+\.\d\d s|\d\d:\d\d:\d\d", "X", table)


# --- quarl check ---------------------------------------------------------------------------------

EDITED_CHECK = """\
asset               partition  check           result  evaluated on  message
quality.days.sales  day=d1     positive_units  failed  attempt 1     AssertionError: 5 units on d1
quality.days.sales  day=d2     positive_units  failed  attempt 1     AssertionError: 5 units on d2

2 checks: 2 failed
"""


STALE = """\
asset               partition  status     duration  ended     checks                state       result
quality.days.sales  day=d1     succeeded  X    X  positive_units stale  up to date  dict (pickle)

1 run of 4 in the history, last attempts: 1 succeeded; 0 stale
"""


def test_an_edited_check_is_stale_and_quarl_check_evaluates_it_on_the_published_values(project):
    assert quarl(project, "run", "quality.days").returncode == 0
    records = {p.name: p.joinpath("run.json").read_bytes() for p in (project / "quarl-out/quality.days.sales").iterdir()}
    edit(project, "days", 'value["units"] > 0', 'value["units"] > 5')
    status = quarl(project, "status", "quality.days", "--select", "sales[day=d1]")
    assert said(status.stdout) == STALE, status.stdout
    # The check's code is its own fingerprint: the values stay up to date.
    rerun = quarl(project, "run", "quality.days")
    assert (rerun.returncode, rerun.stdout.splitlines()[-1]) == (0, "4 runs: 4 up to date")
    done = quarl(project, "check", "quality.days", "--stale", "--select", "sales[day=d1..d2]")
    assert (done.returncode, done.stdout) == (1, EDITED_CHECK), done.stderr
    rest = quarl(project, "check", "quality.days", "--stale", "--json")
    assert (rest.returncode, json.loads(rest.stdout)) == (1, {"exit_status": 1, "checks": [
        {"asset": "quality.days.sales", "partition": {"day": "d3"}, "check": "positive_units", "severity": "error",
         "blocking": True, "result": "failed", "attempt": 1, "message": "AssertionError: 5 units on d3",
         "metadata": None}]})
    assert quarl(project, "check", "quality.days", "--stale").stdout == "0 checks; 3 up to date, not evaluated again\n"
    # Nothing was run again or published.
    assert {p.name: p.joinpath("run.json").read_bytes()
            for p in (project / "quarl-out/quality.days.sales").iterdir()} == records
    assert quarl(project, "status", "--failed", "--select", "sales").stdout.endswith(
        "0 runs of 4 in the history\n")


# --- retries per asset ---------------------------------------------------------------------------

SAME = "comes out the same on every attempt (quarl.retry(on=...) may name"


@pytest.mark.parametrize("retries, env, expected", [
    pytest.param(2, {"PLAIN": "AssertionError", "FETCHED": "ConnectionRefusedError:1", "ASSERTED": "AssertionError:1",
                     "CHECKED": "99"}, {
        "plain": ("failed", 1, f"AssertionError: plain down; not retried: AssertionError {SAME} AssertionError)"),
        "fetched": ("succeeded", 2, None), "asserted": ("succeeded", 2, None),
        "checked": ("check failed", 1, "check first_attempt_fails failed: returned False; not retried: a check's "
                                       f"failure {SAME} quarl.CheckFailed)")}, id="refused unless on= names it"),
    pytest.param(2, {"PLAIN": "TypeError", "FETCHED": "ValueError"}, {
        "plain": ("failed", 1, f"TypeError: plain down; not retried: TypeError {SAME} TypeError)"),
        "fetched": ("failed", 1, "ValueError: fetched down; not retried: ValueError is not in "
                                 "quarl.retry(on=(ConnectionError))"),
        "asserted": ("succeeded", 1, None), "checked": ("succeeded", 1, None)}, id="on= limits what is retried"),
    pytest.param(1, {"PLAIN": "ValueError", "FETCHED": "ConnectionRefusedError", "ASSERTED": "TypeError"}, {
        "plain": ("failed", 2, "ValueError: plain down"),
        "fetched": ("failed", 3, "ConnectionRefusedError: fetched down"),
        "asserted": ("failed", 1, f"TypeError: asserted down; not retried: TypeError {SAME} TypeError)"),
        "checked": ("succeeded", 1, None)}, id="--retries for assets that say nothing"),
])
def test_a_failure_is_retried_as_its_asset_says_when_it_is_worth_it(project, retries, env, expected):
    # NAME: KIND raises KIND on every attempt, KIND:N on the first N; CHECKED: N fails the check N times.
    env = dict(env)
    variables = {"QUALITY_CHECK_FAILS_UNTIL": env.pop("CHECKED", "0")}
    for name, said_ in env.items():
        kind, _, until = said_.partition(":")
        variables[f"QUALITY_RAISE_{name}"] = kind
        if until:
            variables[f"QUALITY_OK_AFTER_{name}"] = until
    done = quarl(project, "run", "quality.flaky", "--select", "plain", "fetched", "asserted", "checked",
                 "--retries", str(retries), "--retry-delay", "0", "--json", **variables)
    assert (done.returncode, runs(done)) == (1, expected), done.stderr
    tries = project.parent / "tries"
    assert {name: (tries / name).stat().st_size for name in expected} == {
        name: attempts for name, (_, attempts, _) in expected.items()}


@pytest.mark.parametrize("error, on, expected", [
    (ValueStoreError("column 'tags': holds list values"), None,
     f"quarl.values.ValueStoreError {SAME} quarl.values.ValueStoreError)"),
    (ValueStoreError("column 'tags': holds list values"), ("quarl.values.ValueStoreError",), None),
    (ValueError("a value"), None, None),
])
def test_a_value_its_serializer_refuses_is_not_retried_unless_named(error, on, expected):
    assert not_retried(RetryPolicy(2, on=on), exception_names(error)) == expected


# --- the history of check results ----------------------------------------------------------------

def test_each_attempts_check_results_are_kept(project):
    done = quarl(project, "run", "quality.flaky", "--select", "rechecked", "--json")
    assert (done.returncode, runs(done)) == (0, {"rechecked": ("succeeded", 2, None)}), done.stderr
    history = History.open(str(project / "quarl-out"), create=False)
    try:
        kept = history.checks_of("quality.flaky.rechecked", "")
        last = history.last_checks()
    finally:
        history.close()
    fingerprint = kept[2][0].fingerprint
    assert kept == {1: [CheckResult("second_attempt_passes", False, "error", True, "attempt 1", None, fingerprint)],
                    2: [CheckResult("second_attempt_passes", True, "error", True, None, None, fingerprint)]}
    assert {run: {name: (r.result.passed, r.attempt) for name, r in checks.items()} for run, checks in last.items()} == {
        ("quality.flaky.rechecked", ""): {"second_attempt_passes": (True, 2)}}
    # quarl check on the published value (attempt 2) adds a result to that attempt.
    assert quarl(project, "check", "quality.flaky", "--select", "rechecked").stdout.splitlines()[1].split() == [
        "quality.flaky.rechecked", "-", "second_attempt_passes", "passed", "attempt", "2"]
    history = History.open(str(project / "quarl-out"), create=False)
    try:
        assert [len(results) for _, results in sorted(history.checks_of("quality.flaky.rechecked", "").items())] == [1, 2]
    finally:
        history.close()


def test_a_history_of_format_1_is_read_as_it_is_and_gains_check_results_when_written(tmp_path):
    path = tmp_path / history_module.FILE_NAME
    with sqlite3.connect(path) as db:
        db.executescript(f"{history_module._SCHEMA} PRAGMA user_version = 1;")
        db.execute("INSERT INTO invocation(started, command) VALUES (1, 'quarl run m')")
        db.execute("INSERT INTO attempt(invocation, asset, partition, label, plan_index, fingerprint, status, "
                   "started) VALUES (1, 'm.a', '', '-', 0, 'f', 'succeeded', 1)")
    db.close()
    for create, version in ((False, 1), (True, 2)):
        history = History.open(str(tmp_path), create=create)
        try:
            assert ([r.asset for r in history.latest()], history.last_checks()) == (["m.a"], {})
        finally:
            history.close()
        with sqlite3.connect(path) as db:
            assert db.execute("PRAGMA user_version").fetchone()[0] == version
        db.close()
    history = History.open(str(tmp_path), create=True)
    try:
        result = CheckResult("c", False, "warn", False, "low", {"rows": 3}, "p")
        history.add_checks(history.begin("quarl check m"), [(1, "m.a", "", result)])
        assert history.checks_of("m.a", "") == {1: [result]}
    finally:
        history.close()


# --- declaring checks and retries ----------------------------------------------------------------

@pytest.mark.parametrize("declare, message", [
    ("quarl.check(42)", "TypeError: quarl.check() takes an @asset or an asset's reference string, not int"),
    ("quarl.check(a, severity='fatal')", "ValueError: quarl.check(): severity must be 'error' or 'warn', not 'fatal'"),
    ("quarl.check(a, blocking=1)", "TypeError: quarl.check(): blocking must be True or False, not 1"),
    ("quarl.check(a)(a)", "TypeError: quarl.check() decorates a plain function, not AssetWrapper"),
    ("quarl.retry(-1)", "ValueError: quarl.retry(): times must be an int of 0 or more, not -1"),
    ("quarl.retry(1, delay=float('nan'))", "ValueError: quarl.retry(): delay must be a number of seconds, 0 or more, "
                                           "not nan"),
    ("quarl.retry(1, on=(ValueError, 'x'))", "TypeError: quarl.retry(): on= takes exception classes, not 'x'"),
    ("quarl.retry(1)(quarl.retry(2)(a))", "TypeError: quarl.retry() is given twice for a"),
    ("quarl.retry(1)(print)", "TypeError: quarl.retry() decorates a function or an @asset, not "
                              "builtin_function_or_method"),
])
def test_a_misdeclared_check_or_retry_says_what_is_wrong(declare, message):
    import quarl

    @quarl.asset()
    def a() -> int:
        return 1

    with pytest.raises((TypeError, ValueError)) as raised:
        eval(declare, {"quarl": quarl, "a": a})
    assert f"{type(raised.value).__name__}: {raised.value}" == message


@pytest.mark.parametrize("checks, problem", [
    ([{"asset": "/p/m.py:gone"}], "check m.positive: '/p/m.py:gone' is not an asset of this project"),
    ([{}, {"module": "n"}], "m.a: two checks are named positive (m.positive and n.positive)"),
    ([{"problem": "check m.outer.<locals>.inner: a check must be a function at the top level of its module, "
                  "under its own name"}],
     "check m.outer.<locals>.inner: a check must be a function at the top level of its module, under its own name"),
])
def test_a_check_that_cannot_be_run_is_a_plan_error(checks, problem):
    found = [{"asset": "/p/m.py:a", "name": "positive", "module": "m", "function": "positive", "severity": "error",
              "blocking": True, "fingerprint": "c", **check} for check in checks]
    with pytest.raises(PlanError) as raised:
        build_plan([record("m", "a")], found)
    assert raised.value.problems == [problem]


# --- the UI --------------------------------------------------------------------------------------

def test_the_asset_page_lists_its_checks_with_their_last_result_per_partition(project, browser):
    assert quarl(project, "run", "quality.days").returncode == 0
    assert quarl(project, "run", "quality.days", "--force", QUALITY_BAD_DAY="d2").returncode == 1
    # The value still published for d2 (attempt 1's) passes again: that never hides attempt 2's failure.
    assert quarl(project, "check", "quality.days", "--select", "sales[day=d2]").stdout.splitlines()[1].split() == [
        "quality.days.sales", "day=d2", "positive_units", "passed", "attempt", "1"]
    server = subprocess.Popen([sys.executable, "-m", "quarl", "ui", "quality.days", "--port", "0"], cwd=project,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
    try:
        port = re.search(r"127\.0\.0\.1:(\d+)/", server.stdout.readline())[1]
        open_page(browser, port, "/asset?key=quality.days.sales")
        rows = browser.execute_script(
            "return [...document.querySelectorAll('table.checks tr')].map(r => r.innerText.split('\\n').join(' '))")
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(timeout=30)
    # The failure first: a partition whose last result is not a pass.
    assert rows == ["partition\tpositive_units error, blocking · passed 2, failed 1",
                    "day=d2\tfailed on attempt 2 AssertionError: -1 units on d2",
                    "day=d1\tpassed on attempt 2",
                    "day=d3\tpassed on attempt 2"]
