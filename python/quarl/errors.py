"""The package's one error type. Every condition that a user can act on (a usage or plan error,
a history that cannot be read or written, an output folder in use, a disk that is full) is a
QuarlError, or an OSError that names its file: `quarl.cli.main` turns either into one message
and an exit status, and nothing between the fault and it converts one error into another.

Free of imports: every run's process imports the package, and this module with it.
"""

from __future__ import annotations


class QuarlError(Exception):
    """Ends a command: `str(error)` is its message, `exit_status` its status (2: the command
    could not do what it was asked; nothing it had not done already was done)."""

    exit_status = 2


def describe(error: OSError) -> str:
    """An OSError as a message: the files it names, and what the system said of them."""
    reason = error.strerror or str(error)
    names = [name if isinstance(name, str) else repr(name) for name in (error.filename, error.filename2)
             if name is not None]
    return f"{' -> '.join(names)}: {reason}" if names else reason
