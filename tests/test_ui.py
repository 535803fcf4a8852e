"""quarl ui in a real browser (Debian's chromium, driven by Selenium) and over plain HTTP, on the
fixture project tests/fixtures/ui after two `quarl run`: one in which everything succeeds, then
one in which a reading fails (its earlier value stays published).

With QUARL_UI_SCREENSHOTS=DIR, the browser tests save a screenshot of each page there (the
README's come from this)."""

import http.client
import json
import os
import pathlib
import pickle
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
from urllib.parse import urlencode

import pytest

from conftest import FIXTURES, SANITIZER_VARIABLES, sanitizer_env

FAILED_RUN = "/run?asset=meteo.stations.reading&partition=day%3D2024-05-02%2Cstation%3Dlima"
TRACEBACK_END = "ValueError: sensor offline: lima on 2024-05-02"
SECRET = "not for the browser"


def quarl(project, *args, env=None):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=project, capture_output=True,
                          text=True, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1", **(env or {})})


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("ui")
    shutil.copytree(FIXTURES / "ui", root / "proj")
    (root / "proj" / "secret.txt").write_text(SECRET)
    done = quarl(root / "proj", "run", "meteo", "--jobs", "2")
    assert done.returncode == 0, done.stderr
    done = quarl(root / "proj", "run", "meteo", "--jobs", "2", "--force", env={"METEO_OFFLINE": "lima"})
    assert done.returncode == 1, done.stderr
    return root / "proj"


def serve(project, target):
    """Runs `quarl ui TARGET` in `project` and yields its port."""
    process = subprocess.Popen([sys.executable, "-m", "quarl", "ui", target, "--port", "0"], cwd=project,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})
    line = process.stdout.readline()
    found = re.fullmatch(r"quarl ui: serving (.+) at http://127\.0\.0\.1:(\d+)/  \(Ctrl-C stops\)\n", line)
    if not found:
        process.kill()
        pytest.fail(f"quarl ui printed {line!r}; stderr: {process.communicate()[1]}")
    assert found[1] == str(project / "quarl-out")
    yield int(found[2])
    # Ctrl-C is how a user stops it: an orderly end, status 0.
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == 0, process.stderr.read()


@pytest.fixture(scope="module")
def server(project):
    yield from serve(project, "meteo")


