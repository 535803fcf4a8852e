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


def screenshot(driver, name, whole_page=True):
    folder = os.environ.get("QUARL_UI_SCREENSHOTS")
    if not folder:
        return
    if not whole_page:
        driver.save_screenshot(str(pathlib.Path(folder, f"ui-{name}.png")))
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
                     # The failed run is stale: its last attempt failed.
                     "cell st-failed stale" if (day, station) == (2, "lima") else "cell st-succeeded"
                     for day in (1, 2, 3) for station in ("lima", "oslo", "perth")}
    # The durations chart's ticks (0, half the top, the top) read apart, however short the runs.
    ticks = [tick.text for tick in elements(browser, "svg.chart text.tick")][:3]
    assert ticks[0] == "0" and len(set(ticks)) == 3, ticks
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


# --- larger graphs --------------------------------------------------------------------------------

MODULES = ["sources", "staging", "cleaned", "features", "aggregates", "forecasts", "reports", "exports"]
NOUNS = ["orders", "products", "stores", "calendar", "channel_mix", "returns", "prices", "promotions",
         "inventory", "suppliers", "regions", "customers", "sessions", "margins", "basket_size", "footfall",
         "weather", "holidays", "shipments", "refunds", "loyalty", "coupons", "reviews", "stock_levels",
         "demand", "forecast_error", "seasonality", "elasticity", "assortment", "markdowns"]
FRAMES = """import numpy
import pandas

from quarl import asset

from fresco import aggregates


@asset(inputs={"mix": aggregates.%s}, serializer="parquet")
def channel_table(mix: int) -> pandas.DataFrame:
    return pandas.DataFrame({
        "day": pandas.date_range("2024-05-01", periods=1000, freq="h", tz="UTC"),
        "channel": pandas.Categorical(["web", "store", "app", "phone"] * 250),
        "units": [(i * 37 + mix) %% 101 for i in range(1000)],
        "note": ["<b>promo</b>" if i %% 5 == 0 else None for i in range(1000)]})


@asset(inputs={"table": channel_table}, serializer="numpy")
def weights(table: pandas.DataFrame) -> numpy.ndarray:
    return table["units"].to_numpy(dtype="float64").reshape(40, 25) / 100
"""


def write_fresco(root, layers, failing, frames):
    """A retailer's project of sum(layers) assets, one module a layer: each asset reads one to
    three of the layer before and every third one an asset two layers back, so that edges skip
    layers; the first source has four partitions; `failing` (layer, position) raises. With
    `frames` and pandas, two more assets: a DataFrame stored as parquet and a numpy array.
    Returns the number of assets."""
    package = root / "fresco"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(
        "def total(*values: object) -> int:\n"
        "    return sum(total(*(item['value'] for item in v)) if isinstance(v, list) else int(v)  # type: ignore\n"
        "               for v in values)\n")
    names = [[NOUNS[(j + 7 * layer) % len(NOUNS)] + (f"_{j // len(NOUNS)}" if j >= len(NOUNS) else "")
              for j in range(count)] for layer, count in enumerate(layers)]
    for layer, count in enumerate(layers):
        lines = ["import fresco\nfrom quarl import asset, partitions\n"]
        lines += [f"from fresco import {MODULES[layer - back]}\n" for back in (1, 2) if layer >= back]
        for j, name in enumerate(names[layer]):
            inputs = {}
            for step in range(1 + j % 3 if layer else 0):
                upstream = names[layer - 1][(j * 2 + step * 5) % len(names[layer - 1])]
                inputs[upstream] = f"{MODULES[layer - 1]}.{upstream}"
            if layer > 1 and j % 3 == 2:
                upstream = names[layer - 2][j * 3 % len(names[layer - 2])]
                inputs.setdefault(upstream, f"{MODULES[layer - 2]}.{upstream}")
            options = [f"inputs={{{', '.join(f'{p!r}: {ref}' for p, ref in inputs.items())}}}"] if inputs else []
            parameters = [f"{p}: object" for p in inputs]
            if (layer, j) == (0, 0):
                options.append("partitions={'region': partitions(['north', 'south', 'east', 'west'])}")
                parameters.append("region: str")
            body = f"raise ValueError('no feed for {name}')" if (layer, j) == failing else \
                f"return fresco.total({', '.join(inputs) or len(name)})"
            lines.append(f"\n\n@asset({', '.join(options)})\ndef {name}({', '.join(parameters)}) -> int:\n    {body}\n")
        (package / f"{MODULES[layer]}.py").write_text("".join(lines))
    try:
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError:
        return sum(layers)
    if not frames:
        return sum(layers)
    (package / "frames.py").write_text(FRAMES % names[4][0])
    return sum(layers) + 2


def fresco_project(tmp_path_factory, layers, failing, frames):
    """The project run once: its number of assets and the port of its quarl ui."""
    root = tmp_path_factory.mktemp("fresco")
    count = write_fresco(root, layers, failing, frames)
    done = quarl(root, "run", "fresco", "--jobs", "2")
    assert done.returncode == 1, done.stderr
    for port in serve(root, "fresco"):
        yield count, port


