"""quarl ui at scale: how soon its pages are in the user's hands, and the server's memory.

First, a project of 10,000 runs: one source, one asset of 100 x 100 partitions (10,000 runs, a few
of which fail) and one asset that consumes them all (skipped, since some failed). `quarl run`
runs it for real, then `quarl ui` serves it and Debian's chromium (headless, through Selenium)
opens each page REPEAT times. A page's time runs from the navigation's start to the moment its
first drawing is laid out and painted (the page's own performance mark "quarl-drawn"); targets:
the graph page and the asset page of 10,000 partitions within 1 s. Then the server's peak
resident memory (VmHWM), target under 150 MB, and for scale each JSON answer's size and the
server's time for it.

Then an asset of 100,000 partitions (one dimension), with a history of one attempt per partition
(every 331st failed) written straight into SQLite through quarl.run.history, since running
100,000 processes would take the better part of an hour: the answers of its asset page (the
asset, with its grid counted by the server; a page of its runs; another page, slowest first) in
at most 1 s each, the first one included, and the server under 150 MB; the page in chromium for
scale.

    python bench/bench_ui.py [--quick] [--repeat N] [--only 10000|100000]

--quick plans 30 x 30 and 3,000 partitions, to try the script. The projects go to /dev/shm when
there is one, as in bench_run.py.
"""

import argparse
import contextlib
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

PY = sys.executable


def write_project(root, side):
    package = pathlib.Path(root, "uibench")
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "grid.py").write_text(
        "from quarl import asset, partitions\n\n"
        f"ROWS = partitions([f'r{{i:03}}' for i in range({side})])\n"
        f"COLUMNS = partitions(list(range({side})))\n\n\n"
        "@asset()\ndef base() -> int:\n    return 7\n\n\n"
        "@asset(inputs={'b': base}, partitions={'row': ROWS, 'column': COLUMNS})\n"
        "def cell(b: int, row: str, column: int) -> dict[str, int]:\n"
        f"    n = int(row[1:]) * {side} + column\n"
        "    if n % 331 == 330:\n"
        "        raise ValueError(f'no cell {n}')\n"
        "    return {'n': n, 'b': b}\n\n\n"
        "@asset(inputs={'cells': cell})\ndef total(cells: list[dict[str, object]]) -> int:\n"
        "    return len(cells)\n")


@contextlib.contextmanager
def served(cwd, target):
    """quarl ui serving TARGET: its process, its URL, and a function that opens a browser; the
    browsers opened are closed and the server stopped at the end."""
    process = subprocess.Popen([PY, "-m", "quarl", "ui", target, "--port", "0"], cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    found = re.search(r"(http://127\.0\.0\.1:\d+)/", line)
    if not found:
        process.kill()
        sys.exit(f"quarl ui did not start: {line}{process.communicate()[1]}")
    drivers = []

    def open_browser():
        drivers.append(browser())
        return drivers[-1]

    try:
        yield process, found[1], open_browser
    finally:
        for driver in drivers:
            driver.quit()
        process.terminate()
        process.wait()


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                            options=options)


def page_time(driver, url):
    """Milliseconds from the navigation's start to the page's first drawing, painted."""
    driver.get(url)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        drawn = driver.execute_script(
            "const m = performance.getEntriesByName('quarl-drawn'); return m.length ? m[0].startTime : null")
        if drawn is not None:
            return drawn
        time.sleep(0.02)
    sys.exit(f"{url} never drew itself")


def memory_kb(pid, field):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def timed_get(url):
    begin = time.perf_counter()
    with urllib.request.urlopen(url) as answer:
        size = len(answer.read())
    return time.perf_counter() - begin, size


def ten_thousand(args, base):
    side = 30 if args.quick else 100
    with tempfile.TemporaryDirectory(dir=base) as root:
        write_project(root, side)
        start = time.perf_counter()
        done = subprocess.run([PY, "-m", "quarl", "run", "uibench", "--jobs", "2"], cwd=root,
                              capture_output=True, text=True)
        if done.returncode != 1:
            sys.exit(f"quarl run should have failed a few cells:\n{done.stderr[-2000:]}")
        print(f"{done.stdout.splitlines()[-1]} "
              f"(quarl run took {time.perf_counter() - start:.1f} s)")
        with served(root, "uibench") as (process, url, open_browser):
            driver = open_browser()
            pages = [("graph page", "/", 1000), ("asset page, %d partitions" % (side * side),
                                                  "/asset?key=uibench.grid.cell", 1000),
                     ("run page of the consumer of every partition", "/run?asset=uibench.grid.total", None),
                     ("last-run page (timeline)", "/invocation", None)]
            for name, path, target in pages:
                page_time(driver, url + path)  # the first load warms the browser's caches
                times = [page_time(driver, url + path) for _ in range(args.repeat)]
                report(f"{name}: request to drawn, ms (median of {args.repeat})", statistics.median(times), target)
            for api in ("/api/graph", "/api/asset?key=uibench.grid.cell", "/api/runs?key=uibench.grid.cell",
                        "/api/invocation", "/api/run?asset=uibench.grid.total"):
                times = []
                for _ in range(args.repeat):
                    seconds, size = timed_get(url + api)
                    times.append(seconds)
                print(f"{api:<40} {size / 1024:8.0f} KB  {statistics.median(times) * 1000:7.1f} ms")
            report("quarl ui server: peak resident memory, MB", memory_kb(process.pid, "VmHWM") / 1024, 150)