def get(port, target, host=None):
    """(status, body) of a GET of `target` sent byte for byte, as no browser would normalise it."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.putrequest("GET", target, skip_host=True)
        connection.putheader("Host", host or f"127.0.0.1:{port}")
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.read().decode(errors="replace")
    finally:
        connection.close()


# --- in the browser -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def browser():
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not (chromium and driver_path):
        pytest.skip("chromium and chromium-driver are not installed (make test installs them)")
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900",
                     "--hide-scrollbars"):
        options.add_argument(argument)
    # The sanitizers' runtimes, preloaded for our interpreter under make sanitize, are not chromium's.
    clean = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    try:
        driver = webdriver.Chrome(service=Service(driver_path, env=clean), options=options)
    except WebDriverException as error:
        pytest.skip(f"chromium cannot start here: {error.msg}")
    yield driver
    driver.quit()


def wait(driver, condition, timeout=30):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(condition)


def open_page(driver, port, target):
    driver.get(f"http://127.0.0.1:{port}{target}")
    wait(driver, lambda d: d.execute_script("return document.body.dataset.ready") == "1")


def elements(driver, css):
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.CSS_SELECTOR, css)


def text(driver, css):
    """The text of the first element that `css` selects, read in one step: the pages redraw
    themselves as the history changes, which leaves a found element stale."""
    return driver.execute_script("const e = document.querySelector(arguments[0]); return e && e.innerText", css)


def screenshot(driver, name):
    folder = os.environ.get("QUARL_UI_SCREENSHOTS")
    if not folder:
        return
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(1280, min(height + 40, 1600))
    driver.save_screenshot(str(pathlib.Path(folder, f"ui-{name}.png")))
    driver.set_window_size(1280, 900)


def test_graph_to_the_failed_runs_traceback(server, browser):
    open_page(browser, server, "/")
    nodes = {node.get_attribute("data-key"): node for node in elements(browser, "svg.graph a.node")}
    assert {key: node.get_attribute("data-status") for key, node in nodes.items()} == {
        "meteo.labels.tag": "succeeded", "meteo.stations.stations": "succeeded",
        "meteo.stations.reading": "failed", "meteo.summary.daily_mean": "skipped",
        "meteo.summary.report": "skipped"}
    fills = {key: elements(node, ".box")[0].value_of_css_property("fill") for key, node in nodes.items()}
    assert (fills["meteo.stations.stations"], fills["meteo.stations.reading"], fills["meteo.summary.report"]) == (
        "rgb(211, 242, 214)", "rgb(248, 208, 208)", "rgb(232, 232, 232)")
    screenshot(browser, "graph")

    nodes["meteo.stations.reading"].click()
    wait(browser, lambda d: d.execute_script("return document.body.dataset.ready") == "1" and elements(d, ".grid .cell"))
    cells = {cell.get_attribute("data-partition"): cell.get_attribute("class")
             for cell in elements(browser, ".grid .cell")}
    assert cells == {f"day=2024-05-0{day},station={station}":
                     "cell st-failed" if (day, station) == (2, "lima") else "cell st-succeeded"
                     for day in (1, 2, 3) for station in ("lima", "oslo", "perth")}
    screenshot(browser, "asset")

    elements(browser, ".grid .cell.st-failed")[0].click()
    wait(browser, lambda d: elements(d, ".traceback"))
    assert browser.current_url.endswith(FAILED_RUN)
    traceback = elements(browser, ".log-column.failed .traceback")[0]
    assert traceback.text.splitlines()[0] == "Traceback (most recent call last):"
    assert elements(traceback, ".exception")[0].text == TRACEBACK_END
    # Beside it, the logs of the run that is still published, from the first quarl run.
    # (failed: stderr.log, stdout.log; published: stdout.log, its stderr.log being empty)
    assert [log.text.splitlines()[-1] for log in elements(browser, ".log-column pre.log")] == [
        TRACEBACK_END, "reading lima for 2024-05-02", "reading lima for 2024-05-02"]
    screenshot(browser, "run")


def test_markup_in_partition_values_stays_text(server, browser):
    open_page(browser, server, "/asset?key=meteo.labels.tag")
    assert [cell.text for cell in elements(browser, ".cells .cell")] == [
        "<script>window.pwned = 1</script>", "<b>bold</b> & plain"]
    elements(browser, ".cells .cell")[0].click()
    wait(browser, lambda d: d.execute_script("return document.body.dataset.ready") == "1" and elements(d, "h1 a"))
    assert elements(browser, "h1")[0].text == "meteo.labels.tag [label=<script>window.pwned = 1</script>] succeeded"
    assert browser.execute_script("return [window.pwned, document.querySelectorAll('main b, main script').length]") == [None, 0]


BOLD_RUN = "/run?asset=meteo.labels.tag&partition=label%3D%253Cb%253Ebold%253C%252Fb%253E%2520%2526%2520plain"


def test_a_run_started_while_the_page_is_open_appears_without_a_reload(project, server, browser, tmp_path):
    open_page(browser, server, "/invocation")
    assert text(browser, "h1") == "Run #2 failed"
    screenshot(browser, "last-run")
    browser.execute_script("window.samePage = true")
    # A run's page, open in a second tab, follows its attempt in progress.
    last_run = browser.current_window_handle
    browser.switch_to.new_window("tab")
    open_page(browser, server, BOLD_RUN)
    assert [text(browser, "h1"), len(elements(browser, ".log-column.in-progress"))] == [
        "meteo.labels.tag [label=<b>bold</b> & plain] succeeded", 0]
    browser.execute_script("window.samePage = true")
    started = subprocess.Popen([sys.executable, "-m", "quarl", "run", "meteo", "--select", "meteo.labels.*", "--force"],
                               cwd=project, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env={**sanitizer_env(), "METEO_GATE": str(tmp_path)})
    live_stdout = ".log-column.in-progress .log-box:last-child pre.log"
    try:
        # The runs wait at the gate: the run's page shows its attempt and what it printed so far.
        wait(browser, lambda d: text(d, live_stdout) == "waiting at the gate: <b>bold</b> & plain\n")
        assert text(browser, "h1") == "meteo.labels.tag [label=<b>bold</b> & plain] succeeded running"
        assert re.fullmatch(r"Attempt in progress, meteo\.labels\.tag/\.label=%3Cb%3Ebold%3C%2Fb%3E%20%26%20plain"
                            r"\.attempt-[0-9a-f]{12}", text(browser, ".log-column.in-progress > h3"))
        browser.switch_to.window(last_run)
        wait(browser, lambda d: text(d, "h1") == "Run #3 running")
        assert text(browser, "#live") == "quarl run in progress"
        (tmp_path / "open").touch()
        assert started.wait(timeout=60) == 0
    finally:
        started.kill()
        started.wait()
    wait(browser, lambda d: text(d, "h1") == "Run #3 succeeded")
    assert text(browser, "table.facts tr:last-child") == "attempts\t2 succeeded"
    assert browser.execute_script("return window.samePage") is True
    # Published, the attempt's logs are the run's.
    browser.switch_to.window(browser.window_handles[-1])
    wait(browser, lambda d: not elements(d, ".log-column.in-progress"))
    assert text(browser, ".log-column .log-box:last-child pre.log") == "waiting at the gate: <b>bold</b> & plain\n"
    assert browser.execute_script("return window.samePage") is True
    browser.close()
    browser.switch_to.window(last_run)


# --- over HTTP ------------------------------------------------------------------------------------

FAILED_LOG = "/out/meteo.stations.reading/.day%3D2024-05-02%2Cstation%3Dlima.failed/stderr.log"


@pytest.mark.parametrize("target, host, status", [
    (FAILED_LOG, None, 200),
    ("/out/link-inside", None, 200),
    ("/out/../secret.txt", None, 404),
    ("/out/%2e%2e/secret.txt", None, 404),
    ("/out/..%2Fsecret.txt", None, 404),
    ("/out/%2E%2E%2F%2E%2E%2Fproj%2Fsecret.txt", None, 404),
    ("/out/meteo.stations.stations/../../secret.txt", None, 404),
    ("/out//etc/hostname", None, 404),
    ("/out/%2Fetc%2Fhostname", None, 404),
    ("/out/link-out", None, 404),
    ("/out/dir-out/secret.txt", None, 404),
    ("/out/meteo.stations.stations/value.json%00", None, 404),
    ("/static/../secret.txt", None, 404),
    ("/static/..%2F..%2F..%2Fsecret.txt", None, 404),
    ("/api/run?asset=meteo.stations.stations&partition=..%2F..%2Fsecret.txt", None, 404),
    (FAILED_LOG, "attacker.example", 403),
])
def test_nothing_outside_the_output_folder_is_served(project, server, target, host, status):
    out = project / "quarl-out"
    for name, points_to in (("link-inside", "meteo.stations.stations/value.json"),
                            ("link-out", "../secret.txt"), ("dir-out", "..")):
        if not (out / name).is_symlink():
            (out / name).symlink_to(points_to)
    answer = get(server, target, host)
    assert answer[0] == status
    assert SECRET not in answer[1]
    if status == 200:
        assert TRACEBACK_END in answer[1] or answer[1] == (out / "meteo.stations.stations/value.json").read_text()


@pytest.mark.parametrize("target", ["/api/version", "/api/graph", "/api/asset?key=meteo.stations.reading",
                                    "/api/run?asset=meteo.stations.reading&partition=day%3D2024-05-02%2Cstation%3Dlima",
                                    "/api/invocation"])
def test_no_request_leaves_the_history_locked(project, server, target):
    assert get(server, target)[0] == 200
    # Right after the answer, a writer can take the whole database at once.
    writer = sqlite3.connect(project / "quarl-out" / "quarl-history.db", timeout=0, isolation_level=None)
    try:
        writer.execute("BEGIN EXCLUSIVE")
        writer.execute("ROLLBACK")
    finally:
        writer.close()


@pytest.mark.parametrize("ident, shown", [
    ("²", "'²'"), ("١٢", "'١٢'"), ("-1", "'-1'"), (" 1", "' 1'"), ("1" * 40, repr("1" * 40)),
    (str(1 << 63), repr(str(1 << 63))), (str((1 << 63) - 1), str((1 << 63) - 1)),
])
def test_an_invocation_id_the_history_cannot_hold_is_not_found(server, ident, shown):
    body = json.dumps({"error": f"no invocation {shown} in the history"}, ensure_ascii=False, separators=(",", ":"))
    assert get(server, "/api/invocation?" + urlencode({"id": ident})) == (404, body)


def attempts_recorded(project):
    history = sqlite3.connect(f"file:{project / 'quarl-out' / 'quarl-history.db'}?mode=ro", uri=True)
    try:
        return history.execute("SELECT count(*) FROM attempt").fetchall()[0][0]
    finally:
        history.close()


def test_pages_polling_during_a_run_never_hold_it_up(project, server):
    before = attempts_recorded(project)
    answers = []
    stop = threading.Event()

    def poll():
        while not stop.is_set():
            for target in ("/api/version", "/api/graph", "/api/asset?key=meteo.stations.reading", "/api/invocation"):
                answers.append(get(server, target)[0])

    pollers = [threading.Thread(target=poll) for _ in range(3)]
    for thread in pollers:
        thread.start()
    try:
        done = quarl(project, "run", "meteo", "--force", "--jobs", "2", env={"METEO_OFFLINE": "lima"})
    finally:
        stop.set()
        for thread in pollers:
            thread.join()
    assert (done.returncode, done.stdout.splitlines()[-1]) == (
        1, "16 runs: 13 succeeded, 1 failed, 2 skipped (upstream failed)"), done.stderr
    assert attempts_recorded(project) - before == 16
    assert answers and set(answers) == {200}


def test_a_port_in_use_is_a_usage_error(project, server):
    done = quarl(project, "ui", "meteo", "--port", str(server))
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", f"quarl ui: error: cannot serve on 127.0.0.1:{server}: Address already in use\n")


# --- an asset of 12,000 partitions: counted by the server -------------------------------------------

@pytest.fixture(scope="module")
def counted(tmp_path_factory):
    """An asset of 120 days x 100 sites whose history (written here, as `quarl run` would) has
    the last 10 rows missing and every 331st partition failed."""
    from quarl.run.history import AttemptRecord, History
    from quarl.run.status import Status

    root = tmp_path_factory.mktemp("counted")
    (root / "wide").mkdir()
    (root / "wide/__init__.py").write_text("")
    (root / "wide/grid.py").write_text(
        "from quarl import asset, partitions\n\n\n"
        "@asset(partitions={'day': partitions([f'd{i:03}' for i in range(120)]), 'site': partitions(list(range(100)))})\n"
        "def cell(day: str, site: int) -> int:\n    return site\n")
    (root / "quarl-out").mkdir()
    history = History.open(str(root / "quarl-out"), create=True)
    invocation = history.begin("quarl run wide")
    history.add(invocation, (AttemptRecord(
        "wide.grid.cell", f"day=d{n // 100:03},site={n % 100}", "", n, "0" * 64,
        Status.FAILED if n % 331 == 330 else Status.SUCCEEDED, 1000.0 + n, n % 97 / 100, 0, None, "int", None)
        for n in range(11_000)))
    history.finish(invocation, 1)
    history.close()
    yield from serve(root, "wide")


@pytest.mark.parametrize("cell, label, counts", [
    (0, "day=d000 … d002,site=0 … 2", [9, 0, 0, 0]),
    (1 * 34 + 10, "day=d003 … d005,site=30 … 32", [8, 1, 0, 0]),  # partition 330
    (33, "day=d000 … d002,site=99", [3, 0, 0, 0]),
    (36 * 34 + 33, "day=d108 … d110,site=99", [2, 0, 0, 1]),
    (39 * 34, "day=d117 … d119,site=0 … 2", [0, 0, 0, 9]),
])
def test_a_grid_of_many_partitions_is_counted_by_the_server(counted, cell, label, counts):
    status, body = get(counted, "/api/asset?key=wide.grid.cell")
    grid = json.loads(body)["grid"]
    assert (status, len(grid["rows"]["labels"]), len(grid["columns"]["labels"]), grid["per_cell"]) == (200, 40, 34, 9)
    row, column = divmod(cell, 34)
    assert f"day={grid['rows']['labels'][row]},site={grid['columns']['labels'][column]}" == label
    assert grid["counts"][cell] == counts
    assert json.loads(body)["counts"] == {"succeeded": 10_967, "failed": 33, "other": 0, "missing": 1000}


@pytest.mark.parametrize("query, total, rows", [
    ("cell=44&show=failed", 1, [["day=d003,site=30", "day=d003,site=30", "failed", 0.39, 1330.0]]),
    ("cell=44&order=slowest", 9, [["day=d005,site=32", "day=d005,site=32", "succeeded", 0.47, 1532.0]]),
    ("show=missing&page=19", 1000, [["day=d119,site=50", "day=d119,site=50", "missing", None, None]]),
    ("order=latest", 12_000, [["day=d109,site=99", "day=d109,site=99", "succeeded", 0.38, 11999.0]]),
    ("order=latest&page=9999", 12_000, [["day=d119,site=50", "day=d119,site=50", "missing", None, None]]),
])
def test_the_runs_of_an_asset_come_a_page_at_a_time(counted, query, total, rows):
    status, body = get(counted, "/api/runs?key=wide.grid.cell&" + query)
    answer = json.loads(body)
    assert (status, answer["total"], answer["pages"], answer["rows"][:1]) == (200, total, -(-total // 50), rows)


# --- what the pages read from the output folder ---------------------------------------------------

@pytest.mark.parametrize("value", [{"b": [1, {}, []], "a": 'x"y\\z, {[', "ü": None}, [], "text", [[1], [2, [3.5e-7]]]])
def test_a_json_preview_reads_as_json_dumps_lays_it_out(value):
    from quarl.ui.files import pretty_json_prefix

    compact = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    assert pretty_json_prefix(compact, 10_000) == (json.dumps(value, indent=2, ensure_ascii=False), False)


def published(folder, record, name, data):
    folder.mkdir(parents=True)
    (folder / "result.json").write_text(json.dumps({"ok": True, **record}))
    (folder / name).write_bytes(data)


def test_a_large_json_value_shows_its_beginning(tmp_path):
    from quarl.ui.files import PREVIEW_CHARS, preview

    value = list(range(300_000))
    published(tmp_path / "a", {"artifact_format": "json", "result_type": "list",
                               "value_path": "quarl-out/a/value.json"}, "value.json", json.dumps(value).encode())
    assert preview(str(tmp_path), str(tmp_path / "a")) == {
        "format": "json", "type": "list", "file": "value.json", "size": (tmp_path / "a/value.json").stat().st_size,
        "text": json.dumps(value, indent=2)[:PREVIEW_CHARS] + "…", "cut": True}


class Opens:
    """Unpickled, it creates the file it names."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


