import os
import pathlib
import sys

import pytest

FIXTURES = pathlib.Path(__file__).parent / "fixtures"

# What a Python subprocess needs from the environment under `make sanitize` (tools/run-sanitized):
# the preloaded sanitizer runtimes and their options, without which the instrumented module does
# not load. Outside that run none of them is set.
SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                       "QUARL_UBSAN_REPORT_PATH")


def sanitizer_env():
    """The sanitizer variables of this process, for tests that give a subprocess an environment of
    its own."""
    return {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}


@pytest.fixture
def fixture_modules(monkeypatch):
    """use(group) puts tests/fixtures/<group> first on sys.path and returns that folder; modules
    imported from it are dropped from sys.modules afterwards, so groups may reuse module names."""
    roots = []

    def use(group):
        root = (FIXTURES / group).resolve()
        monkeypatch.syspath_prepend(str(root))
        roots.append(root)
        return root

    yield use
    for name, module in list(sys.modules.items()):
        origin = getattr(module, "__file__", None)
        if origin and any(pathlib.Path(origin).resolve().is_relative_to(r) for r in roots):
            del sys.modules[name]
