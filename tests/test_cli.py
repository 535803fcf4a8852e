"""python -m quarl.inspect and python -m quarl.worker, run as the processes an orchestrator starts;
the quarl command under failures of its output folder."""

import contextlib
import errno
import fcntl
import json
import os
import pathlib
import signal
import socket
import sqlite3
import stat
import subprocess
import sys

import pytest

from _quarl import _inspect_modules_compact, inspect_modules
from conftest import sanitizer_env
from test_history import tmpfs
from test_run import quarl as command_line

ROOT = pathlib.Path(__file__).parent / "fixtures" / "cli"

INSPECT_USAGE = (b"usage: python -m quarl.inspect [-h] [-o FILE] [--compact] [--recursive]\n"
                 b"                               MODULE [MODULE ...]\n")
WORKER_USAGE = (b"usage: python -m quarl.worker [-h]\n"
                b"                              MODULE FUNCTION OUTPUT_DIR [INPUT_KWARGS_JSON]\n")


def quarl(command, *args, cwd, input=None, **env):
    """Runs `python -m quarl.<command> ARGS...` with the fixture modules importable."""
    return subprocess.run([sys.executable, "-m", f"quarl.{command}", *args], cwd=cwd,
                          env={**sanitizer_env(), "PYTHONPATH": str(ROOT),
                               "PYTHONDONTWRITEBYTECODE": "1", **env},
                          input=input, capture_output=True)


def outcome(done):
    return done.returncode, done.stdout, done.stderr


def listing(directory):
    return sorted(p.name for p in directory.iterdir())


@pytest.fixture
def report(fixture_modules):
    """The report of cli_assets as inspect_modules returns it in this process."""
    fixture_modules("cli")
    text = inspect_modules(["cli_assets"])
    assert [a["function_name"] for a in json.loads(text)["assets"]] == ["answer", "greeting"]
    return text.encode()


# --- python -m quarl.inspect ---------------------------------------------------------------------

@pytest.mark.parametrize("env", [{}, {"PYTHONIOENCODING": "ascii"}, {"LC_ALL": "C"}])
def test_inspect_prints_the_report_as_utf8_and_one_newline(report, tmp_path, env):
    # The module source holds "é": an ASCII stdout encoding must not change the bytes.
    assert "é".encode() in report
    done = quarl("inspect", "cli_assets", cwd=tmp_path, **env)
    assert outcome(done) == (0, report + b"\n", b"")


def default_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@pytest.mark.parametrize("option", ["--output", "-o"])
@pytest.mark.parametrize("mode", [None, 0o600, 0o755])
def test_inspect_output_replaces_the_file(report, tmp_path, option, mode):
    target = tmp_path / "report.json"
    if mode is not None:
        target.write_bytes(b"an older, longer report" * 100)
        target.chmod(mode)
    done = quarl("inspect", option, "report.json", "cli_assets", cwd=tmp_path)
    assert outcome(done) == (0, b"", b"")
    assert target.read_bytes() == report + b"\n"
    assert listing(tmp_path) == ["report.json"]  # no temporary file left behind
    assert stat.S_IMODE(target.stat().st_mode) == (default_mode() if mode is None else mode)


@pytest.mark.parametrize("existing", [True, False])
def test_inspect_output_through_a_symlink_replaces_its_target(report, tmp_path, existing):
    (tmp_path / "reports").mkdir()
    target = tmp_path / "reports" / "report.json"
    if existing:
        target.write_bytes(b"an older report")
        target.chmod(0o600)
    (tmp_path / "link.json").symlink_to("reports/report.json")
    done = quarl("inspect", "-o", "link.json", "cli_assets", cwd=tmp_path)
    assert outcome(done) == (0, b"", b"")
    assert os.readlink(tmp_path / "link.json") == "reports/report.json"
    assert target.read_bytes() == report + b"\n"
    assert stat.S_IMODE(target.stat().st_mode) == (0o600 if existing else default_mode())
    assert (listing(tmp_path), listing(tmp_path / "reports")) == (
        ["link.json", "reports"], ["report.json"])


