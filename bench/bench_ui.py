"""quarl ui on a project of 10,000 runs: how soon its pages are in the user's hands, and the
server's memory.

The project: one source, one asset of 100 x 100 partitions (10,000 runs, a few of which fail) and
one asset that consumes them all (skipped, since some failed). `quarl run` runs it for real, then
`quarl ui` serves it and Debian's chromium (headless, through Selenium) opens each page REPEAT
times. A page's time runs from the navigation's start to the moment its first drawing is laid
out and painted (the page's own performance mark "quarl-drawn"); targets: the graph page and the
asset page of 10,000 partitions within 1 s. Then the server's peak resident memory (VmHWM),
target under 150 MB, and for scale each JSON answer's size and the server's time for it.

    python bench/bench_ui.py [--quick] [--repeat N]

--quick plans 30 x 30 partitions, to try the script. The project goes to /dev/shm when there is
one, as in bench_run.py.
"""

import argparse
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


def start_server(cwd):
    process = subprocess.Popen([PY, "-m", "quarl", "ui", "uibench", "--port", "0"], cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    found = re.search(r"(http://127\.0\.0\.1:\d+)/", line)
    if not found:
        process.kill()
        sys.exit(f"quarl ui did not start: {line}{process.communicate()[1]}")
    return process, found[1]


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    side = 30 if args.quick else 100
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as root:
        write_project(root, side)
        start = time.perf_counter()
        done = subprocess.run([PY, "-m", "quarl", "run", "uibench", "--jobs", "2"], cwd=root,
                              capture_output=True, text=True)
        if done.returncode != 1:
            sys.exit(f"quarl run should have failed a few cells:\n{done.stderr[-2000:]}")
        print(f"{done.stdout.splitlines()[-1]} "
              f"(quarl run took {time.perf_counter() - start:.1f} s)")
        process, url = start_server(root)
        driver = None
        try:
            driver = browser()
            pages = [("graph page", "/", 1000), ("asset page, %d partitions" % (side * side),
                                                  "/asset?key=uibench.grid.cell", 1000),
                     ("run page of the consumer of every partition", "/run?asset=uibench.grid.total", None),
                     ("last-run page (timeline)", "/invocation", None)]
            for name, path, target in pages:
                page_time(driver, url + path)  # the first load warms the browser's caches
                times = [page_time(driver, url + path) for _ in range(args.repeat)]
                report(f"{name}: request to drawn, ms (median of {args.repeat})", statistics.median(times), target)
            for api in ("/api/graph", "/api/asset?key=uibench.grid.cell", "/api/invocation",
                        "/api/run?asset=uibench.grid.total"):
                times = []
                for _ in range(args.repeat):
                    begin = time.perf_counter()
                    with urllib.request.urlopen(url + api) as answer:
                        size = len(answer.read())
                    times.append(time.perf_counter() - begin)
                print(f"{api:<40} {size / 1024:8.0f} KB  {statistics.median(times) * 1000:7.1f} ms")
            report("quarl ui server: peak resident memory, MB", memory_kb(process.pid, "VmHWM") / 1024, 150)
        finally:
            if driver is not None:
                driver.quit()
            process.terminate()
            process.wait()


if __name__ == "__main__":
    main()