def test_a_value_in_another_format_is_never_opened(tmp_path):
    from quarl.ui.files import preview

    marker = tmp_path / "unpickled"
    payload = pickle.dumps(Opens(str(marker)))
    # Only the name of value_path counts: it is looked up in the run's own folder.
    published(tmp_path / "a", {"artifact_format": "pickle", "result_type": "Model",
                               "value_path": "../../elsewhere/value.pkl"}, "value.pkl", payload)
    assert preview(str(tmp_path), str(tmp_path / "a")) == {
        "format": "pickle", "type": "Model", "file": "value.pkl", "size": len(payload)}
    assert not marker.exists()


def frame_with_index(path):
    pandas = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pandas.DataFrame({"n": [1, 2, 3], "x": [1.5, float("nan"), 3.0], "s": ["a", None, "<b>c</b>" * 20],
                      "t": pandas.to_datetime(["2024-01-01"] * 3).tz_localize("UTC"),
                      "c": pandas.Categorical(["u", "v", "u"])}).set_index("s").to_parquet(path)


def arrow_table(path):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet

    table = pyarrow.table({f"c{i}": [[i]] * 25 for i in range(30)})
    pyarrow.parquet.write_table(table, path, row_group_size=4)


@pytest.mark.parametrize("write, frame", [
    (frame_with_index, {
        "rows": 3, "columns": 4,
        "dtypes": [["s", "str", True], ["n", "int64", False], ["x", "float64", False],
                   ["t", "datetime64[us, UTC]", False], ["c", "category", False]],
        "head": [["a", "1", "1.5", "2024-01-01 00:00:00+00:00", "u"],
                 [None, "2", None, "2024-01-01 00:00:00+00:00", "v"],
                 ["<b>c</b>" * 7 + "<b>…", "3", "3.0", "2024-01-01 00:00:00+00:00", "u"]],
        "head_columns": 5, "unlisted": 0}),
    # No pandas metadata: arrow's types; the first 20 columns of the first 10 rows, across row groups.
    (arrow_table, {"rows": 25, "columns": 30, "dtypes": [[f"c{i}", "list<element: int64>", False] for i in range(30)],
                   "head": [[f"[{i}]" for i in range(20)]] * 10, "head_columns": 20, "unlisted": 0}),
])
def test_a_parquet_value_shows_its_footer_and_first_rows(tmp_path, write, frame):
    from quarl.ui.files import preview

    published(tmp_path / "a", {"artifact_format": "parquet", "result_type": "DataFrame",
                               "value_path": "quarl-out/a/value.parquet"}, "value.parquet", b"")
    write(tmp_path / "a/value.parquet")
    assert preview(str(tmp_path), str(tmp_path / "a")) == {
        "format": "parquet", "type": "DataFrame", "file": "value.parquet",
        "size": (tmp_path / "a/value.parquet").stat().st_size, "frame": frame}


