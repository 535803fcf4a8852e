"""The scheduler and the attempt lifecycle in this process, on an executor that plays the workers:
each start follows a script of what its worker does (writes a value, fails, is lost, hangs)."""

import os
import signal

import pytest

from quarl import contract
from quarl.run.executors import base
from quarl.run.executors.base import Exited, Lost
from quarl.run.history import History
from quarl.run.plan import build_plan
from quarl.run.scheduler import Options, Scheduler
from quarl.run.storage.local import LocalStorage
from test_plan import record


class ScriptedExecutor:
    """Runs nothing: each start takes the next step of its function's script. "ok" and "fail"
    write the records a worker writes and exit; "lost" loses the worker; "hang" runs until it is
    killed, "frozen" even then, "late" is said to have ended when the next worker starts;
    "interrupt" hangs and sends this process SIGINT."""

    broken = None

    def __init__(self, script, slots=2):
        self.slots = slots
        self.script = script  # each step taken is removed
        self.started = []
        self.hanging = {}
        self.reports = []
        self.late = []

    def start(self, launch):
        """A batch's runs take their steps one after another, until one does not end."""
        self.reports += [Exited(key, -signal.SIGKILL) for key in self.late]
        self.late = []
        batch = launch.args[0] == "--batch"
        for request in contract.read_batch(launch.args[1]) if batch else [contract.read_request(launch.args[1])]:
            function = request.function
            self.started.append(function)
            step = self.script[function].pop(0)
            if step in ("ok", "fail"):
                ok = step == "ok"
                if ok:
                    with open(os.path.join(request.folder, "value.json"), "w") as file:
                        file.write("1")
                contract.write_run_record(request.folder, contract.success_record(
                    request, value_file="value.json", artifact_format="json", serializer=None, result_type="int")
                    if ok else contract.failure_record(request, f"ValueError: {function} broke", "ValueError"))
                continue
            if step == "lost":
                self.reports.append(Lost(launch.key, "the warm server died (killed by SIGKILL)"))
            else:
                self.hanging[launch.key] = step
                if step == "interrupt":
                    os.kill(os.getpid(), signal.SIGINT)
            return None
        self.reports.append(Exited(launch.key, 0 if batch or ok else 1))
        return None

    def kill(self, keys):
        for key in keys:
            step = self.hanging.pop(key, "frozen")
            if step == "late":
                self.late.append(key)
            elif step != "frozen":
                self.reports.append(Exited(key, -signal.SIGKILL))

    def wait(self, timeout):
        reports, self.reports = self.reports, []
        return reports

    def wake(self):
        pass


class Shown:
    def started(self, run, attempt):
        pass

    def finished(self, result):
        pass


# a -> b -> c, and d on its own
PLAN = [record("m", "a"), record("m", "b", inputs={"x": "m.py:a"}), record("m", "c", inputs={"x": "m.py:b"}),
        record("m", "d")]


def run(tmp_path, script, slots=2, plan=PLAN, **options):
    plan = build_plan(plan)
    history = History.open(str(tmp_path), create=True)
    executor = ScriptedExecutor(script, slots)
    try:
        scheduler = Scheduler(plan, range(len(plan.runs)), set(), str(tmp_path), executor, history,
                              history.begin("quarl run m"), Shown(), Options(**options))
        results = scheduler.run()
        rows = [(r.asset, r.status) for r in history.latest()]
    finally:
        history.close()
    return ({r.run.asset.function + (f"[{r.run.label}]" if r.run.partition else ""): (str(r.status), r.attempts, r.error)
             for r in results}, executor.started,
            scheduler.interrupted, rows)


@pytest.mark.parametrize("script, options, expected", [
    pytest.param({"a": ["fail"], "d": ["ok"]}, {}, {
        "a": ("failed", 1, "ValueError: a broke"), "b": ("skipped", 0, "m.a failed"),
        "c": ("skipped", 0, "m.b skipped"), "d": ("succeeded", 1, None)}, id="a failure skips its downstream"),
    pytest.param({"a": ["fail", "ok"], "b": ["ok"], "c": ["ok"], "d": ["ok"]}, {"retries": 1, "retry_delay": 0}, {
        "a": ("succeeded", 2, None), "b": ("succeeded", 1, None), "c": ("succeeded", 1, None),
        "d": ("succeeded", 1, None)}, id="retries"),
    pytest.param({"a": ["lost", "ok"], "b": ["lost", "lost"], "d": ["ok"]}, {}, {
        "a": ("succeeded", 1, None),
        "b": ("failed", 1, "the warm server died (killed by SIGKILL), twice"),
        "c": ("skipped", 0, "m.b failed"), "d": ("succeeded", 1, None)}, id="a lost worker is run once more"),
    pytest.param({"a": ["hang"], "d": ["ok"]}, {"timeout": 0.05}, {
        "a": ("timeout", 1, "timed out after 0.05 s"), "b": ("skipped", 0, "m.a timeout"),
        "c": ("skipped", 0, "m.b skipped"), "d": ("succeeded", 1, None)}, id="timeout"),
    pytest.param({"a": ["frozen"], "d": ["ok"]}, {"timeout": 0.05}, {
        "a": ("timeout", 1, "timed out after 0.05 s"), "b": ("skipped", 0, "m.a timeout"),
        "c": ("skipped", 0, "m.b skipped"), "d": ("succeeded", 1, None)}, id="a worker that ignores its kill"),
    pytest.param({"a": ["late", "ok"], "b": ["ok"], "c": ["ok"], "d": ["ok"]},
                 {"timeout": 0.05, "retries": 1, "retry_delay": 0}, {
        "a": ("succeeded", 2, None), "b": ("succeeded", 1, None), "c": ("succeeded", 1, None),
        "d": ("succeeded", 1, None)}, id="a worker given up on ends later"),
    pytest.param({"a": ["fail"]}, {"fail_fast": True}, {
        "a": ("failed", 1, "ValueError: a broke"), "b": ("skipped", 0, "m.a failed"),
        "c": ("skipped", 0, "m.b skipped"), "d": ("not started", 0, None)}, id="fail fast"),
])
def test_outcomes_decide_what_runs_next(tmp_path, monkeypatch, script, options, expected):
    monkeypatch.setattr(base, "KILL_GRACE", 0.05)
    monkeypatch.setattr(base, "REMOTE_GRACE", 0.05)
    slots = 1 if options.get("fail_fast") else 2
    steps = {name: list(steps) for name, steps in script.items()}
    results, started, interrupted, rows = run(tmp_path, steps, slots, **options)
    assert (results, interrupted) == (expected, False)
    assert {name: left for name, left in steps.items() if left} == {}  # every step was taken
    # Only the folder of a worker that may live on is left, to it.
    left = [name.split(".attempt-")[0] for name in os.listdir(tmp_path) if ".attempt-" in name]
    assert left == [f".m.{name}" for name, steps in script.items() if "frozen" in steps]
    assert rows == [(f"m.{name}", status) for name, (status, _, _) in expected.items() if status != "not started"]