def test_inspect_output_keeps_hard_links(report, tmp_path):
    target = tmp_path / "report.json"
    target.write_bytes(b"an older, longer report" * 100)
    os.link(target, tmp_path / "also.json")
    done = quarl("inspect", "-o", "report.json", "cli_assets", cwd=tmp_path)
    assert outcome(done) == (0, b"", b"")
    assert (tmp_path / "also.json").read_bytes() == report + b"\n"
    assert target.stat().st_nlink == 2


def test_inspect_output_to_a_pipe_is_written_directly(report, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "quarl.inspect", "-o", "fifo", "cli_assets"],
                             cwd=tmp_path, env={**sanitizer_env(), "PYTHONPATH": str(ROOT)})
    # A reader of its own, so that a report that never comes ends the test, not the suite.
    received = subprocess.run(["cat", "fifo"], cwd=tmp_path, capture_output=True, timeout=60)
    assert (child.wait(timeout=60), received.stdout) == (0, report + b"\n")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_inspect_output_to_its_own_stdout_goes_on_after_what_is_there(report, tmp_path):
    log = tmp_path / "log"
    log.write_bytes(b"an earlier line\n")
    with open(log, "ab") as out:
        done = subprocess.run([sys.executable, "-m", "quarl.inspect", "-o", "/dev/stdout",
                               "cli_assets"], cwd=tmp_path, stdout=out, stderr=subprocess.PIPE,
                              env={**sanitizer_env(), "PYTHONPATH": str(ROOT)})
    assert (done.returncode, done.stderr) == (0, b"")
    assert log.read_bytes() == b"an earlier line\n" + report + b"\n"
    assert listing(tmp_path) == ["log"]


# Runs python -m quarl.inspect with a signal sent to itself in the middle of writing the report
# into its temporary file; with "no-tmpfile" the filesystem is made to refuse unnamed files.
SIGNALLED_WRITE = """
import errno, os, runpy, sys
signum, tmpfile = int(sys.argv[1]), sys.argv[2] == "tmpfile"
real_write, real_open = os.write, os.open
def write(fd, data):
    if fd > 2:
        os.kill(os.getpid(), signum)
    return real_write(fd, data)
def open_(path, flags, mode=0o777, *, dir_fd=None):
    if not tmpfile and flags & os.O_TMPFILE == os.O_TMPFILE:
        raise OSError(errno.EOPNOTSUPP, os.strerror(errno.EOPNOTSUPP))
    return real_open(path, flags, mode, dir_fd=dir_fd)
os.write, os.open = write, open_
sys.argv[:] = ["quarl.inspect", *sys.argv[3:]]
runpy.run_module("quarl.inspect", run_name="__main__", alter_sys=True)
"""


@pytest.mark.parametrize("signum, tmpfile", [
    (signal.SIGTERM, "tmpfile"), (signal.SIGKILL, "tmpfile"),
    (signal.SIGTERM, "no-tmpfile"), (signal.SIGINT, "no-tmpfile"),
])
def test_inspect_output_leaves_no_temporary_when_killed(tmp_path, signum, tmpfile):
    (tmp_path / "report.json").write_bytes(b"an older report")
    done = subprocess.run(
        [sys.executable, "-c", SIGNALLED_WRITE, str(int(signum)), tmpfile, "-o", "report.json",
         "cli_assets"], cwd=tmp_path, env={**sanitizer_env(), "PYTHONPATH": str(ROOT)},
        capture_output=True)
    assert (done.returncode, done.stdout) == (-signum, b"")
    assert listing(tmp_path) == ["report.json"]
    assert (tmp_path / "report.json").read_bytes() == b"an older report"