@pytest.fixture(scope="module")
def fresco30(tmp_path_factory):
    """30 assets (28 without pandas)."""
    yield from fresco_project(tmp_path_factory, [4, 4, 4, 4, 4, 3, 3, 2], (5, 1), frames=True)


@pytest.fixture(scope="module")
def fresco200(tmp_path_factory):
    yield from fresco_project(tmp_path_factory, [30, 30, 28, 28, 26, 24, 20, 14], (5, 3), frames=False)


BOXES = """return [...document.querySelectorAll(arguments[0])].map(e => {
    const b = e.getBoundingClientRect(); return [b.left, b.top, b.right, b.bottom]; })"""


@pytest.mark.parametrize("project", ["fresco30", "fresco200"])
def test_a_graph_fits_the_window_readable_and_zooms(project, request, browser):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin

    count, port = request.getfixturevalue(project)
    browser.set_window_size(1400, 900)
    try:
        open_page(browser, port, "/")
        wait(browser, lambda d: elements(d, "svg.graph a.node"))
        width, height = browser.execute_script("return [innerWidth, innerHeight]")
        boxes = browser.execute_script(BOXES, "svg.graph .node .box")
        assert len(boxes) == count
        outside = [box for box in boxes if box[0] < 0 or box[1] < 0 or box[2] > width or box[3] > height]
        assert outside == []
        # Names without the prefix that all share, the full one on hover; no two texts overlap,
        # and each is at least 8 pixels high on the screen.
        node = "svg.graph a.node[data-key='fresco.cleaned.weather']"
        assert browser.execute_script("return [...arguments].map(css => document.querySelector(css).textContent)",
                                      f"{node} .node-name", f"{node} > title") == [
            "cleaned.weather", "fresco.cleaned.weather\n1 run: 1 ok\ninputs: " +
            ("coupons, customers, prices, weather" if project == "fresco200" else "inventory, promotions, stores, suppliers")]
        texts = browser.execute_script(BOXES, "svg.graph .node text")
        assert min(bottom - top for _, top, _, bottom in texts) >= 8
        assert browser.execute_script("""const b = arguments[0], hits = [];
            for (let i = 0; i < b.length; i++) for (let j = i + 1; j < b.length; j++)
              if (b[i][0] < b[j][2] && b[j][0] < b[i][2] && b[i][1] < b[j][3] && b[j][1] < b[i][3]) hits.push([i, j]);
            return hits""", texts) == []
        screenshot(browser, f"graph-{project[len('fresco'):]}", whole_page=False)
        # The wheel zooms in about the pointer; a drag moves, and does not open a node it ends on.
        drawing = elements(browser, "svg.graph")[0]
        ActionChains(browser).scroll_from_origin(ScrollOrigin.from_element(drawing), 0, -400).perform()
        zoomed = browser.execute_script(BOXES, "svg.graph .node .box")
        assert [round((z[2] - z[0]) / (b[2] - b[0]), 2) for z, b in zip(zoomed, boxes)] == [1.82] * len(boxes)
        middle = browser.execute_script("""const s = arguments[0].getBoundingClientRect();
            const far = e => { const b = e.getBoundingClientRect();
              return Math.hypot((b.left + b.right - s.left - s.right) / 2, (b.top + b.bottom - s.top - s.bottom) / 2); };
            return [...document.querySelectorAll("svg.graph .node .box")].sort((a, b) => far(a) - far(b))[0]""", drawing)
        ActionChains(browser).move_to_element(middle).click_and_hold().move_by_offset(-120, -40).release().perform()
        moved = browser.execute_script(BOXES, "svg.graph .node .box")
        assert ([round(m[0] - z[0]) for m, z in zip(moved, zoomed)], browser.current_url) == (
            [-120] * len(boxes), f"http://127.0.0.1:{port}/")
        elements(browser, ".graph-controls button")[0].click()
        assert browser.execute_script(BOXES, "svg.graph .node .box") == boxes
    finally:
        browser.set_window_size(1280, 900)


def test_a_dataframe_and_an_array_show_what_their_files_say(fresco30, browser):
    _, port = fresco30
    open_page(browser, port, "/asset?key=fresco.frames.channel_table")
    if text(browser, "h1") != "fresco.frames.channel_table":
        pytest.skip("the project has no DataFrame without pandas and pyarrow")
    wait(browser, lambda d: elements(d, "table.frame"))
    assert [text(browser, ".value-view > p:nth-of-type(2)"), text(browser, "table.frame thead tr"),
            text(browser, "table.frame tbody tr:first-child"), text(browser, "table.frame tbody tr:nth-child(2)")] == [
        "1,000 rows × 4 columns (shown: the first 10 rows)",
        "day\ndatetime64[us, UTC]\tchannel\ncategory\tunits\nint64\tnote\nstr",
        "2024-05-01 00:00:00+00:00\tweb\t24\t<b>promo</b>", "2024-05-01 01:00:00+00:00\tstore\t61\tnull"]
    screenshot(browser, "value")
    open_page(browser, port, "/asset?key=fresco.frames.weights")
    wait(browser, lambda d: elements(d, ".value-view pre.value"))
    assert [text(browser, ".value-view > p:nth-of-type(2)"), text(browser, ".value-view pre.value")] == [
        "shape (40, 25) · dtype float64", "0.24, 0.61, 0.98, 0.34, 0.71, 0.07, 0.44, 0.81, 0.17, 0.54, …"]


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


