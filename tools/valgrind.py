"""Runs tools/valgrind_workload.py under valgrind's memcheck and reports what it found in _quarl.

    python tools/valgrind.py            (make valgrind)

The interpreter runs with PYTHONMALLOC=malloc and the suppressions of tools/valgrind-python.supp.
An error counts against the extension when its stack passes through the extension's shared
object: memory definitely lost, and every access error (invalid reads and writes, uses of
uninitialised values, bad frees). Possibly lost and still reachable blocks are not counted: the
module keeps its types, interned names and exception type for the life of the process on purpose.
The interpreter's own remaining errors are listed by kind for information. Exit status 1 when
anything counts against the extension, or when the workload itself failed.
"""

import collections
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

TOOLS = pathlib.Path(__file__).resolve().parent
COUNTED_LEAKS = {"Leak_DefinitelyLost"}
NOT_COUNTED = {"Leak_PossiblyLost", "Leak_StillReachable", "Leak_IndirectlyLost"}


def frames(error):
    return [(frame.findtext("fn") or "?", frame.findtext("obj") or "?",
             frame.findtext("file"), frame.findtext("line")) for frame in error.iter("frame")]


def describe(error):
    what = error.find("xwhat")
    text = what.findtext("text") if what is not None else error.findtext("what")
    lines = [f"{error.findtext('kind')}: {text}"]
    for function, obj, file, line in frames(error)[:40]:
        where = f"{file}:{line}" if file else pathlib.Path(obj).name
        lines.append(f"    {function}  ({where})")
    return "\n".join(lines)


def main():
    if shutil.which("valgrind") is None:
        sys.exit("valgrind: not installed (apt-get install valgrind)")
    extension = subprocess.run([sys.executable, "-c", "import _quarl; print(_quarl.__file__)"],
                               check=True, capture_output=True, text=True).stdout.strip()
    extension = os.path.realpath(extension)
    with tempfile.TemporaryDirectory() as scratch:
        report = pathlib.Path(scratch, "memcheck.xml")
        command = ["valgrind", "--tool=memcheck", "--leak-check=full",
                   "--show-leak-kinds=definite,possible", "--errors-for-leak-kinds=definite",
                   "--num-callers=40", f"--suppressions={TOOLS / 'valgrind-python.supp'}",
                   "--xml=yes", f"--xml-file={report}",
                   sys.executable, str(TOOLS / "valgrind_workload.py")]
        done = subprocess.run(command, env={**os.environ, "PYTHONMALLOC": "malloc"})
        errors = list(ElementTree.parse(report).getroot().iter("error"))

    ours, theirs = [], collections.Counter()
    for error in errors:
        kind = error.findtext("kind")
        if kind in NOT_COUNTED:
            continue
        if any(os.path.realpath(obj) == extension for _, obj, _, _ in frames(error)
               if obj != "?"):
            ours.append(error)
        else:
            theirs[kind] += 1

    print(f"memcheck of {pathlib.Path(extension).name} under {sys.executable}")
    print(f"workload exit status: {done.returncode}")
    by_kind = collections.Counter(error.findtext("kind") for error in ours)
    print("errors in the extension:", dict(by_kind) if by_kind else "none")
    print("definitely lost in the extension:",
          sum(int(e.find("xwhat").findtext("leakedbytes")) for e in ours
              if e.findtext("kind") in COUNTED_LEAKS), "bytes")
    print("interpreter's own, not counted:", dict(theirs) if theirs else "none")
    for error in ours:
        print(describe(error))
    sys.exit(1 if ours or done.returncode != 0 else 0)


if __name__ == "__main__":
    main()