@pytest.mark.parametrize("cut, unbuffered", [
    # Unbuffered, standard output is the raw file, whose write may take only part of the report.
    ("a reader that goes away", "1"), ("a reader that goes away", ""), ("/dev/full", "1"),
])
def test_inspect_report_cut_short_on_stdout_fails(tmp_path, cut, unbuffered):
    # A report of some 3 MB: far more than a pipe holds, so the write is cut short.
    (tmp_path / "cli_large.py").write_text(
        "from quarl import asset\n" + "# filler\n" * 100_000
        + "".join(f"@asset()\ndef a{i}():\n    return {i}\n" for i in range(3)))
    args = [sys.executable, "-m", "quarl.inspect", "cli_large"]
    env = {**sanitizer_env(), "PYTHONPATH": str(tmp_path), "PYTHONDONTWRITEBYTECODE": "1",
           "PYTHONUNBUFFERED": unbuffered}
    if cut == "/dev/full":
        with open("/dev/full", "wb") as full:
            child = subprocess.Popen(args, env=env, stdout=full, stderr=subprocess.PIPE)
    else:
        child = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert child.stdout.read(10) == b'{"assets":'
        child.stdout.close()
    error = "BrokenPipeError: [Errno 32] Broken pipe" if cut != "/dev/full" else (
        "OSError: [Errno 28] No space left on device")
    assert (child.wait(), child.stderr.read()) == (
        1, f"python -m quarl.inspect: error: {error}\n".encode())
    child.stderr.close()


def test_inspect_skips_modules_that_fail_to_import(report, tmp_path):
    done = quarl("inspect", "no_such_module", "cli_import_error", "cli_exits", "cli_assets",
                 cwd=tmp_path)
    assert outcome(done) == (0, report + b"\n", (
        b"quarl: skipping module 'no_such_module': ModuleNotFoundError: No module named "
        b"'no_such_module'\n"
        b"quarl: skipping module 'cli_import_error': ImportError: cannot load the warehouse driver\n"
        b"quarl: skipping module 'cli_exits': SystemExit: 0\n"))


BROKEN_SUBPACKAGE = b"quarl: skipping module 'cli_pkg.broken': ImportError: the broken subpackage\n"


@pytest.mark.parametrize("args, modules, compact, err", [
    # Each __main__ raises if imported; the broken subpackage is walked past and skipped once.
    (["--recursive", "cli_pkg"],
     ["cli_pkg", "cli_pkg.a", "cli_pkg.broken", "cli_pkg.sub", "cli_pkg.sub.b", "cli_pkg.z"],
     False, BROKEN_SUBPACKAGE),
    (["--compact", "--recursive", "cli_assets", "cli_pkg.sub", "no_such_module"],
     ["cli_assets", "cli_pkg.sub", "cli_pkg.sub.b", "no_such_module"], True,
     b"quarl: skipping module 'no_such_module': ModuleNotFoundError: No module named "
     b"'no_such_module'\n"),
    (["cli_pkg", "--compact"], ["cli_pkg"], True, b""),
])
def test_inspect_compact_and_recursive(fixture_modules, tmp_path, capfd, args, modules, compact,
                                       err):
    fixture_modules("cli")
    expected = (_inspect_modules_compact if compact else inspect_modules)(modules).encode()
    capfd.readouterr()
    assert outcome(quarl("inspect", *args, cwd=tmp_path)) == (0, expected + b"\n", err)


def test_inspect_with_nothing_found(tmp_path):
    assert outcome(quarl("inspect", "no_such_module", cwd=tmp_path)) == (0, b'{"assets":[]}\n', (
        b"quarl: skipping module 'no_such_module': ModuleNotFoundError: No module named "
        b"'no_such_module'\n"))


@pytest.mark.parametrize("args, message", [
    (["cli_broken"], "RuntimeError: no metadata here"),
    (["cli_assets", "cli_broken"], "RuntimeError: no metadata here"),
    (["-o", "out.json", "cli_broken"], "RuntimeError: no metadata here"),
    (["-o", "missing/out.json", "cli_assets"],
     "FileNotFoundError: [Errno 2] No such file or directory: 'missing/out.json'"),
    (["-o", "adir", "cli_assets"], "IsADirectoryError: [Errno 21] Is a directory: 'adir'"),
])
def test_inspect_failure_exits_1_and_writes_nothing(tmp_path, args, message):
    (tmp_path / "adir").mkdir()
    done = quarl("inspect", *args, cwd=tmp_path)
    assert outcome(done) == (1, b"", f"python -m quarl.inspect: error: {message}\n".encode())
    assert listing(tmp_path) == ["adir"]
    assert listing(tmp_path / "adir") == []