def write_history(root, count):
    """One attempt per partition, as `quarl run` would have recorded them."""
    code = (f"import sys, time\nsys.path.insert(0, {root!r})\n"
            "from quarl.run import layout, pipeline\n"
            "from quarl.run.plan import Basis, fingerprint\n"
            "from quarl.run.history import AttemptRecord, History\n"
            "from quarl.run.status import Status\n"
            "plan = pipeline.plan_project(['manybench'], pipeline.worker_environment([]))\n"
            "history = History.open('quarl-out', create=True)\n"
            "invocation = history.begin('quarl run manybench')\n"
            "start = time.time() - 3600\n"
            "def record(run):\n"
            "    status = Status.FAILED if run.index % 331 == 330 else Status.SUCCEEDED\n"
            "    name = layout.partition_folder(run.partition)\n"
            "    return AttemptRecord(run.asset.key, name, run.label, run.index,\n"
            "                         fingerprint(Basis(run.asset.code, run.partition)), status,\n"
            "                         start + run.index * 0.03, 0.05 + run.index % 97 / 100,\n"
            "                         int(status != Status.SUCCEEDED), 'ValueError: no' if status == Status.FAILED else None,\n"
            "                         'int', f'quarl-out/{run.asset.key}/{name}')\n"
            "history.add(invocation, (record(run) for run in plan.runs))\n"
            "history.finish(invocation, 1)\n"
            "history.close()\n")
    os.makedirs(os.path.join(root, "quarl-out"))
    subprocess.run([PY, "-c", code], cwd=root, check=True)


def hundred_thousand(args, base):
    count = 3_000 if args.quick else 100_000
    with tempfile.TemporaryDirectory(dir=base) as root:
        package = pathlib.Path(root, "manybench")
        package.mkdir()
        (package / "__init__.py").write_text("")
        (package / "days.py").write_text(
            "from quarl import asset, partitions\n\n"
            f"DAYS = partitions([f'd{{i:06}}' for i in range({count})])\n\n\n"
            "@asset(partitions={'day': DAYS})\ndef reading(day: str) -> int:\n    return len(day)\n")
        begin = time.perf_counter()
        write_history(root, count)
        print(f"history of {count:,} attempts written in {time.perf_counter() - begin:.1f} s")
        begin = time.perf_counter()
        with served(root, "manybench") as (process, url, open_browser):
            print(f"quarl ui planned and serving in {time.perf_counter() - begin:.1f} s, "
                  f"resident {memory_kb(process.pid, 'VmRSS') / 1024:.0f} MB")
            key = "manybench.days.reading"
            answers = [("the asset (grid counted by the server)", f"/api/asset?key={key}"),
                       ("a page of its runs", f"/api/runs?key={key}&page=7"),
                       ("a page of its failed runs, slowest first", f"/api/runs?key={key}&show=failed&order=slowest"),
                       ("the graph", "/api/graph")]
            for name, api in answers:
                first, size = timed_get(url + api)
                times = [timed_get(url + api)[0] for _ in range(args.repeat)]
                report(f"{count:,} partitions, {name}: first answer, ms ({size / 1024:.0f} KB)", first * 1000, 1000)
                report(f"{count:,} partitions, {name}: median of {args.repeat}, ms", statistics.median(times) * 1000, 1000)
            driver = open_browser()
            page_time(driver, url + f"/asset?key={key}")
            times = [page_time(driver, url + f"/asset?key={key}") for _ in range(args.repeat)]
            report(f"asset page of {count:,} partitions: request to drawn, ms (median of {args.repeat})",
                   statistics.median(times))
            report("quarl ui server: peak resident memory, MB", memory_kb(process.pid, "VmHWM") / 1024, 150)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", choices=["10000", "100000"])
    args = parser.parse_args()
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    if args.only != "100000":
        ten_thousand(args, base)
    if args.only != "10000":
        hundred_thousand(args, base)


if __name__ == "__main__":
    main()