def test_a_second_run_finds_everything_up_to_date(tmp_path):
    run(tmp_path, {name: ["ok"] for name in "abcd"})
    results, started, _, _ = run(tmp_path, {})
    assert (set(s for s, _, _ in results.values()), started) == ({"up to date"}, [])


def test_an_interrupt_kills_what_runs_and_starts_nothing(tmp_path):
    results, started, interrupted, rows = run(tmp_path, {"a": ["hang"], "d": ["interrupt"]})
    assert interrupted
    assert results == {"a": ("interrupted", 1, None), "b": ("not started", 0, None),
                       "c": ("not started", 0, None), "d": ("interrupted", 1, None)}
    assert rows == [("m.a", "interrupted"), ("m.d", "interrupted")]
    assert os.listdir(tmp_path) == ["quarl-history.db"]  # the attempts' folders are gone


@pytest.mark.parametrize("delay, order", [(0, ["a", "a", "d", "b", "c"]), (0.3, ["a", "d", "a", "b", "c"])])
def test_a_retry_waits_its_delay_without_holding_a_slot(tmp_path, delay, order):
    script = {"a": ["fail", "ok"], "b": ["ok"], "c": ["ok"], "d": ["ok"]}
    results, started, _, _ = run(tmp_path, script, slots=1, retries=1, retry_delay=delay)
    assert (started, results["a"]) == (order, ("succeeded", 2, None))


class Batches(LocalStorage):
    """The output folder, saying which attempts it was asked to publish together."""

    def __init__(self, out):
        super().__init__(out)
        self.batches = []

    def publish(self, jobs):
        self.batches.append(sorted(job.request.function for job in jobs))
        return super().publish(jobs)


@pytest.mark.parametrize("in_the_way", [False, True])
def test_attempts_that_finish_together_are_published_together(tmp_path, in_the_way):
    # a and d end in the same wait: one batch. Should d's place be taken (a file where its folder
    # goes), a is published and recorded all the same, and d fails without touching it.
    if in_the_way:
        (tmp_path / "m.d").write_text("in the way")
    storage = Batches(str(tmp_path))
    plan = build_plan(PLAN)
    history = History.open(str(tmp_path), create=True)
    try:
        scheduler = Scheduler(plan, range(len(plan.runs)), set(), storage, ScriptedExecutor(
            {name: ["ok"] for name in "abcd"}), history, history.begin("quarl run m"), Shown(), Options())
        results = {r.run.asset.function: (str(r.status), r.error and r.error.split(":")[0]) for r in scheduler.run()}
        rows = {r.asset: str(r.status) for r in history.latest()}
    finally:
        history.close()
    assert storage.batches[0] == ["a", "d"]
    assert results["d"] == (("failed", "could not publish the run") if in_the_way else ("succeeded", None))
    assert {name: status for name, (status, _) in results.items()} == {f.partition(".")[2]: s for f, s in rows.items()}
    assert (tmp_path / "m.a/run.json").exists() and (tmp_path / "m.d").is_dir() != in_the_way


# p[k=0..2], in batches of 3
BATCHED = [{**record("m", "p", partitions={"k": [0, 1, 2]}), "options": {"batch": 3}}]


@pytest.mark.parametrize("steps, options, expected, left", [
    # Killed at run 1's timeout and never reported ended: its folders stay with it; run 1 times
    # out, 0 and 2 run again alone in new attempts.
    (["ok", "frozen", "ok", "ok"], {"timeout": 0.05}, ["succeeded", "timeout", "succeeded"], 3),
    (["ok", "lost", "ok", "ok", "ok"], {}, ["succeeded"] * 3, 0),  # every run again alone
    (["ok", "interrupt"], {}, ["succeeded", "interrupted", "interrupted"], 0),  # 0 had ended
])
def test_what_becomes_of_a_batch_whose_process_does_not_end_well(tmp_path, monkeypatch, steps, options,
                                                                  expected, left):
    monkeypatch.setattr(base, "KILL_GRACE", 0.05)
    script = {"p": list(steps)}
    results, started, _, rows = run(tmp_path, script, plan=BATCHED, **options)
    assert [status for status, _, _ in results.values()] == expected
    assert (script, len(rows)) == ({"p": []}, 3)
    assert sum(".attempt-" in name for name in os.listdir(tmp_path / "m.p")) == left