@pytest.mark.parametrize("args, error", [
    ([], b"the following arguments are required: MODULE"),
    (["-o"], b"argument -o/--output: expected one argument"),
    (["-o", "out.json"], b"the following arguments are required: MODULE"),
    (["--frobnicate", "cli_assets"], b"unrecognized arguments: --frobnicate"),
])
def test_inspect_usage_errors_exit_2(tmp_path, args, error):
    done = quarl("inspect", *args, cwd=tmp_path)
    assert outcome(done) == (2, b"", INSPECT_USAGE + b"python -m quarl.inspect: error: " + error + b"\n")
    assert listing(tmp_path) == []


@pytest.mark.parametrize("command, usage", [("inspect", INSPECT_USAGE), ("worker", WORKER_USAGE)])
def test_help_explains_usage(tmp_path, command, usage):
    code, out, err = outcome(quarl(command, "-h", cwd=tmp_path))
    assert (code, err) == (0, b"")
    assert out.startswith(usage)
    assert out.count(b"\n  -h, --help ") == 1


# --- python -m quarl.worker ----------------------------------------------------------------------

def record(**members):
    return json.dumps(members, sort_keys=True, separators=(",", ":")).encode()


@pytest.mark.parametrize("args, value, result_type, signature", [
    (["greeting", "run", '{"name": "ada"}'], b'{"text": "hi ada", "n": 2}', "dict",
     "(name: str) -> dict"),
    (["answer", "run"], b"42", "int", "()"),
    (["answer", "run", "{}"], b"42", "int", "()"),
])
def test_worker_success_exits_0(tmp_path, args, value, result_type, signature):
    assert outcome(quarl("worker", "cli_assets", *args, cwd=tmp_path)) == (0, b"", b"")
    assert listing(tmp_path / "run") == ["result.json", "value.json"]
    assert (tmp_path / "run/value.json").read_bytes() == value
    assert (tmp_path / "run/result.json").read_bytes() == record(
        artifact_format="json", function_name=args[0], module_path="cli_assets", ok=True,
        result_type=result_type, signature=signature, value_path="run/value.json")


@pytest.mark.parametrize("module, args, error, error_type", [
    ("cli_assets", ["greeting", "run", '{"name": "4"}'], "ValueError: bad name", "ValueError"),
    # The JSON goes to the module as it was given: the worker decodes nothing itself.
    ("cli_assets", ["greeting", "run", "[1]"],
     "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError"),
    ("cli_assets", ["greeting", "run"],
     "TypeError: greeting() missing 1 required positional argument: 'name'", "TypeError"),
    ("cli_assets", ["missing", "run"], "AttributeError: module 'cli_assets' has no attribute "
     "'missing'", "AttributeError"),
    ("no_such_module", ["f", "run"], "ModuleNotFoundError: No module named 'no_such_module'",
     "ModuleNotFoundError"),
])
def test_worker_failed_run_exits_1_with_its_record(tmp_path, module, args, error, error_type):
    code, out, err = outcome(quarl("worker", module, *args, cwd=tmp_path))
    assert (code, out) == (1, b"")
    # The exception is on standard error (after its traceback, when it has one), as the record
    # names it.
    assert err.decode().splitlines()[-1] == error
    assert listing(tmp_path / "run") == ["result.json"]
    assert (tmp_path / "run/result.json").read_bytes() == record(
        error=error, error_type=error_type, ok=False)


def test_worker_prints_the_traceback_of_a_failed_run(tmp_path):
    done = quarl("worker", "cli_assets", "greeting", "run", '{"name": "4"}', cwd=tmp_path)
    assert outcome(done) == (1, b"", (
        f'Traceback (most recent call last):\n'
        f'  File "{ROOT / "cli_assets.py"}", line 10, in greeting\n'
        f'    raise ValueError("bad name")\n'
        f'ValueError: bad name\n').encode())


def test_worker_failure_before_the_run_exits_1_and_writes_nothing(tmp_path):
    (tmp_path / "taken").write_bytes(b"a file")
    done = quarl("worker", "cli_assets", "answer", "taken", cwd=tmp_path)
    assert outcome(done) == (1, b"", (
        b"python -m quarl.worker: error: FileExistsError: [Errno 17] File exists: 'taken'\n"))
    assert listing(tmp_path) == ["taken"]
    assert (tmp_path / "taken").read_bytes() == b"a file"