@pytest.mark.parametrize("array, shown", [
    (lambda numpy, marker: numpy.arange(24.0).reshape(2, 3, 4), {"array": {"shape": [2, 3, 4], "dtype": "float64", "order": "C",
                                                       "first": [f"{i}.0" for i in range(10)]}}),
    (lambda numpy, marker: numpy.asfortranarray(numpy.ones((2, 2), dtype="int8")), {"array": {"shape": [2, 2], "dtype": "int8", "order": "F"}}),
    # Its header says what it holds; the pickle after it is never loaded.
    (lambda numpy, marker: numpy.array([None, Opens(marker)], dtype=object), {"array": {"shape": [2], "dtype": "object", "order": "C"}}),
    (lambda numpy, marker: b"not an array", {"problem": "cannot be read as numpy: the magic string is not correct; "
                                    "expected b'\\x93NUMPY', got b'not an'"}),
])
def test_a_numpy_value_shows_its_header(tmp_path, array, shown):
    numpy = pytest.importorskip("numpy")
    from quarl.ui.files import preview

    marker = tmp_path / "unpickled"
    value = array(numpy, str(marker))
    published(tmp_path / "a", {"artifact_format": "numpy", "result_type": "ndarray",
                               "value_path": "quarl-out/a/value.npy"}, "value.npy", b"")
    if isinstance(value, bytes):
        (tmp_path / "a/value.npy").write_bytes(value)
    else:
        numpy.save(tmp_path / "a/value.npy", value, allow_pickle=True)
    assert preview(str(tmp_path), str(tmp_path / "a")) == {
        "format": "numpy", "type": "ndarray", "file": "value.npy", "size": (tmp_path / "a/value.npy").stat().st_size,
        **shown}
    assert not marker.exists()


def test_a_long_log_shows_its_last_whole_lines(tmp_path):
    from quarl.ui.files import LOG_TAIL_BYTES, log_tail

    data = b"".join(b"line %d\n" % i for i in range(20_000)) + b"Traceback (most recent call last):\n"
    (tmp_path / "stderr.log").write_bytes(data)
    end = data[-LOG_TAIL_BYTES:]
    assert log_tail(str(tmp_path), str(tmp_path / "stderr.log")) == {
        "text": end[end.index(b"\n") + 1:].decode(), "size": len(data), "cut": True}


@pytest.mark.parametrize("command, slots", [
    ("quarl run shop --jobs 3", 3), ("quarl run shop -j4 --force", 4), ("quarl run shop --jobs=5", 5),
    ("quarl run shop --executor dask", None), ("quarl run shop --select 'shop.*'", os.cpu_count()),
])
def test_the_timeline_has_as_many_lanes_as_the_run_had_job_slots(command, slots):
    from quarl.ui.data import _slots

    assert _slots(command) == slots
