"""Loaded into every Python process of a `make sanitize` run: tools/run-sanitized puts this folder
on PYTHONPATH, so the test processes and the worker and inspector processes they start all get it.

g++'s UndefinedBehaviorSanitizer runtime runs on its own beside the AddressSanitizer one and does
not take log_path from UBSAN_OPTIONS, so it would write its reports to file descriptor 2. pytest
captures that descriptor into a temporary file, and halt_on_error ends the process before pytest
can show it: the run would fail without saying why. Point the runtime at the report folder instead.
"""

import os

_report_path = os.environ.get("QUARL_UBSAN_REPORT_PATH")
if _report_path:
    try:
        import ctypes
    except ImportError:
        # An isolated sub-interpreter, which may not load _ctypes: the report path is the
        # process's, and its main interpreter has set it already.
        pass
    else:
        ctypes.CDLL("libubsan.so.1").__sanitizer_set_report_path(os.fsencode(_report_path))
        del ctypes
del _report_path