# Over 128 KiB, more than Linux takes as one command-line argument, and not ASCII.
LARGE_TEXT = "é€" * 50_000


@pytest.mark.parametrize("source", ["@FILE", "-"])
def test_worker_reads_its_input_from_a_file_or_standard_input(tmp_path, source):
    data = json.dumps({"text": LARGE_TEXT}, ensure_ascii=False).encode()
    (tmp_path / "input.json").write_bytes(data)
    argument = "@input.json" if source == "@FILE" else "-"
    done = quarl("worker", "cli_runs", "echo", "run", argument, cwd=tmp_path,
                 input=data if source == "-" else None)
    assert outcome(done) == (0, b"", b"")
    assert (tmp_path / "run/value.json").read_bytes() == json.dumps(LARGE_TEXT).encode()


@pytest.mark.parametrize("argument, error", [
    ("@missing.json", "FileNotFoundError: [Errno 2] No such file or directory: 'missing.json'"),
    ("@adir", "IsADirectoryError: [Errno 21] Is a directory: 'adir'"),
    ("@latin1.json", "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xe9 in position 10: "
                     "invalid continuation byte"),
])
def test_worker_unreadable_input_fails_before_the_run(tmp_path, argument, error):
    (tmp_path / "adir").mkdir()
    (tmp_path / "latin1.json").write_bytes('{"text": "é"}'.encode("latin-1"))
    done = quarl("worker", "cli_runs", "echo", "run", argument, cwd=tmp_path)
    assert outcome(done) == (1, b"", f"python -m quarl.worker: error: {error}\n".encode())
    assert listing(tmp_path) == ["adir", "latin1.json"]


@pytest.mark.parametrize("args, error", [
    ([], b"the following arguments are required: MODULE, FUNCTION, OUTPUT_DIR"),
    (["cli_assets", "answer"], b"the following arguments are required: OUTPUT_DIR"),
    (["cli_assets", "answer", "run", "{}", "extra"], b"unrecognized arguments: extra"),
])
def test_worker_usage_errors_exit_2(tmp_path, args, error):
    done = quarl("worker", *args, cwd=tmp_path)
    assert outcome(done) == (2, b"", WORKER_USAGE + b"python -m quarl.worker: error: " + error + b"\n")
    assert listing(tmp_path) == []


# --- what a process of the package imports -------------------------------------------------------

def imported_modules(*args, cwd):
    """The modules that `python -X importtime ARGS...` imports, and its outcome."""
    done = subprocess.run([sys.executable, "-X", "importtime", *args], cwd=cwd,
                          env={**sanitizer_env(), "PYTHONPATH": str(ROOT)}, capture_output=True,
                          text=True)
    lines = [line for line in done.stderr.splitlines() if line.startswith("import time:")]
    return {line.split("|")[-1].strip() for line in lines}, done.returncode


def test_version_is_known_without_importlib_metadata(tmp_path):
    from importlib.metadata import version

    code = "import quarl; print(quarl.__version__)"
    modules, status = imported_modules("-c", code, cwd=tmp_path)
    assert status == 0 and "importlib.metadata" not in modules
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == version("quarl") + "\n"


@pytest.mark.parametrize("args, status, expected", [
    (["answer", "run", "{}"], 0, set()),
    (["greeting", "run", "[1]"], 1, {"traceback"}),  # to print the failed run's exception
    (["-h"], 0, {"argparse"}),
])
def test_worker_imports_only_what_the_run_uses(tmp_path, args, status, expected):
    modules, code = imported_modules("-m", "quarl.worker", "cli_assets", *args, cwd=tmp_path)
    assert code == status
    assert modules & {"argparse", "traceback", "importlib.metadata"} == expected


# --- quarl run, status, graph, prune and ui: every failure ends in one line and a status ---------

BOUNDARY = """\
import os
from quarl import asset


@asset()
def kept() -> int:
    return 1


if os.environ.get("BOUNDARY_DROPPED"):
    @asset()
    def dropped() -> int:
        return 2
"""
COMMANDS = {"status": ["status"], "graph": ["graph", "bnd"], "prune --dry-run": ["prune", "bnd", "--dry-run"],
            "prune": ["prune", "bnd"], "run": ["run", "bnd"], "ui": ["ui", "bnd"]}