def test_ctrl_c_ends_a_connection_kept_open_and_exits(project):
    """A browser keeps its connection open for the next request: Ctrl-C ends it and waits for its
    thread, instead of waiting for the browser or leaving the thread to die as the process ends."""
    served = serve(project, "meteo")
    connection = http.client.HTTPConnection("127.0.0.1", next(served), timeout=30)
    connection.request("GET", "/api/version")
    response = connection.getresponse()
    assert (response.status, response.getheader("Connection"), response.will_close) == (200, None, False)
    response.read()
    assert next(served, "stopped") == "stopped"  # SIGINT; status 0 within 30 s
    connection.close()


def test_a_port_in_use_is_a_usage_error(project, server):
    done = quarl(project, "ui", "meteo", "--port", str(server))
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", f"quarl ui: error: cannot serve on 127.0.0.1:{server}: Address already in use\n")


# --- an asset of 12,000 partitions: counted by the server -------------------------------------------

MAY_FIRST = 1_714_521_600.0  # 2024-05-01 00:00 UTC


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
        Status.FAILED if n % 331 == 330 else Status.SUCCEEDED, MAY_FIRST + n, n % 97 / 100, 0, None, "int", None)
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
    ("cell=44&show=failed", 1, [["day=d003,site=30", "day=d003,site=30", "failed", 0.39, MAY_FIRST + 330]]),
    ("cell=44&order=slowest", 9, [["day=d005,site=32", "day=d005,site=32", "succeeded", 0.47, MAY_FIRST + 532]]),
    ("show=missing&page=19", 1000, [["day=d119,site=50", "day=d119,site=50", "missing", None, None]]),
    ("order=latest", 12_000, [["day=d109,site=99", "day=d109,site=99", "succeeded", 0.38, MAY_FIRST + 10_999]]),
    ("order=latest&page=9999", 12_000, [["day=d119,site=50", "day=d119,site=50", "missing", None, None]]),
])
def test_the_runs_of_an_asset_come_a_page_at_a_time(counted, query, total, rows):
    status, body = get(counted, "/api/runs?key=wide.grid.cell&" + query)
    answer = json.loads(body)
    assert (status, answer["total"], answer["pages"], answer["rows"][:1]) == (200, total, -(-total // 50), rows)


def test_a_cell_of_many_partitions_lists_its_runs(counted, browser):
    open_page(browser, counted, "/asset?key=wide.grid.cell")
    wait(browser, lambda d: elements(d, ".grid.binned .cell"))
    assert [len(elements(browser, ".grid.binned .cell")), text(browser, "#runs .controls > span:last-of-type")] == [
        40 * 34, "page 1 of 240 (12,000 runs)"]
    screenshot(browser, "asset-binned")
    elements(browser, ".grid.binned .cell")[44].click()
    wait(browser, lambda d: text(d, ".chosen-cell code") == "day=d003 … d005,site=30 … 32")
    assert [text(browser, "#runs .controls > span:last-of-type"),
            [row.text for row in elements(browser, "table.runs tbody td:first-child")][:4]] == [
        "page 1 of 1 (9 runs)", ["day=d003,site=30", "day=d003,site=31", "day=d003,site=32", "day=d004,site=30"]]


# --- what the pages read from the output folder ---------------------------------------------------

@pytest.mark.parametrize("value", [{"b": [1, {}, []], "a": 'x"y\\z, {[', "ü": None}, [], "text", [[1], [2, [3.5e-7]]]])
def test_a_json_preview_reads_as_json_dumps_lays_it_out(value):
    from quarl.ui.files import pretty_json_prefix

    compact = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    assert pretty_json_prefix(compact, 10_000) == (json.dumps(value, indent=2, ensure_ascii=False), False)


def published(folder, record, name, data):
    folder.mkdir(parents=True)
    (folder / "run.json").write_text(json.dumps({"version": 2, "ok": True, "value_file": name, **record}))
    (folder / name).write_bytes(data)


def test_a_large_json_value_shows_its_beginning(tmp_path):
    from quarl.ui.files import PREVIEW_CHARS, preview

    value = list(range(300_000))
    published(tmp_path / "a", {"artifact_format": "json", "result_type": "list"}, "value.json",
              json.dumps(value).encode())
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
    published(tmp_path / "a", {"artifact_format": "pickle", "result_type": "Model"}, "value.pkl", payload)
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
