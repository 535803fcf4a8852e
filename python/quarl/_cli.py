"""What the two entry points share: how a failure is reported before the process exits."""

import sys
import traceback


def report_error(prog: str, exc: BaseException) -> int:
    """Prints "PROG: error: Type: message" on standard error; returns the exit status, 1."""
    text = "".join(traceback.format_exception_only(exc)).rstrip("\n")
    print(f"{prog}: error: {text}", file=sys.stderr)
    return 1