DISK_FULL = ("the disk is full: the run history out/quarl-history.db cannot be written. Free some space "
             "on that disk and run again; the history keeps every attempt recorded before.")
HISTORY_READ_ONLY = (
    "the run history out/quarl-history.db cannot be written (attempt to write a readonly database): "
    "the file or its folder is read-only here. The history is intact: make both writable and run again.")
READ_ONLY = os.strerror(errno.EROFS)
OK = (0, [])


def error(command, message):
    return 2, [f"quarl {command}: error: {message}"]


@contextlib.contextmanager
def failing(failure, tmp_path):
    """OUT (tmp_path/out) after a run of bnd with an asset since dropped, in the state `failure`
    names; yields the port that quarl ui is to take."""
    out, port = tmp_path / "out", socket.socket()
    with contextlib.ExitStack() as stack:
        stack.callback(port.close)
        port.bind(("127.0.0.1", 0))
        if failure in ("read-only", "full"):
            stack.enter_context(tmpfs(out, "1m"))
        if failure != "missing":
            assert command_line(tmp_path, "run", "bnd", "--out", "out", BOUNDARY_DROPPED="1").returncode == 0
        history = out / "quarl-history.db"
        if failure == "locked":  # as a quarl run holds them: the output folder, and the history
            port.listen()
            lock = stack.enter_context(open(out / ".quarl.lock", "a"))
            fcntl.flock(lock, fcntl.LOCK_EX)
            writer = sqlite3.connect(history, isolation_level=None)
            stack.callback(writer.close)
            writer.execute("BEGIN IMMEDIATE")
        elif failure == "read-only":
            subprocess.run(["mount", "-o", "remount,ro", str(out)], check=True)
        elif failure == "read-only history":
            if subprocess.run(["mount", "--bind", str(history), str(history)]).returncode != 0:
                pytest.skip("a bind mount needs root")
            stack.callback(subprocess.run, ["umount", str(history)], check=True)
            subprocess.run(["mount", "-o", "remount,bind,ro", str(history)], check=True)
        elif failure == "full":
            # Unbuffered: a buffered file would try its last page again as it closes, and fail there.
            with open(out / "filler", "wb", buffering=0) as filler, pytest.raises(OSError, match="No space left"):
                while True:
                    filler.write(b"\0" * 4096)
        yield port.getsockname()[1]


READ = {"status": OK, "graph": OK, "prune --dry-run": OK}  # what only reads the folder works


@pytest.mark.parametrize("failure, expected", [
    ("locked", {**READ, "prune": error("prune", "another quarl run is using out"),
                "run": error("run", "another quarl run is using out"),
                "ui": error("ui", "cannot serve on 127.0.0.1:{port}: Address already in use")}),
    ("read-only", {**READ, "prune": error("prune", f"cannot write in the output folder out: {READ_ONLY}"),
                   "run": error("run", f"cannot write in the output folder out: {READ_ONLY}")}),
    ("read-only history", {**READ, "prune": error("prune", HISTORY_READ_ONLY),
                           "run": error("run", HISTORY_READ_ONLY)}),
    ("missing", {"status": error("status", "no run history in out (quarl run writes it)"), "graph": OK,
                 "prune --dry-run": error("prune", "no output folder out"),
                 "prune": error("prune", "no output folder out"), "run": OK}),
    ("full", {**READ, "prune": error("prune", DISK_FULL), "run": error("run", DISK_FULL)}),
])
def test_every_command_ends_a_failure_with_one_line_and_a_status(tmp_path, failure, expected):
    (tmp_path / "bnd.py").write_text(BOUNDARY)
    found = {}
    with failing(failure, tmp_path) as port:
        for name in (name for name in COMMANDS if name in expected):  # run after those that read
            done = command_line(tmp_path, *COMMANDS[name], *(["--port", str(port)] if name == "ui" else []),
                                "--out", "out")
            # The progress of the runs aside, standard error holds the message, and only it.
            found[name] = (done.returncode, [line for line in done.stderr.splitlines() if line[:1] != "["])
    assert found == {name: (status, [line.format(port=port) for line in lines])
                     for name, (status, lines) in expected.items()}
