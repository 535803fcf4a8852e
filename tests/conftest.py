import pathlib
import sys

import pytest

FIXTURES = pathlib.Path(__file__).parent / "fixtures"


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
