"""Which modules are the project's own, one rule for every part that asks.

A module's file is the project's when it lies in one of the project's folders (the folder `quarl
run` starts in and each --path DIR) and outside the interpreter's library folders (the standard
library and site-packages, a virtual environment kept inside the project included, and any
other folder named site-packages or dist-packages). Everything
else is a library: its code changes with its version, not its source, and a warm server may keep
it imported across runs. Paths are compared after their symbolic links are resolved.

Imported by the warm servers before they fork: nothing beyond what the interpreter has loaded at
start-up is imported until a question is asked.
"""

from __future__ import annotations

import functools
import os
import re
from collections.abc import Sequence

_INSTALLED = re.compile(r"/(site|dist)-packages/")

# How `quarl run` tells the processes it starts which folders are the project's.
FOLDERS_VARIABLE = "QUARL_PROJECT_PATH"


@functools.cache
def library_roots() -> tuple[str, ...]:
    """The folders whose modules are never the project's, each ending in a separator."""
    import site
    import sys
    import sysconfig

    roots = set()
    for variables in ({}, {"base": sys.base_prefix, "platbase": sys.base_exec_prefix}):
        for name in ("stdlib", "platstdlib", "purelib", "platlib"):
            path = sysconfig.get_path(name, vars=variables)
            if path:
                roots.add(os.path.realpath(path))
    roots.update(os.path.realpath(p) for p in site.getsitepackages())
    user = site.getusersitepackages()
    if user:
        roots.add(os.path.realpath(user))
    return tuple(root.rstrip(os.sep) + os.sep for root in roots)


def folders_from_environment() -> list[str] | None:
    """The project's folders that `quarl run` gave this process; None when it gave none (a
    command run by hand), and then every module outside the library folders counts."""
    given = os.environ.get(FOLDERS_VARIABLE)
    return None if given is None else [folder for folder in given.split(os.pathsep) if folder]


def is_project_file(path: str | None, folders: Sequence[str] | None) -> bool:
    """Whether a module's file is the project's: in one of FOLDERS (None: anywhere) and not in a
    library folder. A module without a file (built in, namespace) is not."""
    if not path:
        return False
    real = os.path.realpath(path)
    # Another environment's packages on the path are libraries too.
    if real.startswith(library_roots()) or _INSTALLED.search(real):
        return False
    if folders is None:
        return True
    return any(real.startswith(os.path.join(os.path.realpath(folder), "")) for folder in folders)
